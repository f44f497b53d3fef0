#include "Frame_Mode4.h"

TFrameMode4::TFrameMode4(QWidget* AOwner)
    : TFramePIDPage(4, QStringLiteral("Mode 4: Output 2 Setting"), true, AOwner) {}
