#include "Sim_Controller.h"

#include <algorithm>
#include <cmath>

namespace {

// Register windows the controller answers; anything else is an illegal
// data address, as on the device.
struct TWindow {
  int First, Last;
};
constexpr TWindow kWindows[] = {{64, 73},     {256, 271},   {288, 295},   {384, 415},   {768, 783},
                                {1024, 1055}, {1120, 1151}, {1280, 1303}, {1408, 1415}, {1424, 1471},
                                {1536, 1559}, {1792, 1807}, {2048, 2095}, {2304, 2319}, {2384, 2387},
                                {2944, 2967}};

constexpr double kAmbient = 25.0;
constexpr double kHeatRate = 8.0;  // deg/s at 100 % OUT1
constexpr double kCoolRate = 8.0;  // deg/s at 100 % OUT2
constexpr double kLoss = 0.02;     // 1/s toward ambient
constexpr double kGainBand = 1000.0; // % output per degree, divided by the band (tenths)
constexpr double kATSeconds = 20.0;
constexpr int kPatterns = 4;
constexpr int kSteps = 40;

int Scale(int ADigit) {
  static const int powers[] = {1, 10, 100, 1000};
  return powers[std::clamp(ADigit, 0, 3)];
}

QByteArray Exception(std::uint8_t AFunction, std::uint8_t ACode) {
  QByteArray reply;
  reply.append(static_cast<char>(AFunction | 0x80));
  reply.append(static_cast<char>(ACode));
  return reply;
}

std::uint16_t Raw(int AValue) { return static_cast<std::uint16_t>(static_cast<std::int16_t>(AValue)); }

} // namespace

TSimController::TSimController(int AAddress)
    : FAddress(AAddress), FRegs(65536, 0), FSteps(kPatterns * kSteps), FPatterns(kPatterns) {
  // A full-featured model, software 1.30: EV, OUT2, DI, CT, analog output,
  // program function.
  SetIdentification("TVXBA-KR01302CDHT5P0");
  FRegs[1799] = 1;           // one decimal
  FRegs[1800] = Raw(-2000);  // -200.0
  FRegs[1801] = 13720;       // 1372.0
  FRegs[1796] = 0;           // Celsius
  FRegs[1797] = 3;           // input type
  FRegs[1792] = 100;         // gain 1.00
  FRegs[778] = Raw(-2000);
  FRegs[779] = 13720;
  const int fixSV[4] = {1000, 1500, 2000, 500};
  for (int i = 0; i < 4; ++i) {
    FRegs[768 + i] = static_cast<std::uint16_t>(fixSV[i]);
    FRegs[2080 + i] = 1;
    FRegs[2084 + i] = 1;
  }
  FRegs[384] = 1;
  for (int k = 0; k < 3; ++k) {
    const int out1 = 1024 + 8 * k, out2 = 1120 + 8 * k;
    const std::uint16_t pid1[8] = {50, 240, 60, 0, 10, 0, 1000, 10};
    const std::uint16_t pid2[7] = {50, 240, 60, 0, 10, 0, 1000};
    for (int i = 0; i < 8; ++i) FRegs[out1 + i] = pid1[i];
    for (int i = 0; i < 7; ++i) FRegs[out2 + i] = pid2[i];
    FRegs[1282 + 8 * k] = 10;
  }
  // EV1 high alarm at 120.0, EV2 low alarm at 20.0, EV3 unused.
  FRegs[1280] = 1;
  FRegs[1281] = 1200;
  FRegs[1288] = 2;
  FRegs[1289] = 200;
  FRegs[1429] = 5;
  FRegs[1431] = 1; // CT inputs on
  FRegs[1437] = 5;
  FRegs[1439] = 1;
  FRegs[1408] = 4; // DI1 switches RUN/STOP
  FRegs[1553] = 0;
  FRegs[1554] = 0;
  FRegs[1794] = 5;  // PV filter
  FRegs[1536] = 0;  // reverse action (heating)
  FRegs[1546] = 0;
  FRegs[1460] = 0;
  FRegs[2073] = 0;  // time unit HH:MM
  FRegs[1440] = 1;
  FRegs[1442] = 1000;
  FRegs[1461] = 1000;
  FRegs[1537] = 200; // 20.0 s
  FRegs[1540] = 200;
  FRegs[1543] = 1;
  // Program: pattern 1 heats to 50.0, holds 100.0, cools to 30.0.
  FRegs[2050] = 1;
  FRegs[2072] = 1;
  FRegs[2304] = 1;
  FRegs[2305] = 1;
  FPatterns[0].EndStep = 3;
  FSteps[0] = {500, 10, 1, 1};
  FSteps[1] = {1000, 20, 1, 1};
  FSteps[2] = {300, 10, 1, 1};
  SyncSelectedPattern(true);
  SyncSelectedStep(true);
  UpdateStatus();
}

