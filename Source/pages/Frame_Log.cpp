#include "Frame_Log.h"

TFrameLog::TFrameLog(QWidget* AOwner) : TDqFrame(AOwner) {
  setObjectName(QStringLiteral("FrameLog"));
  setAutoFillBackground(true);
}
