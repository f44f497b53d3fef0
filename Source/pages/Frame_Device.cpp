#include "Frame_Device.h"

TFrameDevice::TFrameDevice(QWidget* AOwner) : TDqFrame(AOwner) {
  setObjectName(QStringLiteral("FrameDevice"));
  setAutoFillBackground(true);
}