QByteArray TSimController::Identification() const {
  QByteArray text;
  for (int i = 0; i < 10; ++i) AppendBigEndianWord(text, FRegs[64 + i]);
  return text;
}

void TSimController::SetIdentification(const QByteArray& AText) {
  QByteArray text = AText.left(20);
  text.append(20 - text.size(), ' ');
  for (int i = 0; i < 10; ++i) FRegs[64 + i] = BigEndianWord(text, 2 * i);
}

int TSimController::EventsFitted() const {
  // The event outputs code of the identification (character 12).
  switch (static_cast<char>(FRegs[70] >> 8)) {
  case '1': return 1;
  case '2':
  case 'E': return 3;
  default: return 0;
  }
}

bool TSimController::OptionFitted(int AByte, char ACode) const {
  if (AByte < 0 || AByte >= 20) return false;
  const std::uint16_t word = FRegs[64 + AByte / 2];
  return static_cast<char>(AByte % 2 == 0 ? word >> 8 : word & 0xFF) == ACode;
}

bool TSimController::Readable(std::uint16_t AAddress) const {
  // The settings of an event output that is not fitted do not exist.
  for (int k = EventsFitted(); k < 3; ++k)
    if ((AAddress >= 1280 + 8 * k && AAddress <= 1287 + 8 * k) || (AAddress >= 2944 + 8 * k && AAddress <= 2947 + 8 * k))
      return false;
  // Nor do those of a missing digital input, CT input or analog output
  // board (identification characters 14, 15 and 16).
  if (AAddress >= 1408 && AAddress <= 1415 && !OptionFitted(14, 'D')) return false;
  if (AAddress >= 1424 && AAddress <= 1439 && !OptionFitted(15, 'H')) return false;
  if (AAddress >= 1440 && AAddress <= 1471 && !OptionFitted(16, 'T')) return false;
  return std::any_of(std::begin(kWindows), std::end(kWindows),
                     [&](const TWindow& AWindow) { return AAddress >= AWindow.First && AAddress <= AWindow.Last; });
}

bool TSimController::Writable(std::uint16_t AAddress) const {
  if (!Readable(AAddress)) return false;
  return !(AAddress >= 64 && AAddress <= 73) && !(AAddress >= 256 && AAddress <= 295);
}

void TSimController::SetRegister(std::uint16_t AAddress, std::uint16_t AValue) {
  FRegs[AAddress] = AValue;
  if (AAddress == 2304 || AAddress == 2305) {
    SyncSelectedPattern(true);
    SyncSelectedStep(true);
  }
  // Status registers are the plant's; a forced value there is kept until
  // the next update, the rest takes effect at once.
  if (!(AAddress >= 256 && AAddress <= 295)) UpdateStatus();
}

int TSimController::Version100() const {
  const QByteArray id = Identification();
  bool okHi = false, okLo = false;
  const int hi = id.mid(8, 2).toInt(&okHi);
  const int lo = id.mid(10, 2).toInt(&okLo);
  return (okHi ? hi : 0) * 100 + (okLo ? lo : 0);
}

int TSimController::PatternCount() const {
  return Version100() < 130 ? 1 : std::clamp<int>(FRegs[2072], 1, kPatterns);
}

int TSimController::StepsPerPattern() const { return Version100() < 130 ? 25 : kSteps / PatternCount(); }

int TSimController::PatternSlot(int APattern, int AStep) const {
  // The patterns share one step memory.
  const int perPattern = StepsPerPattern();
  return (std::clamp(APattern, 1, PatternCount()) - 1) * perPattern + std::clamp(AStep, 1, perPattern) - 1;
}

