// What the settings requests share inside plant: how a setting reaches
// its register (plans, listed in writing order, and the checks before
// queueing), and the reads that fill each data set. Not for use outside
// plant.
#pragma once

#include "Tervox_DeviceSettings.h"

#include <QString>

#include <array>
#include <functional>
#include <utility>
#include <vector>

class TTervoxDevice;

namespace tervox_requests {

constexpr int kRaw = -1; // a field written as it stands

// One setting on its way to a register: its value, its scaling (decimals,
// or kRaw) and the name the user knows it by.
using TEmit = std::function<void(int AAddress, double AValue, int ADigit, const QString& AName)>;

bool FitsRegister(int ARaw, bool AScaled);
double Scaled(int ARaw, int ADigit);

// Where a control output's settings live. Its PID set k starts at
// PIDBase + 8k; its own three registers are listed in address order, the
// order they are read and written in.
struct TOutputRegisters {
  enum TOwn { Characteristics, PeriodicTime, SoftStartingTime };
  int PIDBase;
  bool DeadBand;  // at kResetOrDead, whole numbers; else manual reset
  bool UpperGap;  // at kGapUpper
  const char* Name;
  const char* PIDName;
  std::array<std::pair<int, TOwn>, 3> Own;
};

inline constexpr std::array<TOutputRegisters, 2> kOutputs{{
    {1024, false, true, "OUT1", "PID %1 ",
     {{{1536, TOutputRegisters::Characteristics}, {1537, TOutputRegisters::PeriodicTime},
       {1546, TOutputRegisters::SoftStartingTime}}}},
    {1120, true, false, "OUT2", "OUT2 PID %1 ",
     {{{1540, TOutputRegisters::PeriodicTime}, {1543, TOutputRegisters::Characteristics},
       {1547, TOutputRegisters::SoftStartingTime}}}},
}};

// ----- the registers of each data set, in writing order

void PlanMode1(const TTervoxMode1Data& AData, int ADigit, const TEmit& AEmit);
void PlanMode2(const TTervoxMode2Data& AData, int ADigit, const TEmit& AEmit);
void PlanOutput(const TTervoxOutputData& AData, int AOutput, int ADigit, const TEmit& AEmit);
// Mode 5 without the latch/characteristics register, which is read and
// merged on the worker.
void PlanMode5Event(const TTervoxEventSetting& AEvent, int AIndex, int ADigit, bool ADelays, const TEmit& AEmit);
void PlanMode6(const TTervoxMode6Data& AData, int, const TEmit& AEmit);
void PlanMode7(const TTervoxMode7Data& AData, int, const TEmit& AEmit);
void PlanMode8(const TTervoxMode8Data& AData, int, const TEmit& AEmit);
void PlanFix(const TTervoxFixData& AData, int ADigit, const TEmit& AEmit);
void PlanManual(const TTervoxManualData& AData, int, const TEmit& AEmit);
void PlanPatternFields(const TTervoxPatternData& AData, int ADigit, const TEmit& AEmit);
void PlanStepFields(const TTervoxStepData& AData, int ADigit, const TEmit& AEmit);

// Refuses, naming the field, a value that would not arrive as the user
// entered it.
void CheckPlan(const std::function<void(const TEmit&)>& APlan);

// ----- reads (device locked, port open)

// The register reads of one request.
class TRegisterReader {
public:
  virtual ~TRegisterReader() = default;
  // ACount registers from AAddress as signed values; kNoValue each on failure.
  virtual bool Read(int AAddress, int ACount, std::vector<int>& AValues) = 0;
  virtual bool ReadOne(int AAddress, int& AValue) = 0;
  // The register as an unsigned 16-bit value (two bytes of settings).
  virtual bool ReadWord(int AAddress, int& AValue) = 0;
  // A selection a read needs; "unchanged" keeps the controller's own.
  virtual void Select(int AAddress, int AValue) = 0;
};

void DoReadMode1(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadMode2(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadMode3(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadMode4(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadMode5(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadMode6(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadMode7(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadMode8(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadFix(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadManual(TRegisterReader& AIO, TTervoxDevice& ADevice);
void ReadProgramInto(TRegisterReader& AIO, TTervoxDevice& ADevice);
void DoReadPattern(TRegisterReader& AIO, TTervoxDevice& ADevice, int APatternIndex);
void DoReadStep(TRegisterReader& AIO, TTervoxDevice& ADevice, int APatternNo, int AStepNo);

} // namespace tervox_requests
