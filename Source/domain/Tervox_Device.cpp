#include "Tervox_Device.h"

#include "Engine/DqEvent.h"
#include "Engine/DqModbus.h"
#include "Engine/DqPort.h"
#include "Engine/DqRoutine.h"
#include "Engine/DqSQLite.h"
#include "domain/Tervox_Config.h"
#include "domain/Tervox_DeviceRequests.h"
#include "domain/Tervox_DeviceSettings.h"
#include "domain/Tervox_Engine.h"
#include "domain/Tervox_StationProtocol.h"
#include "domain/Main_Database.h"

#include <QDateTime>

#include <QLocale>

#include <cmath>

namespace {

constexpr double kOneMillisecond = 1.0 / 86400000.0;
constexpr double kTwoSeconds = 2000 * kOneMillisecond;

constexpr std::uint32_t kPollInterval = 1000;

int NearestInt(double AValue) {
  const double rounded = std::nearbyint(AValue); // ties to even
  if (rounded >= 2147483647.0) return 2147483647;
  if (rounded <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(rounded);
}

TVariant NullWhenNegative(int AValue) { return AValue < 0 ? TVariant::Null() : TVariant(AValue); }

void BindDeviceData(TSQLiteParamList& AParams, const TTervoxDeviceData& AData) {
  AParams.SetParamValues(":Name", AData.Name);
  AParams.SetParamValues(":DevicePortID", NullWhenNegative(AData.DevicePortID));
  AParams.SetParamValues(":Address", NullWhenNegative(AData.SlaveID));
  AParams.SetParamValues(":Model", AData.Model);
  AParams.SetParamValues(":Dimension", AData.Dimension);
  AParams.SetParamValues(":Power", AData.Power);
  AParams.SetParamValues(":Description", AData.Description);
  AParams.SetParamValues(":Enabled", AData.Enabled);
}


// The Device table keeps the model code the controller reports, as saving
// the device does: a controller added without an answer, or replaced by
// another model, shows its code on the Device page. A failed write changes
// nothing else; the next identification tries again.
void StoreModelCode(int AID, const QString& AStored, const QString& ACode) {
  if (AID <= 0 || ACode.isEmpty() || ACode == AStored) return;
  try {
    TSQLiteParamList params;
    params.SetParamValues(":ID", AID);
    params.SetParamValues(":Model", ACode);
    GetDatabase()->ExecSQL(QStringLiteral("UPDATE Device SET Model = :Model WHERE ID = :ID"), &params);
  } catch (const EDqException&) {
  }
}

} // namespace

std::uint16_t RegisterOf(const std::vector<std::uint16_t>& AArray, std::size_t AIndex) {
  return AIndex < AArray.size() ? AArray[AIndex] : TModbusData::kNoValue;
}

TTervoxPortLock::TTervoxPortLock(TDqComPort& APort, const QString& ARequest)
    : FPort(APort), FTransport(APort.FrameTransport()) {
  FPort.Lock();
  // The destructor does not run when the constructor fails.
  try {
    if (FTransport) FTransport->BeginRequest(ARequest);
  } catch (...) {
    FPort.Unlock();
    throw;
  }
}

TTervoxPortLock::~TTervoxPortLock() {
  if (FTransport) FTransport->EndRequest();
  FPort.Unlock();
}

double GetFloatDigit(int AValue, int ADigit) {
  if (AValue == kNoValue || AValue == kBelowRange) return AValue;
  double value = AValue;
  for (int i = 0; i < ADigit; ++i) value /= 10.0;
  return value;
}

int GetIntDigit(double AValue, int ADigit) {
  double value = AValue;
  if (AValue != kNoValue && AValue != kBelowRange)
    for (int i = 0; i < ADigit; ++i) value *= 10.0;
  return NearestInt(value);
}

// ---------------------------------------------------------------- data row

void TTervoxDeviceData::LoadFromDB(TSQLiteTable& ATable) {
  ID = ATable.FieldByName(QStringLiteral("ID"))->AsInteger(-1);
  Name = ATable.FieldByName(QStringLiteral("Name"))->AsString();
  DevicePortID = ATable.FieldByName(QStringLiteral("DevicePortID"))->AsInteger(-1);
  SlaveID = ATable.FieldByName(QStringLiteral("Address"))->AsInteger(-1);
  Model = ATable.FieldByName(QStringLiteral("Model"))->AsString();
  Dimension = ATable.FieldByName(QStringLiteral("Dimension"))->AsString();
  Power = ATable.FieldByName(QStringLiteral("Power"))->AsString();
  Description = ATable.FieldByName(QStringLiteral("Description"))->AsString();
  Enabled = ATable.FieldByName(QStringLiteral("Enabled"))->AsBool();
}

void TTervoxDeviceData::InsertToDB(TSQLiteDatabase& ADB) const {
  TSQLiteParamList params;
  BindDeviceData(params, *this);
  ADB.ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Model, Dimension, Power, Description, "
                             "Enabled)\r\nVALUES(:Name, :DevicePortID, :Address, :Model, :Dimension, :Power, "
                             ":Description, :Enabled)"),
              &params);
}