void TSimController::Record(const TSimAccess& AAccess) {
  // A controller polled for months keeps only its recent past.
  if (FJournal.size() >= 20000) FJournal.erase(FJournal.begin(), FJournal.begin() + 10000);
  FJournal.push_back(AAccess);
}

void TSimController::SetStep(int APattern, int AStep, int ASV, int ATime, int APID1, int APID2) {
  FSteps[static_cast<std::size_t>(PatternSlot(APattern, AStep))] = {Raw(ASV), static_cast<std::uint16_t>(ATime),
                                                                     static_cast<std::uint16_t>(APID1),
                                                                     static_cast<std::uint16_t>(APID2)};
  SyncSelectedStep(true);
}

void TSimController::SetPatternEnd(int APattern, int AEndStep, int ATimes) {
  TPatternData& pattern = FPatterns[static_cast<std::size_t>(std::clamp(APattern, 1, kPatterns) - 1)];
  pattern.EndStep = static_cast<std::uint16_t>(AEndStep);
  pattern.Times = static_cast<std::uint16_t>(ATimes);
  SyncSelectedPattern(true);
}

std::vector<TSimAccess> TSimController::TakeJournal() {
  std::vector<TSimAccess> journal;
  journal.swap(FJournal);
  return journal;
}

std::vector<TSimAccess> TSimController::Writes() const {
  std::vector<TSimAccess> writes;
  for (const TSimAccess& access : FJournal)
    if (access.Function == 6) writes.push_back(access);
  return writes;
}

void TSimController::SyncSelectedPattern(bool AToRegisters) {
  TPatternData& pattern = FPatterns[static_cast<std::size_t>(std::clamp<int>(FRegs[2304], 1, PatternCount()) - 1)];
  if (AToRegisters) {
    FRegs[2307] = pattern.EndStep;
    FRegs[2310] = pattern.StartSV;
    FRegs[2311] = pattern.Soak;
    FRegs[2313] = pattern.StartMode;
    FRegs[2316] = pattern.Times;
  } else {
    pattern.EndStep = FRegs[2307];
    pattern.StartSV = FRegs[2310];
    pattern.Soak = FRegs[2311];
    pattern.StartMode = FRegs[2313];
    pattern.Times = FRegs[2316];
  }
}

void TSimController::SyncSelectedStep(bool AToRegisters) {
  TStepData& step = FSteps[static_cast<std::size_t>(PatternSlot(FRegs[2304], FRegs[2305]))];
  if (AToRegisters) {
    FRegs[2384] = step.SV;
    FRegs[2385] = step.Time;
    FRegs[2386] = step.PID1;
    FRegs[2387] = step.PID2;
  } else {
    step = {FRegs[2384], FRegs[2385], FRegs[2386], FRegs[2387]};
  }
}

int TSimController::CurrentSV() const {
  int sv;
  if (FPrgRunning)
    sv = static_cast<std::int16_t>(FSteps[static_cast<std::size_t>(PatternSlot(FRegs[2050], FPrgStep))].SV);
  else
    sv = static_cast<std::int16_t>(FRegs[768 + std::clamp<int>(FRegs[384], 1, 4) - 1]);
  if (sv == 32767) sv = 0;
  return std::clamp(sv, static_cast<int>(static_cast<std::int16_t>(FRegs[778])),
                    static_cast<int>(static_cast<std::int16_t>(FRegs[779])));
}

void TSimController::StartProgram() {
  FRegs[2048] = 1;
  FPrgRunning = true;
  FPrgStep = 1;
  FPrgStepTime = 0.0;
  FPrgRepeats = 0;
}

void TSimController::EndProgram() {
  FPrgRunning = false;
  FPrgStep = 0;
  FPrgStepTime = 0.0;
}

