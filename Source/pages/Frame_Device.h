// The Device page: the controller list and its editor.
#pragma once

#include "Engine/DqFrameList.h"

class TFrameDevice : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameDevice(QWidget* AOwner = nullptr);
};