void TTervoxDeviceData::UpdateDB(TSQLiteDatabase& ADB) const {
  TSQLiteParamList params;
  BindDeviceData(params, *this);
  params.SetParamValues(":ID", ID);
  ADB.ExecSQL(QStringLiteral("UPDATE Device SET Name = :Name, DevicePortID = :DevicePortID,\r\n"
                             "Address = :Address, Model = :Model, Dimension = :Dimension,\r\n"
                             "Power = :Power, Description = :Description, Enabled = :Enabled\r\n"
                             "WHERE ID = :ID"),
              &params);
}

QString TTervoxModelType::Text(int AFirst, int ACount) const {
  QString text;
  for (int i = AFirst; i < AFirst + ACount && i < static_cast<int>(Data.size()); ++i) {
    if (Data[static_cast<std::size_t>(i)] == 0) break;
    text += QLatin1Char(Data[static_cast<std::size_t>(i)]);
  }
  return text;
}

// ---------------------------------------------------------------- device

TTervoxDevice::TTervoxDevice() : FSettings(std::make_unique<TTervoxDeviceSettings>()) {
  const double now = Now();
  FEV1LastTime = FEV2LastTime = FEV3LastTime = now;
  FLossSMSTime = now;
  FRunChangeTime = now;
}

TTervoxDevice::~TTervoxDevice() = default;

TTervoxDeviceData TTervoxDevice::DeviceData() const {
  std::lock_guard<std::mutex> guard(FDataMutex);
  return FDeviceData;
}

void TTervoxDevice::SetDeviceData(const TTervoxDeviceData& AData) {
  std::lock_guard<std::mutex> guard(FDataMutex);
  FDeviceData.Assign(AData);
}

int TTervoxDevice::ID() const {
  std::lock_guard<std::mutex> guard(FDataMutex);
  return FDeviceData.ID;
}

QString TTervoxDevice::DeviceName() const {
  std::lock_guard<std::mutex> guard(FDataMutex);
  return FDeviceData.Name;
}

bool TTervoxDevice::Enabled() const {
  std::lock_guard<std::mutex> guard(FDataMutex);
  return FDeviceData.Enabled;
}

void TTervoxDevice::SetEnabled(bool AValue) {
  {
    std::lock_guard<std::mutex> guard(FDataMutex);
    if (FDeviceData.Enabled == AValue) return;
    FDeviceData.Enabled = AValue;
  }
  Changed();
}

QString TTervoxDevice::ModelDimension() const { return DeviceData().Dimension; }

void TTervoxDevice::SetModelDimension(const QString& AValue) {
  std::lock_guard<std::mutex> guard(FDataMutex);
  FDeviceData.Dimension = AValue;
}

