#include "Tervox_Device.h"

#include "comm/DqModbus.h"
#include "core/DqRoutine.h"
#include "plant/Tervox_StatusImage.h"
#include "Tervox_DeviceCommon.h"
#include "Tervox_Engine.h"

using namespace tervox_device;

// ---------------------------------------------------------------- status bits

void TTervoxDevice::SetOpMode(int AIndex, int AValue) {
  (AIndex == 0 ? FOpMode1 : AIndex == 1 ? FOpMode2 : FOpMode3) = AValue;
}

void TTervoxDevice::SetOperationBits(int ABits) {
  FIsRun = (ABits & 4) == 0;
  FIsManual = (ABits & 2) != 0;
  FIsAT = (ABits & 1) != 0;
}

void TTervoxDevice::SetProgramBits(int ABits) {
  FIsSkip = (ABits & 8) != 0;
  FIsHold = (ABits & 2) != 0;
  FIsPrgRun = (ABits & 1) != 0;
}

void TTervoxDevice::SetEventBits(int ABits) {
  FIsEV1 = (ABits & 1) != 0;
  FIsEV2 = (ABits & 2) != 0;
  FIsEV3 = (ABits & 4) != 0;
}

bool TTervoxDevice::RunChanged() const { return FRunChanged || Now() - FRunChangeTime < kTwoSeconds; }

void TTervoxDevice::SetRunChanged(bool AValue) {
  FRunChanged = AValue;
  FRunChangeTime = Now();
}

// ---------------------------------------------------------------- status read

void TTervoxDevice::ClearStatus() {
  FSynchronized = false;
  FPV = FSV = FOut1 = FOut2 = kNoValue;
  FEV1 = FEV2 = FEV3 = kNoValue;
  FPeriodicTimeOut1 = FPeriodicTimeOut2 = 0;
  for (int k = 0; k < 3; ++k) SetOpMode(k, 0);
}

void TTervoxDevice::ReadStatusRegisters(TDqComPort& APort) {
  TModbusData modbus(&APort);
  const std::uint8_t slave = static_cast<std::uint8_t>(DeviceData().SlaveID & 0xFF);
  std::vector<std::uint16_t> r;
  // A stop ends the read at the next transaction instead of the last one.
  auto readOne = [&](std::uint16_t AAddress, bool& AOk) {
    AOk = !PollingStopping() && modbus.ReadHoldRegArray(r, slave, AAddress, 1);
    return AOk ? RegisterOf(r, 0) : TModbusData::kNoValue;
  };
  // Tenths of a second, signed like every value register.
  auto periodic = [](std::uint16_t AValue) { return NearestInt(SignedRegister(AValue) / 10.0 * 1000.0); };

  bool ok = false;
  for (int attempt = 0; attempt < 2 && !ok && !PollingStopping(); ++attempt)
    ok = modbus.ReadHoldRegArray(r, slave, 256, 6);
  FSynchronized = ok;
  if (ok) {
    FPV = SignedRegister(RegisterOf(r, 0));
    FSV = SignedRegister(RegisterOf(r, 1));
    FOut1 = SignedRegister(RegisterOf(r, 2));
    SetOperationBits(RegisterOf(r, 4));
    SetEventBits(RegisterOf(r, 5));
    if (modbus.ReadHoldRegArray(r, slave, 265, 2)) {
      FCT1 = SignedRegister(RegisterOf(r, 0)) / 10.0;
      FCT2 = SignedRegister(RegisterOf(r, 1)) / 10.0;
    }
    bool read = false;
    const std::uint16_t digit = readOne(1799, read);
    if (read) FDigit = SignedRegister(digit);
    const std::uint16_t program = readOne(288, read);
    if (read) SetProgramBits(program);
    const std::uint16_t time1 = readOne(1537, read);
    FPeriodicTimeOut1 = read ? periodic(time1) : 0;
    const std::uint16_t time2 = readOne(1540, read);
    FPeriodicTimeOut2 = read ? periodic(time2) : 0;
  } else {
    FPV = FSV = FOut1 = FOut2 = kNoValue;
    FPeriodicTimeOut1 = FPeriodicTimeOut2 = 0;
  }

  // Read whatever the block read gave.
  bool read = false;
  const std::uint16_t out2 = readOne(259, read);
  FOut2 = read ? SignedRegister(out2) : kNoValue;
  if (!ok && !read) {
    // Silent controller: each further read would wait out its time-out
    // while every other controller of the worker waits behind it.
    ClearStatus();
    return;
  }
  for (int k = 0; k < 3; ++k) {
    const std::uint16_t mode = readOne(static_cast<std::uint16_t>(1280 + 8 * k), read);
    SetOpMode(k, read ? SignedRegister(mode) : 0);
    const std::uint16_t point = readOne(static_cast<std::uint16_t>(1281 + 8 * k), read);
    (k == 0 ? FEV1 : k == 1 ? FEV2 : FEV3) = read ? SignedRegister(point) : kNoValue;
  }
  if (HavePrg()) {
    const std::uint16_t prg = readOne(2048, read);
    if (read) FIsPrg = prg != 0;
  }
}

