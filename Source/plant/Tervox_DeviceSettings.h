// The controller's settings as its own menus group them: modes 1-8, FIX,
// manual output, program status, pattern and step. Plain data; "unchanged"
// is 32767 (32767.0 for values). DiffData reduces an edited copy to the
// fields the user changed, so a write sends those registers only.
#pragma once

#include <QString>

#include <array>
#include <memory>
#include <mutex>

// The "leave unchanged" marker of a settings field.
constexpr int kUnchanged = 32767;
constexpr double kUnchangedFloat = 32767.0;

// Mode 1: Key lock and SV limit Setting.
class TTervoxMode1Data {
public:
  int Keylock = 0;
  double SVLowerLimit = 0;
  double SVUpperLimit = 0;
  int PowerOnMode = 0;
  void DiffData(const TTervoxMode1Data& AData);
};

// Mode 2: Scale and PV Setting.
class TTervoxMode2Data {
public:
  double PVOffset = 0;
  double PVGain = 0;
  int PVFilter = 0;
  int PVRange = 0;
  int TemperatureUnit = 0;
  double InputLowerLimit = 0;
  double InputUpperLimit = 0;
  int DecimalPoint = 0;
  int ThermocoupleDirection = 0;
  void DiffData(const TTervoxMode2Data& AData);
};

// One PID set of a control output. Output 2 has a dead band (whole
// numbers) where output 1 has a manual reset, and no upper gap.
struct TTervoxOutputPID {
  // Register offsets from the set's first register.
  enum : int { kBand, kIntegral, kDerivative, kResetOrDead, kGap, kMinimum, kMaximum, kGapUpper };
  bool Have = false; // the set's block was read
  double Band = 0;
  int Integral = 0;
  int Derivative = 0;
  double ResetOrDead = 0;
  double Gap = 0; // the (lower) differential gap
  double GapUpper = 0; // output 1 only
  double Minimum = 0;
  double Maximum = 0;
};

// A control output's settings (modes 3 and 4).
class TTervoxOutputData {
public:
  std::array<TTervoxOutputPID, 3> PID{};
  double SoftStartingTime = 0;
  double PeriodicTime = 0;
  int Characteristics = 0;
  void DiffData(const TTervoxOutputData& AData);
};

// Mode 3: Output 1 Setting.
class TTervoxMode3Data : public TTervoxOutputData {};

// Mode 4: Output 2 Setting.
class TTervoxMode4Data : public TTervoxOutputData {};

// One event output's settings.
struct TTervoxEventSetting {
  bool Have = false;      // its operation mode was read
  bool HaveDelay = false; // its delay block was read
  int OpMode = 0;
  double Point = 0;
  double Gap = 0;
  int Standby = 0;
  int Latch = 0;   // high byte of 1285+8k
  int OutChar = 0; // low byte of 1285+8k
  int Delay = 0;
  int DelayON = 0;
  int DelayOFF = 0;
  int TimerON = 0;
  int TimerOFF = 0;
  int TimerUnit = 0;
};

// Mode 5: Event Setting.
class TTervoxMode5Data {
public:
  std::array<TTervoxEventSetting, 3> EV{};
  void DiffData(const TTervoxMode5Data& AData);
};

// Mode 6: Digital Input Setting.
class TTervoxMode6Data {
public:
  bool Have = false;
  std::array<int, 4> DIMode{};
  void DiffData(const TTervoxMode6Data& AData);
};

// Mode 7: Analog Output Setting.
class TTervoxMode7Data {
public:
  TTervoxMode7Data() { Clear(); }
  void Clear();
  bool Have = false;
  int AnalogOutputMode = 0;
  double AnalogLowerScale = 0;
  double AnalogUpperScale = 100.0;
  double AnalogLowerLimit = 0;
  double AnalogUpperLimit = 100.0;
  double MinInputLowerLimit = 0;
  double MaxInputLowerLimit = 99.9;
  double MinInputUpperLimit = 0.1;
  double MaxInputUpperLimit = 100.0;
  int Digit = 1; // decimals of the two scaling values
  void DiffData(const TTervoxMode7Data& AData);
  // Digit and the two scaling ranges for output mode AMode: the input's
  // (decimal point AInputDigit, raw scaling limits AInputLower ..
  // AInputUpper) for PV and SV, percent for OUT1 and OUT2, amperes for the
  // CTs. False, and nothing set, for a mode without a scale of its own.
  bool SetScaleRange(int AMode, int AInputDigit, int AInputLower, int AInputUpper);
};