void TSimController::Step(double ADt) {
  const bool running = FRegs[390] == 0;
  const double scale = Scale(FRegs[1799]);
  const double sv = CurrentSV() / scale;
  if (!running) {
    FOut1 = FOut2 = 0.0;
  } else if (FRegs[389] == 1) {
    FOut1 = std::clamp(FRegs[386] / 10.0, 0.0, 100.0);
    FOut2 = std::clamp(FRegs[387] / 10.0, 0.0, 100.0);
  } else if (FRegs[388] == 1) {
    // Auto-tuning drives the output on and off around SV.
    FOut1 = FPV < sv ? 100.0 : 0.0;
    FOut2 = 0.0;
  } else {
    // The PID sets in execution (register 263) give the proportional
    // bands; a band of 0 is on/off control.
    const int set1 = std::clamp<int>(FRegs[263] & 0xFF, 1, 3) - 1;
    const int set2 = std::clamp<int>(FRegs[263] >> 8, 1, 3) - 1;
    const double band1 = FRegs[1024 + 8 * set1], band2 = FRegs[1120 + 8 * set2];
    const double deviation = sv - FPV;
    auto output = [](double ADeviation, double ABand, double AMin, double AMax) {
      const double out = ABand <= 0 ? (ADeviation > 0 ? 100.0 : 0.0) : ADeviation * kGainBand / ABand;
      return std::clamp(out, std::clamp(AMin, 0.0, 100.0), std::clamp(AMax, 0.0, 100.0));
    };
    FOut1 = output(deviation, band1, FRegs[1029 + 8 * set1] / 10.0, FRegs[1030 + 8 * set1] / 10.0);
    FOut2 = output(-deviation, band2, FRegs[1125 + 8 * set2] / 10.0, FRegs[1126 + 8 * set2] / 10.0);
  }
  FPV += ADt * (FOut1 / 100.0 * kHeatRate - FOut2 / 100.0 * kCoolRate - (FPV - kAmbient) * kLoss);

  if (FPrgRunning && running && FRegs[401] == 0) {
    // One program time unit passes per second, so patterns run briskly.
    FPrgStepTime += ADt;
    const TStepData& step = FSteps[static_cast<std::size_t>(PatternSlot(FRegs[2050], FPrgStep))];
    // The time unit (register 2073) is seconds of simulation whatever it
    // says: a step of 10 units takes 10 s.
    if (FRegs[402] == 1 || FPrgStepTime >= step.Time) {
      FRegs[402] = 0;
      FPrgStepTime = 0.0;
      const TPatternData& pattern =
          FPatterns[static_cast<std::size_t>(std::clamp<int>(FRegs[2050], 1, PatternCount()) - 1)];
      if (++FPrgStep > std::clamp<int>(pattern.EndStep, 1, StepsPerPattern())) {
        FPrgStep = 1;
        // 10000 repeats: for ever.
        if (pattern.Times < 10000 && ++FPrgRepeats >= std::max<int>(pattern.Times, 1)) {
          EndProgram();
          FRegs[2048] = 0;
        }
      }
    }
  }
}

void TSimController::Advance(double ANow) {
  if (FLastTime < 0.0) FLastTime = ANow;
  double dt = std::min(ANow - FLastTime, 3600.0);
  FLastTime = ANow;
  while (dt > 0.0) {
    const double step = std::min(dt, 0.1);
    if (FRegs[388] == 1 && ANow - FATStart >= kATSeconds) FRegs[388] = 0;
    Step(step);
    dt -= step;
  }
  UpdateStatus();
}

