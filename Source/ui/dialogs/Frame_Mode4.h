// Mode page 4: the three OUT2 PID sets (dead band in place of manual
// reset), soft start, periodic time and characteristics.
#pragma once

#include "Frame_Mode3.h"

class TFrameMode4 : public TFramePIDPage {
  Q_OBJECT
public:
  explicit TFrameMode4(QWidget* AOwner = nullptr);
};