struct TTervoxCTSetting {
  int Mode = 0;
  double Delay = 0;
  double Value = 0; // the measured current
};

// Mode 8: CT Output Option Setting.
class TTervoxMode8Data {
public:
  bool Have = false;
  std::array<TTervoxCTSetting, 2> CT{};
  void DiffData(const TTervoxMode8Data& AData);
};

class TTervoxManualData {
public:
  bool IsManual = false;
  double Out1 = 0;
  double Out2 = 0;
};

struct TTervoxFixSV {
  double SV = 0;
  int PIDOut1 = 0;
  int PIDOut2 = 0;
};

class TTervoxFixData {
public:
  std::array<TTervoxFixSV, 4> SV{};
  int SVNumber = 0; // read from 262 (in operation), written to 384
  void DiffData(const TTervoxFixData& AData);
};

// Program status (read only).
class TTervoxModeProgramData {
public:
  bool Have = false;
  int PatternTime = 0;
  int PatternTimeMax = 0;
  int Step = 0;
  int StepMax = 0;
  int StepTime = 0;
  int StepTimeNext = 0;
  int PIDOut1 = 0;
  int PIDOut2 = 0;
  int PIDOut1Next = 0;
  int PIDOut2Next = 0;
};

class TTervoxPatternData {
public:
  int MaxPattern = 0;
  int MaxStep = 0;
  int PatternCount = 0;
  int PatternIndex = 0;
  int StepIndex = 0;
  int StartMode = 0;
  double StartSV = 0;
  int EndStep = 0;
  int PatternTime = 0;
  double GuaranteeSoak = 0;
  int TimeUnit = 0;
  // The selection (pattern index, counts) is never reduced: it says where
  // the changed fields go.
  void DiffData(const TTervoxPatternData& AData);
};

class TTervoxStepData {
public:
  double SV = 0;
  int StepTime = 0;
  int PIDOut1 = 0;
  int PIDOut2 = 0;
  void Clear() { *this = TTervoxStepData(); }
  void DiffData(const TTervoxStepData& AData);
};

// The outcome of a write, handed to its completion callback.
class TTervoxWriteResult {
public:
  bool Success = true;
  // The register that failed; -1 when the port could not be opened or
  // the failure was not on one register.
  int FailedAddress = -1;
  bool ReadFailed = false; // a read the write needed failed
  // Empty on success, else the text for the user.
  QString Message() const;
};

// The latest data set of each kind that the controller gave. Each read
// replaces its slot; the user-interface thread takes the set after its
// read's completion, and a later read never frees a set still in use.
class TTervoxDeviceSettings {
public:
  template <typename T>
  class TSlot {
  public:
    std::shared_ptr<const T> Get() const {
      std::lock_guard<std::mutex> guard(FMutex);
      return FData;
    }
    void Set(std::shared_ptr<const T> AData) {
      std::lock_guard<std::mutex> guard(FMutex);
      FData = std::move(AData);
    }

  private:
    mutable std::mutex FMutex;
    std::shared_ptr<const T> FData;
  };

  TSlot<TTervoxMode1Data> Mode1;
  TSlot<TTervoxMode2Data> Mode2;
  TSlot<TTervoxMode3Data> Mode3;
  TSlot<TTervoxMode4Data> Mode4;
  TSlot<TTervoxMode5Data> Mode5;
  TSlot<TTervoxMode6Data> Mode6;
  TSlot<TTervoxMode7Data> Mode7;
  TSlot<TTervoxMode8Data> Mode8;
  TSlot<TTervoxManualData> Manual;
  TSlot<TTervoxFixData> ModeFix;
  TSlot<TTervoxModeProgramData> ModeProgram;
  TSlot<TTervoxPatternData> Pattern;
  TSlot<TTervoxStepData> Step;

  // Output AIndex's settings (0: mode 3, 1: mode 4).
  std::shared_ptr<const TTervoxOutputData> Output(int AIndex) const {
    if (AIndex == 0) return Mode3.Get();
    return Mode4.Get();
  }
};
