#include "Tervox_Device.h"

#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "Tervox_DeviceCommon.h"
#include "Tervox_DeviceSettings.h"
#include "Tervox_Engine.h"

#include <QLocale>

#include <cmath>

using namespace tervox_device;

int tervox_device::NearestInt(double AValue) {
  const double rounded = std::nearbyint(AValue); // ties to even
  if (rounded >= 2147483647.0) return 2147483647;
  if (rounded <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(rounded);
}

namespace {

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

double TTervoxDevice::OutFloat(int ARaw) {
  if (ARaw > 32766 || ARaw < -32767) return ARaw;
  return ARaw / 10.0;
}

int TTervoxDevice::OutRaw(double AValue) {
  if (AValue == kNoValue || AValue == kBelowRange) return static_cast<int>(AValue);
  return NearestInt(AValue * 10.0);
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