void TSimController::UpdateStatus() {
  const int scale = Scale(FRegs[1799]);
  const int lower = static_cast<std::int16_t>(FRegs[1800]);
  const int upper = static_cast<std::int16_t>(FRegs[1801]);
  const int pv = static_cast<int>(std::lround(FPV * scale));
  const int sv = CurrentSV();
  const bool running = FRegs[390] == 0;
  if (pv < lower)
    FRegs[256] = Raw(-32768);
  else if (pv > upper)
    FRegs[256] = 32767;
  else
    FRegs[256] = Raw(pv);
  FRegs[257] = Raw(sv);
  FRegs[258] = static_cast<std::uint16_t>(std::lround(FOut1 * 10.0));
  FRegs[259] = static_cast<std::uint16_t>(std::lround(FOut2 * 10.0));
  FRegs[260] = static_cast<std::uint16_t>((FRegs[388] == 1 ? 1 : 0) | (FRegs[389] == 1 ? 2 : 0) | (running ? 0 : 4));
  std::uint16_t events = 0;
  for (int k = 0; k < EventsFitted(); ++k) {
    const int point = static_cast<std::int16_t>(FRegs[1281 + 8 * k]);
    bool on = false;
    switch (FRegs[1280 + 8 * k]) {
    case 1: on = pv > point; break;
    case 2: on = pv < point; break;
    case 3: on = pv <= lower || pv >= upper; break;
    case 4: on = pv > sv + point; break;
    case 5: on = pv < sv - point; break;
    case 6: on = std::abs(pv - sv) <= point; break;
    case 7: on = std::abs(pv - sv) > point; break;
    case 8: on = running; break;
    default: break; // control-loop alarms never trip on the simulated heater
    }
    // Latching (high byte of 1285+8k): once on, on until released.
    if ((FRegs[1285 + 8 * k] >> 8) != 0) {
      if (on) FLatched[k] = true;
      on = on || FLatched[k];
    } else {
      FLatched[k] = false;
    }
    if (on) events |= static_cast<std::uint16_t>(1 << k);
  }
  FRegs[261] = events;
  const int fix = std::clamp<int>(FRegs[384], 1, 4);
  FRegs[262] = static_cast<std::uint16_t>(fix);
  std::uint16_t pid1 = FRegs[2080 + fix - 1], pid2 = FRegs[2084 + fix - 1];
  if (FPrgRunning) {
    const TStepData& step = FSteps[static_cast<std::size_t>(PatternSlot(FRegs[2050], FPrgStep))];
    pid1 = step.PID1;
    pid2 = step.PID2;
  }
  FRegs[263] = static_cast<std::uint16_t>((pid1 & 0xFF) | ((pid2 & 0xFF) << 8));
  // A 12.0 A heater and an 8.0 A cooler, seen while their CT input is on.
  const bool ct = OptionFitted(15, 'H');
  FRegs[265] = !ct || FRegs[1431] == 0 ? 0 : static_cast<std::uint16_t>(std::lround(FOut1 / 100.0 * 120.0));
  FRegs[266] = !ct || FRegs[1439] == 0 ? 0 : static_cast<std::uint16_t>(std::lround(FOut2 / 100.0 * 80.0));
  FRegs[288] = static_cast<std::uint16_t>((FPrgRunning ? 1 : 0) | (FRegs[401] == 1 ? 2 : 0) | (FRegs[402] == 1 ? 8 : 0));
  FRegs[291] = static_cast<std::uint16_t>(FPrgRunning ? FPrgRepeats + 1 : 0);
  FRegs[292] = static_cast<std::uint16_t>(FPrgStep);
  FRegs[293] = static_cast<std::uint16_t>(FPrgStepTime);
  for (const auto& [address, value] : FForced) FRegs[address] = value;
}

void TSimController::ForceStatus(std::uint16_t AAddress, std::uint16_t AValue) {
  FForced[AAddress] = AValue;
  FRegs[AAddress] = AValue;
}

void TSimController::ReleaseStatus(std::uint16_t AAddress) {
  FForced.erase(AAddress);
  UpdateStatus();
}

