// One simulated temperature controller: its holding registers and a simple
// plant. PV moves toward SV under the control outputs, event outputs follow
// their operation modes, RUN/STOP, manual, auto-tuning and the program
// (patterns and steps) behave as on the device. Time is passed in, so the
// behaviour is reproducible.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <vector>

// A Modbus word at AIndex of AData, and one appended: high byte first, as
// on the wire.
std::uint16_t BigEndianWord(const QByteArray& AData, int AIndex);
void AppendBigEndianWord(QByteArray& AData, std::uint16_t AValue);

// One register access as it reached the controller.
struct TSimAccess {
  std::uint8_t Function = 0; // 3 read, 6 write
  std::uint16_t Address = 0;
  std::uint16_t Value = 0; // the count of a read, the value of a write
  bool Accepted = false;   // answered without an exception
};

class TSimController {
public:
  // Modbus exception codes the controller answers with.
  enum : std::uint8_t { exIllegalFunction = 1, exIllegalAddress = 2, exIllegalValue = 3 };

  explicit TSimController(int AAddress);

  int Address() const { return FAddress; }

  // Moves the plant on to ANow (seconds on any steady clock).
  void Advance(double ANow);

  // Answers one request PDU (function code and data, no address or CRC);
  // returns the reply PDU. Exceptions come back as function | 0x80 + code.
  QByteArray Process(const QByteArray& ARequest, double ANow);

  // Register access for the control channel and tests (no side effects
  // beyond the plant's own state).
  std::uint16_t Register(std::uint16_t AAddress) const { return FRegs[AAddress]; }
  void SetRegister(std::uint16_t AAddress, std::uint16_t AValue);
  bool Readable(std::uint16_t AAddress) const;
  // Holds a status register (256-295) at AValue whatever the plant does,
  // as a faulty or unusual controller would report it; Release ends it.
  void ForceStatus(std::uint16_t AAddress, std::uint16_t AValue);
  void ReleaseStatus(std::uint16_t AAddress);
  bool Writable(std::uint16_t AAddress) const;

  // The 20-character identification (registers 64-73).
  QByteArray Identification() const;
  void SetIdentification(const QByteArray& AText);

  double PV() const { return FPV; }

  // Program memory for a demonstration or a test: one step, and a
  // pattern's end step and repeat count (10000 repeats for ever).
  void SetStep(int APattern, int AStep, int ASV, int ATime, int APID1 = 1, int APID2 = 1);
  void SetPatternEnd(int APattern, int AEndStep, int ATimes);
  // Runs the program from step 1 (register 2048 on), as the key would.
  void StartProgram();

  // Software version times 100 (130 for 1.30), from the identification.
  int Version100() const;
  // Program memory: one pattern of 25 steps below version 1.30; from 1.30
  // up to four patterns sharing 40 steps (40 div the pattern count each).
  int PatternCount() const;
  // Event outputs fitted by the identification: "1" one, "2" or "E" three.
  int EventsFitted() const;
  // An option board by its identification character (14 'D' digital
  // inputs, 15 'H' CT inputs, 16 'T' analog output).
  bool OptionFitted(int AByte, char ACode) const;
  int StepsPerPattern() const;

  // Every access since the last call, oldest first; the journal is emptied.
  std::vector<TSimAccess> TakeJournal();
  // The register writes since the last TakeJournal, without emptying it.
  std::vector<TSimAccess> Writes() const;

private:
  std::uint8_t WriteRegister(std::uint16_t AAddress, std::uint16_t AValue, double ANow);
  void Step(double ADt);
  void UpdateStatus();
  int CurrentSV() const;
  int PatternSlot(int APattern, int AStep) const;
  void EndProgram();
  void SyncSelectedStep(bool AToRegisters);
  void SyncSelectedPattern(bool AToRegisters);
  void Record(const TSimAccess& AAccess);

  struct TStepData {
    std::uint16_t SV = 0, Time = 0, PID1 = 1, PID2 = 1;
  };
  struct TPatternData {
    std::uint16_t EndStep = 1, StartSV = 250, Soak = 0, StartMode = 0, Times = 1;
  };

  int FAddress;
  std::vector<std::uint16_t> FRegs;
  std::vector<TStepData> FSteps;       // 4 patterns x 40 steps
  std::vector<TPatternData> FPatterns; // 4 patterns
  double FPV = 25.0;
  double FOut1 = 0.0, FOut2 = 0.0; // percent
  double FLastTime = -1.0;
  double FATStart = 0.0;
  // Program run
  bool FPrgRunning = false;
  int FPrgStep = 0;
  double FPrgStepTime = 0.0;
  int FPrgRepeats = 0;
  // Latching events stay on until released (register 408).
  bool FLatched[3] = {false, false, false};
  std::vector<TSimAccess> FJournal;
  std::map<std::uint16_t, std::uint16_t> FForced;
};
