// What every front panel draws with: the shared pictures and the two digit
// renderers, loaded once. Used by the panel's own files only.
#pragma once

#include "Tervox_Monitor.h"

#include <QImage>

#include <memory>

struct TMonitorModule {
  QImage DisplayNone, BoxGray, BoxGreen, BoxOrange, Sync, Sync2, Unsync;
  std::unique_ptr<TTervoxLED> LedPV, LedSV;
};

// Loaded on first use.
const TMonitorModule& MonitorModule();