std::uint8_t TSimController::WriteRegister(std::uint16_t AAddress, std::uint16_t AValue, double ANow) {
  if (!Writable(AAddress)) return exIllegalAddress;
  auto within = [&](int AFirst, int ALast) { return AValue >= AFirst && AValue <= ALast; };
  const bool multiPattern = Version100() >= 130;
  switch (AAddress) {
  case 2050:
  case 2072:
    // Below 1.30 there is one pattern: no pattern selection or count.
    if (!multiPattern) return exIllegalAddress;
    if (!within(1, 4)) return exIllegalValue;
    break;
  case 2073:
    if (!within(0, 2)) return exIllegalValue;
    break;
  case 2304:
    if (!within(1, PatternCount())) return exIllegalValue;
    break;
  case 384:
  case 408:
    if (!within(1, 4)) return exIllegalValue;
    break;
  case 2080: case 2081: case 2082: case 2083:
  case 2084: case 2085: case 2086: case 2087:
  case 2386: case 2387:
    if (!within(1, 3)) return exIllegalValue;
    break;
  case 386:
  case 387:
    if (!within(0, 1000)) return exIllegalValue;
    break;
  case 2305:
    if (!within(1, StepsPerPattern())) return exIllegalValue;
    break;
  case 388:
  case 389:
  case 390:
  case 401:
  case 402:
  case 2048:
    if (!within(0, 1)) return exIllegalValue;
    break;
  case 1799:
    if (!within(0, 3)) return exIllegalValue;
    break;
  default: break;
  }
  FRegs[AAddress] = AValue;
  switch (AAddress) {
  case 388:
    if (AValue == 1) FATStart = ANow;
    break;
  case 390:
    if (AValue == 1) {
      FRegs[388] = 0;
      EndProgram();
    } else if (FRegs[2048] == 1) {
      StartProgram();
    }
    break;
  case 2048:
    if (AValue == 1 && FRegs[390] == 0)
      StartProgram();
    else if (AValue == 0)
      EndProgram();
    break;
  case 408:
    FRegs[408] = 0; // a release command, not a setting
    for (int k = 0; k < 3; ++k)
      if (AValue == 4 || AValue == k + 1) FLatched[k] = false;
    break;
  case 2072:
    // Fewer patterns share the memory differently: select a valid step.
    FRegs[2304] = static_cast<std::uint16_t>(std::clamp<int>(FRegs[2304], 1, PatternCount()));
    FRegs[2305] = static_cast<std::uint16_t>(std::clamp<int>(FRegs[2305], 1, StepsPerPattern()));
    FRegs[2050] = static_cast<std::uint16_t>(std::clamp<int>(FRegs[2050], 1, PatternCount()));
    SyncSelectedPattern(true);
    SyncSelectedStep(true);
    break;
  case 2304:
  case 2305:
    SyncSelectedPattern(true);
    SyncSelectedStep(true);
    break;
  case 2307:
  case 2310:
  case 2311:
  case 2313:
  case 2316:
    SyncSelectedPattern(false);
    break;
  case 2384:
  case 2385:
  case 2386:
  case 2387:
    SyncSelectedStep(false);
    break;
  default: break;
  }
  return 0;
}

QByteArray TSimController::Process(const QByteArray& ARequest, double ANow) {
  Advance(ANow);
  const std::uint8_t function = ARequest.isEmpty() ? 0 : static_cast<std::uint8_t>(ARequest[0]);
  if (function == 3 && ARequest.size() >= 5) {
    const std::uint16_t address = BigEndianWord(ARequest, 1);
    const std::uint16_t count = BigEndianWord(ARequest, 3);
    if (count < 1 || count > 125) return Exception(function, exIllegalValue);
    TSimAccess access{function, address, count, false};
    const bool noPatterns = Version100() < 130 && address <= 2072 && address + count - 1 >= 2050;
    for (int i = 0; i < count; ++i)
      if (address + i > 0xFFFF || !Readable(static_cast<std::uint16_t>(address + i)) ||
          (noPatterns && (address + i == 2050 || address + i == 2072))) {
        Record(access);
        return Exception(function, exIllegalAddress);
      }
    access.Accepted = true;
    Record(access);
    QByteArray reply;
    reply.append(static_cast<char>(function));
    reply.append(static_cast<char>(2 * count));
    for (int i = 0; i < count; ++i) AppendBigEndianWord(reply, FRegs[address + i]);
    return reply;
  }
  if (function == 6 && ARequest.size() >= 5) {
    const std::uint8_t code = WriteRegister(BigEndianWord(ARequest, 1), BigEndianWord(ARequest, 3), ANow);
    Record({function, BigEndianWord(ARequest, 1), BigEndianWord(ARequest, 3), code == 0});
    if (code != 0) return Exception(function, code);
    UpdateStatus();
    return ARequest.left(5);
  }
  return Exception(function, exIllegalFunction);
}

std::uint16_t BigEndianWord(const QByteArray& AData, int AIndex) {
  return static_cast<std::uint16_t>((static_cast<std::uint8_t>(AData[AIndex]) << 8) |
                                    static_cast<std::uint8_t>(AData[AIndex + 1]));
}

void AppendBigEndianWord(QByteArray& AData, std::uint16_t AValue) {
  AData.append(static_cast<char>(AValue >> 8));
  AData.append(static_cast<char>(AValue & 0xFF));
}
