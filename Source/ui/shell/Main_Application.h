// The application object: routes exceptions escaping an event handler to
// ShowException, the one place where the user sees them.
#pragma once

#include <QApplication>

class TTervoxApplication : public QApplication {
  Q_OBJECT
public:
  TTervoxApplication(int& argc, char** argv);
  bool notify(QObject* AReceiver, QEvent* AEvent) override;
};
