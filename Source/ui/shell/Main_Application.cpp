#include "Main_Application.h"

#include "ui/base/Main_Routine.h"

TTervoxApplication::TTervoxApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TTervoxApplication::notify(QObject* AReceiver, QEvent* AEvent) {
  try {
    return QApplication::notify(AReceiver, AEvent);
  } catch (...) {
    ShowException(std::current_exception());
    return true;
  }
}