QString TTervoxDevice::ModelPower() const { return DeviceData().Power; }

void TTervoxDevice::SetModelPower(const QString& AValue) {
  std::lock_guard<std::mutex> guard(FDataMutex);
  FDeviceData.Power = AValue;
}

void TTervoxDevice::LoadFromDB(TSQLiteTable& ATable) {
  std::lock_guard<std::mutex> guard(FDataMutex);
  FDeviceData.LoadFromDB(ATable);
}

TTervoxModelType TTervoxDevice::ModelType() const {
  std::lock_guard<std::mutex> guard(FDataMutex);
  return FModelType;
}

void TTervoxDevice::SetModelType(const TTervoxModelType& AValue) {
  {
    std::lock_guard<std::mutex> guard(FDataMutex);
    FModelType = AValue;
  }
  // The stored model code follows every identification read.
  const QString code = ModelCode();
  std::lock_guard<std::mutex> guard(FDataMutex);
  FDeviceData.Model = code;
}

QString TTervoxDevice::VersionString() const {
  const TTervoxModelType type = ModelType();
  bool ok = false;
  const int major = type.VersionHi().toInt(&ok);
  return QString::number(ok ? major : 0) + QLatin1Char('.') + type.VersionLo();
}

double TTervoxDevice::Version() const {
  // Always "." as the decimal point, whatever the user's locale.
  bool ok = false;
  const double value = QLocale::c().toDouble(VersionString(), &ok);
  return ok ? value : 0.0;
}

QString TTervoxDevice::ModelName() const {
  const TTervoxModelType type = ModelType();
  const QString stored = ModelDimension();
  QString name = type.Name();
  const char code = type.Dimension();
  const QString codeText = type.Text(4, 1);
  if (type.Model() == 'A') {
    name += QStringLiteral("10");
    if (code != 'A')
      name += codeText;
    else if (stored == QLatin1String("A") || stored == QLatin1String("B") || stored == QLatin1String("C") ||
             stored == QLatin1String("D"))
      name += stored;
    else
      name += QStringLiteral("A/B/C/D");
  } else {
    name += type.Text(3, 1);
    if (code == 'A')
      name += (stored == QLatin1String("A") || stored == QLatin1String("B")) ? stored : QStringLiteral("A/B");
    else if (code == 'D')
      name += (stored == QLatin1String("C") || stored == QLatin1String("D")) ? stored : QStringLiteral("C/D");
    else
      name += codeText;
  }
  return name;
}

QString TTervoxDevice::ModelCode() const {
  const TTervoxModelType type = ModelType();
  auto c = [&type](int AIndex) { return type.Text(AIndex, 1); };
  if (type.Model() == 'A')
    return QStringLiteral("%1-%2%3F-%4%5").arg(ModelName(), c(6), c(7), c(12), c(13)).toUpper();
  const QString stored = ModelPower();
  const QString power = (stored == QLatin1String("F") || stored == QLatin1String("L")) ? stored : QStringLiteral("F/L");
  return QStringLiteral("%1-%2%3%4-%5%6-%7%8%9%10%11")
      .arg(ModelName(), c(6), c(7), power, c(12), c(13), c(14), c(15), c(16))
      .arg(c(17), c(18))
      .toUpper();
}

bool TTervoxDevice::HaveEV() const {
  const char ev = ModelType().EV();
  return ev == '1' || ev == '2' || ev == 'E';
}

bool TTervoxDevice::HaveOUT2() const {
  const TTervoxModelType type = ModelType();
  const char out2 = type.OUT2();
  return out2 == 'C' || out2 == 'D' || out2 == 'E' || out2 == 'I' || out2 == 'S' || type.EV() == '2';
}