void TTervoxDevice::PostProcessStatus() {
  FStatusReady = true;

  const double now = Now();
  const bool reevaluate = FMode5Time != 0 && now - FMode5Time > kTwoSeconds;
  const bool current[3] = {FIsEV1, FIsEV2, FIsEV3};
  const bool old[3] = {FOldIsEV1, FOldIsEV2, FOldIsEV3};
  bool handled = false;
  for (int i = 0; i < 3; ++i) {
    if (current[i] != old[i] || reevaluate) {
      HandleEventChange(i);
      handled = true;
    }
  }
  if (handled) FMode5Time = Now();

  HandleConnection();

  FollowRunLamps();
  FOldIsEV1 = FIsEV1;
  FOldIsEV2 = FIsEV2;
  FOldIsEV3 = FIsEV3;
  FOldSynchronized = FSynchronized;
}

// ---------------------------------------------------------------- status image

TTervoxStatusImage TTervoxDevice::StatusImage() const {
  TTervoxStatusImage image;
  image.DeviceID = ID();
  image.PV = FPV;
  image.SV = FSV;
  image.Out1 = FOut1;
  image.Out2 = FOut2;
  image.EV1 = FEV1;
  image.EV2 = FEV2;
  image.EV3 = FEV3;
  image.Digit = FDigit;
  image.InputLowerLimit = FInputLowerLimit;
  image.InputUpperLimit = FInputUpperLimit;
  image.PeriodicTimeOut1 = FPeriodicTimeOut1;
  image.PeriodicTimeOut2 = FPeriodicTimeOut2;
  image.OpMode = {FOpMode1.load(), FOpMode2.load(), FOpMode3.load()};
  image.CT1 = FCT1;
  image.CT2 = FCT2;
  using I = TTervoxStatusImage;
  const std::pair<bool, std::uint32_t> flags[] = {
      {FSynchronized, I::fSynchronized}, {FStatusReady, I::fStatusReady}, {FInfoReaded, I::fInfoReaded},
      {FIsRun, I::fRun}, {FIsManual, I::fManual}, {FIsPrg, I::fPrg}, {FIsAT, I::fAT}, {FIsHold, I::fHold},
      {FIsSkip, I::fSkip}, {FIsPrgRun, I::fPrgRun}, {FIsEV1, I::fEV1}, {FIsEV2, I::fEV2}, {FIsEV3, I::fEV3}};
  for (const auto& [on, flag] : flags)
    if (on) image.Flags |= flag;
  image.ModelType = ModelType().Data;
  return image;
}

void TTervoxDevice::ApplyStatusImage(const TTervoxStatusImage& AImage) {
  using I = TTervoxStatusImage;
  FPV = AImage.PV;
  FSV = AImage.SV;
  FOut1 = AImage.Out1;
  FOut2 = AImage.Out2;
  FEV1 = AImage.EV1;
  FEV2 = AImage.EV2;
  FEV3 = AImage.EV3;
  FDigit = AImage.Digit;
  FInputLowerLimit = AImage.InputLowerLimit;
  FInputUpperLimit = AImage.InputUpperLimit;
  FPeriodicTimeOut1 = AImage.PeriodicTimeOut1;
  FPeriodicTimeOut2 = AImage.PeriodicTimeOut2;
  for (int k = 0; k < 3; ++k) SetOpMode(k, AImage.OpMode[static_cast<std::size_t>(k)]);
  FCT1 = AImage.CT1;
  FCT2 = AImage.CT2;
  FIsRun = AImage.Has(I::fRun);
  FIsManual = AImage.Has(I::fManual);
  FIsPrg = AImage.Has(I::fPrg);
  FIsAT = AImage.Has(I::fAT);
  FIsHold = AImage.Has(I::fHold);
  FIsSkip = AImage.Has(I::fSkip);
  FIsPrgRun = AImage.Has(I::fPrgRun);
  FIsEV1 = AImage.Has(I::fEV1);
  FIsEV2 = AImage.Has(I::fEV2);
  FIsEV3 = AImage.Has(I::fEV3);
  if (ModelType().Data != AImage.ModelType) {
    TTervoxModelType type;
    type.Data = AImage.ModelType;
    SetModelType(type);
  }
  FInfoReaded = AImage.Has(I::fInfoReaded);
  FSynchronized = AImage.Has(I::fSynchronized);
  FStatusReady = AImage.Has(I::fStatusReady);

  // The panel's lamps follow RUN/STOP as after a read of this process.
  FollowRunLamps();
}

void TTervoxDevice::FollowRunLamps() {
  const std::shared_ptr<TTervoxMonitorLink> monitor = Monitor();
  if (FIsRun != FOldRun) {
    if (monitor) monitor->ResetTimer();
    SetRunChanged(true);
  } else if (FRunChanged && Now() - FRunChangeTime > kTwoSeconds) {
    if (monitor) monitor->RestoreTimer();
    FRunChanged = false;
  }
  if (monitor) monitor->ShowSync();
  FOldRun = FIsRun;
}
