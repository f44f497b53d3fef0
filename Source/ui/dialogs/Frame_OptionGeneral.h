// The "General" options page: own password, window state on startup,
// device display mode.
#pragma once

#include "widgets/DqFrameList.h"

class QButtonGroup;
class QPushButton;

class TFrameOptionGeneral : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionGeneral(QWidget* AOwner = nullptr);

  QPushButton* ButtonChangePassword() const { return FButtonChangePassword; }
  QButtonGroup* StartupState() const { return FStartupState; }
  QButtonGroup* DisplayMode() const { return FDisplayMode; }

private:
  QPushButton* FButtonChangePassword;
  QButtonGroup* FStartupState; // ids 1..3
  QButtonGroup* FDisplayMode;  // ids 1 LED, 2 Value
};