bool TTervoxDevice::HaveDI() const { return ModelType().DI() == 'D'; }
bool TTervoxDevice::HaveCT() const { return ModelType().CT() == 'H'; }
bool TTervoxDevice::HaveAnalog() const { return ModelType().Analog() == 'T'; }

bool TTervoxDevice::HavePrg() const {
  const TTervoxModelType type = ModelType();
  return type.PRG() == 'P' && type.PRG0() == '0';
}

QString TTervoxDevice::InfomationText() const {
  const TTervoxModelType type = ModelType();
  auto c = [&type](int AIndex) { return type.Text(AIndex, 1); };
  QString text = QStringLiteral("Model: ") + DeviceData().Model + QStringLiteral("\r\nInput Spec: ") + c(6) +
                 QStringLiteral("\r\nOutput Spec: ") + c(7) + QStringLiteral("\r\nSoftware Version: ") +
                 VersionString() + QStringLiteral("\r\nEvent Output: ") + c(12);
  if (type.Model() == 'A') return text + QStringLiteral("\r\nCommunication: ") + c(13);
  return text + QStringLiteral("\r\nControl Output 2: ") + c(13) + QStringLiteral("\r\nDI: ") + c(14) +
         QStringLiteral("\r\nCT: ") + c(15) + QStringLiteral("\r\nAnalog Output: ") + c(16) +
         QStringLiteral("\r\nCommunication: ") + c(17) + QStringLiteral("\r\nProgram: ") + c(18);
}

void TTervoxDevice::SetOpMode(int AIndex, int AValue) {
  (AIndex == 0 ? FOpMode1 : AIndex == 1 ? FOpMode2 : FOpMode3) = AValue;
}

double TTervoxDevice::OutFloat(int ARaw) {
  if (ARaw > 32766 || ARaw < -32767) return ARaw;
  return ARaw / 10.0;
}

int TTervoxDevice::OutRaw(double AValue) {
  if (AValue == kNoValue || AValue == kBelowRange) return static_cast<int>(AValue);
  return NearestInt(AValue * 10.0);
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

int TTervoxDevice::Alarming(int AIndex) const { return FAlarming.at(static_cast<std::size_t>(AIndex)); }
void TTervoxDevice::SetAlarming(int AIndex, int AValue) { FAlarming.at(static_cast<std::size_t>(AIndex)) = AValue; }

void TTervoxDevice::Lock() {
  // Handlers never nest, and only the worker does bus work: a second holder
  // is a fault, not something to wait for.
  if (FLockCount.fetch_add(1) >= 1) {
    --FLockCount;
    throw EDqException(QStringLiteral("Lock exceed"));
  }
  FLock.lock();
}

void TTervoxDevice::Unlock() {
  if (FLockCount <= 0) return;
  --FLockCount;
  FLock.unlock();
}

std::shared_ptr<TTervoxMonitorLink> TTervoxDevice::Monitor() const {
  std::lock_guard<std::mutex> guard(FMonitorMutex);
  return FMonitor;
}

void TTervoxDevice::SetMonitor(std::shared_ptr<TTervoxMonitorLink> AMonitor) {
  std::lock_guard<std::mutex> guard(FMonitorMutex);
  FMonitor = std::move(AMonitor);
}

void TTervoxDevice::Changed() {
  if (auto monitor = Monitor()) monitor->Redraw();
  if (FOnChanged) FOnChanged(this);
}

bool TTervoxDevice::SaveStatusToDB() {
  // (DeviceID, ReadTime) is the key: two readings in the same instant (a
  // clock step back, a very fast line) must both be kept.
  double readTime = Now();
  if (readTime < FLastReadTime + kOneMillisecond) readTime = FLastReadTime + kOneMillisecond;
  FLastReadTime = readTime;

  TSQLiteParamList params;
  params.SetParamValues(":DeviceID", ID());
  params.SetParamValues(":ReadTime", TVariant::FromDateTime(readTime));
  params.SetParamValues(":Digit", Digit());
  params.SetParamValues(":PV", PV_Float());
  params.SetParamValues(":SV", SV_Float());
  params.SetParamValues(":OUT1", Out1_Float());
  params.SetParamValues(":OUT2", Out2_Float());
  params.SetParamValues(":EV1", GetFloatDigit(EV1(), 1));
  params.SetParamValues(":EV2", GetFloatDigit(EV2(), 1));
  params.SetParamValues(":EV3", GetFloatDigit(EV3(), 1));
  params.SetParamValues(":IsEV1", IsEV1());
  params.SetParamValues(":IsEV2", IsEV2());
  params.SetParamValues(":IsEV3", IsEV3());
  try {
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DeviceData VALUES(\r\n"
                                          ":DeviceID, :ReadTime, :Digit, :PV, :SV, :OUT1, :OUT2,\r\n"
                                          " :EV1, :EV2, :EV3, :IsEV1, :IsEV2, :IsEV3)"),
                           &params);
  } catch (const EDqException& e) {
    // The operator must see that history is being lost, not only stderr.
    // SQLite's own words, without the statement.
    const QString message = e.Message();
    const qsizetype reason = message.lastIndexOf(QStringLiteral("\": "));
    ReportDatabaseProblem(QStringLiteral("Readings cannot be stored: %1")
                              .arg(reason >= 0 ? message.mid(reason + 3) : message.section(QLatin1Char('\r'), 0, 0)));
    return false;
  } catch (const std::exception& e) {
    ReportDatabaseProblem(QStringLiteral("Readings cannot be stored: %1").arg(QString::fromLocal8Bit(e.what())));
    return false;
  }
  ReportDatabaseProblem(QString());
  return true;
}


