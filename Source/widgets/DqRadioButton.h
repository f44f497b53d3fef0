// A radio button whose caption sits on its parent's background, so that a
// dialog's gradient shows through behind it.
#pragma once

#include <QRadioButton>

class TRadioButton : public QRadioButton {
  Q_OBJECT
public:
  explicit TRadioButton(const QString& ACaption, QWidget* AParent = nullptr);
};
