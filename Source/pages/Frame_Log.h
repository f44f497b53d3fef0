// The Log page: the usage log.
#pragma once

#include "Engine/DqFrameList.h"

class TFrameLog : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameLog(QWidget* AOwner = nullptr);
};