std::shared_ptr<TDqComPort> TTervoxDevice::SharedPort() const {
  std::lock_guard<std::mutex> guard(FPortMutex);
  return FPort;
}

void TTervoxDevice::SetPort(std::shared_ptr<TDqComPort> APort) {
  std::lock_guard<std::mutex> guard(FPortMutex);
  FPort = std::move(APort);
}

bool TTervoxDevice::UpdatePort() {
  TDqComPortList* ports = PortList();
  if (!ports) return false;
  std::shared_ptr<TDqComPort> port = ports->SharedPortByID(DeviceData().DevicePortID);
  const bool found = port != nullptr;
  SetPort(std::move(port));
  return found;
}

bool TTervoxDevice::ActivatePort() {
  bool open = false;
  if (UpdatePort()) {
    const std::shared_ptr<TDqComPort> port = SharedPort();
    open = port->Active() || port->Reopen();
  }
  FSynchronized = open;
  return open;
}

bool TTervoxDevice::Active() const {
  const std::shared_ptr<TDqComPort> port = SharedPort();
  return port && port->Active();
}

void TTervoxDevice::SetActive(bool AValue) {
  const std::shared_ptr<TDqComPort> port = SharedPort();
  if (!port) return;
  if (AValue && !port->Active())
    port->Open();
  else if (!AValue && port->Active())
    port->Close();
}

std::unique_ptr<TDqEventData> TTervoxDevice::NewRequest(const QString& AName, void (TTervoxDevice::*AHandler)(),
                                                        TTervoxSyncNotify ACallback) {
  // The request holds the device: clearing the list never frees a device
  // that a queued or running request still uses.
  std::shared_ptr<TTervoxDevice> self = shared_from_this();
  auto request = std::make_unique<TDqEventData>(
      AName, [self, AHandler](TDqEventData*) { ((*self).*AHandler)(); }, this);
  request->SenderName = DeviceName();
  if (ACallback) request->SetOnSyncExecuted(std::move(ACallback));
  return request;
}

