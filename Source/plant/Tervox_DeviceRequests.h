// Reading and writing a controller's settings: the requests queued on the
// engine's worker for modes 1-8, FIX, manual output, program status,
// patterns and steps. A write sends only the registers whose value is not
// "unchanged" (32767), stops at the first register the controller does not
// acknowledge, and hands its outcome to the completion callback.
#pragma once

#include "Tervox_DeviceSettings.h"

#include <QString>

#include <functional>

class QObject;
class TTervoxDevice;

// A read's completion, on the user-interface thread. AContext (optional)
// guards it: a callback whose context is gone (a closed dialog) is dropped.
using TTervoxReadNotify = std::function<void()>;
// A write's completion with its outcome, on the user-interface thread.
using TTervoxWriteNotify = std::function<void(const TTervoxWriteResult& AResult)>;

// ----- reads ("ReadMode"+n, "ReadFix", ..., privilege queue); each
// replaces the device's data set of its kind (none when the port is closed).
void ReadMode(TTervoxDevice& ADevice, int AMode, TTervoxReadNotify ACallback, QObject* AContext = nullptr);
void ReadFix(TTervoxDevice& ADevice, TTervoxReadNotify ACallback, QObject* AContext = nullptr);
void ReadManual(TTervoxDevice& ADevice, TTervoxReadNotify ACallback, QObject* AContext = nullptr);
void ReadProgram(TTervoxDevice& ADevice, TTervoxReadNotify ACallback, QObject* AContext = nullptr);
void ReadPattern(TTervoxDevice& ADevice, int APatternIndex, TTervoxReadNotify ACallback, QObject* AContext = nullptr);
void ReadStep(TTervoxDevice& ADevice, int APatternNo, int AStepNo, TTervoxReadNotify ACallback,
              QObject* AContext = nullptr);

// ----- writes ("Write"+target, privilege queue). Each checks first, on the
// calling thread, that every scaled value fits a register at the device's
// decimal point, and raises naming the field when one does not.
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode1Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode2Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
// Output AOutput's settings (0: mode 3, 1: mode 4).
void WriteOutput(TTervoxDevice& ADevice, int AOutput, const TTervoxOutputData& AData, TTervoxWriteNotify ACallback,
                 QObject* AContext = nullptr);
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode3Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode4Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode5Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode6Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode7Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
void WriteMode(TTervoxDevice& ADevice, const TTervoxMode8Data& AData, TTervoxWriteNotify ACallback,
               QObject* AContext = nullptr);
void WriteFix(TTervoxDevice& ADevice, const TTervoxFixData& AData, TTervoxWriteNotify ACallback,
              QObject* AContext = nullptr);
void WriteManual(TTervoxDevice& ADevice, const TTervoxManualData& AData, TTervoxWriteNotify ACallback,
                 QObject* AContext = nullptr);
void WritePattern(TTervoxDevice& ADevice, const TTervoxPatternData& AData, TTervoxWriteNotify ACallback,
                  QObject* AContext = nullptr);
// Selects pattern and step itself, in the same request, before writing.
void WriteStep(TTervoxDevice& ADevice, int APatternIndex, int AStepIndex, const TTervoxStepData& AData,
               TTervoxWriteNotify ACallback, QObject* AContext = nullptr);
void WritePatternCount(TTervoxDevice& ADevice, int ACount, TTervoxWriteNotify ACallback, QObject* AContext = nullptr);
void WritePatternNumber(TTervoxDevice& ADevice, int AExeNumber, TTervoxWriteNotify ACallback,
                        QObject* AContext = nullptr);
void WritePatternTimeUnit(TTervoxDevice& ADevice, int ACount, int ATimeUnit, TTervoxWriteNotify ACallback,
                          QObject* AContext = nullptr);

// The program-status read itself, on the worker (the status poll runs it
// while the device's OnReadProgram is set).
void DoReadProgramStatus(TTervoxDevice& ADevice);

// The raw register value of a scaled setting, or a refusal: empty when it
// fits a signed 16-bit register and is not one of the two markers.
QString CheckScaledValue(const QString& AField, double AValue, int ADigit);