void TTervoxDevice::SchedulePolling() {
  if (TDqEventThread* worker = Worker()) worker->RemoveEvent(this);
  auto request = NewRequest(QStringLiteral("ReadStatus"), &TTervoxDevice::DoReadStatus, {});
  std::weak_ptr<TTervoxDevice> weak = weak_from_this();
  request->SetOnSyncExecuted([weak] {
    if (auto device = weak.lock()) device->StatusNotification();
  });
  request->Interval = kPollInterval;
  request->Forever = true;
  // Once a second, whatever a silent neighbour on the worker costs: its
  // time-outs must not cost the others their readings.
  request->KeepRhythm = true;
  Worker()->AddTimerEvent(std::move(request));
}

void TTervoxDevice::ReadStatus(TTervoxSyncNotify ACallback) {
  Worker()->AddEvent(NewRequest(QStringLiteral("ReadStatus"), &TTervoxDevice::DoReadStatus, std::move(ACallback)));
}

void TTervoxDevice::ReadInformation(TTervoxSyncNotify ACallback) {
  Worker()->AddPrivilegeEvent(
      NewRequest(QStringLiteral("ReadInfo"), &TTervoxDevice::DoReadInformation, std::move(ACallback)));
}

void TTervoxDevice::StatusNotification() {
  if (auto monitor = Monitor()) monitor->Redraw();
  if (FOnChanged) FOnChanged(this);
  // A copy: the handler may replace itself.
  if (const std::function<void()> handler = FOnReadProgram) handler();
}

void TTervoxDevice::SetOnReadProgram(std::function<void()> AHandler) {
  FOnReadProgram = std::move(AHandler);
  FHasReadProgram = static_cast<bool>(FOnReadProgram);
}

void TTervoxDevice::DoReadInformation() {
  TTervoxDeviceLock guard(*this);
  if (!ActivatePort()) return;
  // Held for the whole request: the port list may be cleared meanwhile.
  const std::shared_ptr<TDqComPort> port = SharedPort();
  TModbusData modbus(port.get());
  const std::uint8_t slave = static_cast<std::uint8_t>(DeviceData().SlaveID & 0xFF);
  TTervoxModelType type;
  {
    // Cleared before the read; the model code changes only when one arrives.
    std::lock_guard<std::mutex> data(FDataMutex);
    FModelType.Clear();
  }
  std::vector<std::uint16_t> registers;
  if (modbus.ReadHoldRegArray(registers, slave, 64, 10)) {
    // The characters as received: each register's high byte, then its low.
    const QByteArray text = modbus.DataText;
    for (int i = 0; i < 20 && i < text.size(); ++i) type.Data[static_cast<std::size_t>(i)] = text.at(i);
    const QString stored = DeviceData().Model;
    SetModelType(type);
    StoreModelCode(ID(), stored, ModelCode());
  }
  if (modbus.ReadHoldRegArray(registers, slave, 1799, 3)) {
    FDigit = SignedRegister(RegisterOf(registers, 0));
    FInputLowerLimit = SignedRegister(RegisterOf(registers, 1));
    FInputUpperLimit = SignedRegister(RegisterOf(registers, 2));
    FInfoReaded = FSynchronized.load();
  }
}

void TTervoxDevice::DoReadStatus() {
  if (!Enabled() || PollingStopping()) return;
  if (TTervoxRemoteStation* remote = RemoteStation()) {
    // The recorder reads, records and publishes it.
    remote->RequestStatus(ID());
    return;
  }
  if (!FInfoReaded) DoReadInformation();
  {
    TTervoxDeviceLock guard(*this);
    ActivatePort();
    const std::shared_ptr<TDqComPort> port = SharedPort();
    if (!port) return; // no port configured: no row, no watch
    if (port->Active())
      ReadStatusRegisters(*port);
    else
      ClearStatus(); // the line is gone: no value, never the last one again
    // A stop that began during the read left it incomplete: nothing to record.
    if (PollingStopping()) return;
    // Alarms and loss alerts matter most when the disk is full or the
    // database locked: they do not depend on the row being stored.
    SaveStatusToDB();
    PostProcessStatus();
    NotifyStatusRead(*this);
  }
  // A program page is open: its live state comes with every poll.
  if (FHasReadProgram) DoReadProgramStatus(*this);
}

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

// ---------------------------------------------------------------- writes

void TTervoxDevice::WriteReg(int AAddress, int AValue, std::function<void()> AOnExecuted, TTervoxSyncNotify ACallback) {
  std::shared_ptr<TTervoxDevice> self = shared_from_this();
  const QString name = QStringLiteral("WriteRegAddress") + QStringLiteral("%1").arg(AAddress, 4, 16, QLatin1Char('0')).toUpper();
  auto request = std::make_unique<TDqEventData>(
      name,
      [self, AAddress, AValue, name](TDqEventData*) {
        TTervoxDeviceLock guard(*self);
        if (!self->ActivatePort()) return;
        const std::shared_ptr<TDqComPort> port = self->SharedPort();
        TTervoxPortLock portGuard(*port, name);
        TModbusData modbus(port.get());
        modbus.WriteHoldReg(static_cast<std::uint8_t>(self->DeviceData().SlaveID & 0xFF),
                            static_cast<std::uint16_t>(AAddress), static_cast<std::uint16_t>(AValue));
      },
      this);
  request->SenderName = DeviceName();
  request->Value = TVariant(QStringLiteral("[%1, %2]").arg(AAddress).arg(AValue));
  if (AOnExecuted) request->SetOnExecuted([AOnExecuted](TDqEventData*) { AOnExecuted(); });
  if (ACallback) request->SetOnSyncExecuted(std::move(ACallback));
  Worker()->AddPrivilegeEvent(std::move(request));
}

void TTervoxDevice::ControlWrite(int AAddress, int AValue) {
  std::weak_ptr<TTervoxDevice> weak = weak_from_this();
  WriteReg(
      AAddress, AValue,
      [weak] {
        if (auto device = weak.lock()) device->DoReadStatus();
      },
      [weak] {
        if (auto device = weak.lock()) device->StatusNotification();
      });
}

void TTervoxDevice::Toggle(const QString& AName, int AReadAddress, int ABit, int AWriteAddress) {
  std::shared_ptr<TTervoxDevice> self = shared_from_this();
  auto request = std::make_unique<TDqEventData>(
      AName,
      [self, AName, AReadAddress, ABit, AWriteAddress](TDqEventData*) {
        TTervoxDeviceLock guard(*self);
        if (!self->ActivatePort()) return;
        const std::shared_ptr<TDqComPort> port = self->SharedPort();
        TTervoxPortLock portGuard(*port, AName);
        TModbusData modbus(port.get());
        const std::uint8_t slave = static_cast<std::uint8_t>(self->DeviceData().SlaveID & 0xFF);
        std::vector<std::uint16_t> r;
        if (!modbus.ReadHoldRegArray(r, slave, static_cast<std::uint16_t>(AReadAddress), 1)) return;
        const std::uint16_t state = RegisterOf(r, 0);
        const bool set = ABit < 0 ? state != 0 : (state & (1u << ABit)) != 0;
        modbus.WriteHoldReg(slave, static_cast<std::uint16_t>(AWriteAddress), set ? 0 : 1);
      },
      this);
  request->SenderName = DeviceName();
  Worker()->AddEvent(std::move(request));
}

void TTervoxDevice::ToggleAT() { Toggle(QStringLiteral("ToggleAT"), 260, 0, 388); }
void TTervoxDevice::ToggleManual() { Toggle(QStringLiteral("ToggleManual"), 260, 1, 389); }
void TTervoxDevice::ToggleRun() { Toggle(QStringLiteral("ToggleRun"), 260, 2, 390); }
void TTervoxDevice::TogglePrg() { Toggle(QStringLiteral("TogglePrg"), 2048, -1, 2048); }

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
