// One configured temperature controller: its stored configuration, the
// identification it reports, its live register image and the conversions
// between raw registers and engineering values; the controller list and the
// value types.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TDqComPort;
class TDqComPortList;
class TDqFrameTransport;
class TDqEventData;
class TDqEventThread;
class TDqSMS;
class TSQLiteDatabase;
class TSQLiteTable;
class TTervoxDevice;
class TTervoxDeviceSettings;
struct TTervoxStatusImage;

// Register values meaning "no value" (also "leave unchanged" in writes) and
// "below range".
constexpr int kNoValue = 32767;
constexpr int kBelowRange = -32768;

// Register AIndex of a block read, or 32767 when the reply was shorter.
std::uint16_t RegisterOf(const std::vector<std::uint16_t>& AArray, std::size_t AIndex);
// A register as the signed 16-bit value it carries.
inline int SignedRegister(std::uint16_t AValue) { return static_cast<std::int16_t>(AValue); }

double GetFloatDigit(int AValue, int ADigit);
int GetIntDigit(double AValue, int ADigit);

// One row of the Device table.
class TTervoxDeviceData {
public:
  int ID = -1;
  QString Name;
  int DevicePortID = -1;
  int SlaveID = -1; // column Address; its low 8 bits are the slave address
  QString Model;
  QString Description;
  QString Dimension;
  QString Power;
  bool Enabled = false;

  void Assign(const TTervoxDeviceData& ASource) { *this = ASource; }
  void LoadFromDB(TSQLiteTable& ATable);
  void InsertToDB(TSQLiteDatabase& ADB) const;
  void UpdateDB(TSQLiteDatabase& ADB) const;
};

// The 20 identification characters of registers 64-73.
struct TTervoxModelType {
  std::array<char, 20> Data{};

  QString Name() const { return Text(0, 3); }
  char Model() const { return Data[3]; }
  char Dimension() const { return Data[4]; }
  char InputSpec() const { return Data[6]; }
  char OutputSpec() const { return Data[7]; }
  QString VersionHi() const { return Text(8, 2); }
  QString VersionLo() const { return Text(10, 2); }
  char EV() const { return Data[12]; }
  char OUT2() const { return Data[13]; }
  char DI() const { return Data[14]; }
  char CT() const { return Data[15]; }
  char Analog() const { return Data[16]; }
  char Comm() const { return Data[17]; }
  char PRG() const { return Data[18]; }
  char PRG0() const { return Data[19]; }
  void Clear() { Data.fill(0); }
  // The characters from AFirst, up to ACount of them, ending at a zero byte.
  QString Text(int AFirst, int ACount) const;
};

// What the engine asks of the monitor panel that shows a device. The panel
// side makes each call take effect on the user-interface thread.
class TTervoxMonitorLink {
public:
  virtual ~TTervoxMonitorLink() = default;
  virtual void Redraw() = 0;       // the register image changed
  virtual void ResetTimer() = 0;   // RUN/STOP changed: restart the lamps
  virtual void RestoreTimer() = 0; // RUN indication settled
  virtual void ShowSync() = 0;     // a status read finished
};

// Parameterless completion callback of a request, run on the UI thread.
using TTervoxSyncNotify = std::function<void()>;

class TTervoxDevice : public std::enable_shared_from_this<TTervoxDevice> {
public:
  TTervoxDevice();
  ~TTervoxDevice();
  TTervoxDevice(const TTervoxDevice&) = delete;
  TTervoxDevice& operator=(const TTervoxDevice&) = delete;

  // ----- stored configuration (guarded: the editor writes, the worker reads)
  TTervoxDeviceData DeviceData() const;
  void SetDeviceData(const TTervoxDeviceData& AData);
  int ID() const;
  QString DeviceName() const;
  bool Enabled() const;
  void SetEnabled(bool AValue);
  QString ModelDimension() const;
  void SetModelDimension(const QString& AValue);
  QString ModelPower() const;
  void SetModelPower(const QString& AValue);
  void LoadFromDB(TSQLiteTable& ATable);

  // ----- identification and what follows from it
  TTervoxModelType ModelType() const;
  void SetModelType(const TTervoxModelType& AValue);
  bool InfoReaded() const { return FInfoReaded; }
  void SetInfoReaded(bool AValue) { FInfoReaded = AValue; }
  char InputSpec() const { return ModelType().InputSpec(); }
  char OutputSpec() const { return ModelType().OutputSpec(); }
  QString VersionString() const;
  double Version() const;
  QString ModelName() const;
  QString ModelCode() const;
  bool HaveEV() const;
  bool HaveOUT2() const;
  bool HaveDI() const;
  bool HaveCT() const;
  bool HaveAnalog() const;
  bool HavePrg() const;
  QString InfomationText() const;

  // ----- live register image (written by the worker, read anywhere)
  int PV() const { return FPV; }
  void SetPV(int AValue) { FPV = AValue; }
  int SV() const { return FSV; }
  void SetSV(int AValue) { FSV = AValue; }
  int Out1() const { return FOut1; }
  void SetOut1(int AValue) { FOut1 = AValue; }
  int Out2() const { return FOut2; }
  void SetOut2(int AValue) { FOut2 = AValue; }
  int EV1() const { return FEV1; }
  void SetEV1(int AValue) { FEV1 = AValue; }
  int EV2() const { return FEV2; }
  void SetEV2(int AValue) { FEV2 = AValue; }
  int EV3() const { return FEV3; }
  void SetEV3(int AValue) { FEV3 = AValue; }
  int Digit() const { return FDigit; }
  void SetDigit(int AValue) { FDigit = AValue; }
  int InputLowerLimit() const { return FInputLowerLimit; }
  void SetInputLowerLimit(int AValue) { FInputLowerLimit = AValue; }
  int InputUpperLimit() const { return FInputUpperLimit; }
  void SetInputUpperLimit(int AValue) { FInputUpperLimit = AValue; }
  int PeriodicTimeOut1() const { return FPeriodicTimeOut1; }
  void SetPeriodicTimeOut1(int AValue) { FPeriodicTimeOut1 = AValue; }
  int PeriodicTimeOut2() const { return FPeriodicTimeOut2; }
  void SetPeriodicTimeOut2(int AValue) { FPeriodicTimeOut2 = AValue; }
  int OpMode1() const { return FOpMode1; }
  int OpMode2() const { return FOpMode2; }
  int OpMode3() const { return FOpMode3; }
  void SetOpMode(int AIndex, int AValue);
  double CT1value() const { return FCT1; }
  void SetCT1value(double AValue) { FCT1 = AValue; }
  double CT2value() const { return FCT2; }
  void SetCT2value(double AValue) { FCT2 = AValue; }

  double GetFloatValue(int AValue) const { return GetFloatDigit(AValue, FDigit); }
  int GetIntValue(double AValue) const { return GetIntDigit(AValue, FDigit); }
  double PV_Float() const { return GetFloatValue(FPV); }
  void SetPV_Float(double AValue) { FPV = GetIntValue(AValue); }
  double SV_Float() const { return GetFloatValue(FSV); }
  void SetSV_Float(double AValue) { FSV = GetIntValue(AValue); }
  double EV1Float() const { return GetFloatValue(FEV1); }
  double EV2Float() const { return GetFloatValue(FEV2); }
  double EV3Float() const { return GetFloatValue(FEV3); }
  double InputLowerLimit_Float() const { return GetFloatValue(FInputLowerLimit); }
  double InputUpperLimit_Float() const { return GetFloatValue(FInputUpperLimit); }
  double Out1_Float() const { return OutFloat(FOut1); }
  void SetOut1_Float(double AValue) { FOut1 = OutRaw(AValue); }
  double Out2_Float() const { return OutFloat(FOut2); }
  void SetOut2_Float(double AValue) { FOut2 = OutRaw(AValue); }
  static double OutFloat(int ARaw);
  static int OutRaw(double AValue);

  // ----- status flags
  bool Synchronized() const { return FSynchronized; }
  void SetSynchronized(bool AValue) { FSynchronized = AValue; }
  bool StatusReady() const { return FStatusReady; }
  void SetStatusReady(bool AValue) { FStatusReady = AValue; }
  bool IsRun() const { return FIsRun; }
  bool IsManual() const { return FIsManual; }
  bool IsPrg() const { return FIsPrg; }
  bool IsAT() const { return FIsAT; }
  bool IsHold() const { return FIsHold; }
  bool IsSkip() const { return FIsSkip; }
  bool IsPrgRun() const { return FIsPrgRun; }
  bool IsEV1() const { return FIsEV1; }
  void SetIsEV1(bool AValue) { FIsEV1 = AValue; }
  bool IsEV2() const { return FIsEV2; }
  void SetIsEV2(bool AValue) { FIsEV2 = AValue; }
  bool IsEV3() const { return FIsEV3; }
  void SetIsEV3(bool AValue) { FIsEV3 = AValue; }
  // Operation and program bits as read from registers 260 and 288.
  void SetOperationBits(int ABits);
  void SetProgramBits(int ABits);
  void SetEventBits(int ABits);
  // Program mode as read from register 2048.
  void SetProgramMode(bool AValue) { FIsPrg = AValue; }

  // RUN/STOP change window: true while set, and for 2000 ms after the change.
  bool RunChanged() const;
  void SetRunChanged(bool AValue);
  double RunChangeTime() const { return FRunChangeTime; }

  int Alarming(int AIndex) const;
  void SetAlarming(int AIndex, int AValue);
  int Alarming1() const { return Alarming(0); }
  int Alarming2() const { return Alarming(1); }
  int Alarming3() const { return Alarming(2); }

  // ----- bus access: one holder at a time, never waiting
  void Lock();
  void Unlock();
  int LockCount() const { return FLockCount; }

  TDqComPort* Port() const { return SharedPort().get(); }
  std::shared_ptr<TDqComPort> SharedPort() const;
  void SetPort(std::shared_ptr<TDqComPort> APort);

  // ----- settings data sets, the latest of each kind read (Tervox_DeviceRequests)
  TTervoxDeviceSettings& Settings() const { return *FSettings; }
  // When the event settings were last written (starts their re-evaluation).
  void SetMode5Time(double AValue) { FMode5Time = AValue; }

  // ----- notifications
  std::shared_ptr<TTervoxMonitorLink> Monitor() const;
  void SetMonitor(std::shared_ptr<TTervoxMonitorLink> AMonitor);
  using TNotifyEvent = std::function<void(TTervoxDevice*)>;
  void SetOnChanged(TNotifyEvent AHandler) { FOnChanged = std::move(AHandler); }
  const TNotifyEvent& OnChanged() const { return FOnChanged; }
  // Asks the panel to redraw and tells the owner (user-interface thread).
  void Changed();
  // While set, every status poll also reads the program status and then
  // calls it (user-interface thread); empty: no program reads.
  void SetOnReadProgram(std::function<void()> AHandler);
  bool HasOnReadProgram() const { return FHasReadProgram; }

  // ----- the status read as one image (a recorder's windows show it)
  TTervoxStatusImage StatusImage() const;
  // Takes a recorder's status read as if read here: the values, and the
  // panel's lamps as after a read of its own. The caller notifies.
  void ApplyStatusImage(const TTervoxStatusImage& AImage);

  // ----- recording
  // One history row of the current register image, stamped now; false
  // when it could not be stored (reported, never thrown: the alarms of
  // the same reading must still run).
  bool SaveStatusToDB();

  // ----- polling (class-wide: PortList, DeviceList, the line workers)
  static void InitialPort();
  // Loads ports and controllers and schedules every periodic status read.
  static void StartThread();
  // Withdraws every request, waits for the worker (a running request ends
  // at its next transaction), frees ports and devices. False when the
  // worker is still busy: the caller must not close what it may use.
  static bool StopThread();
  static void UpdateDevices();
  // The worker of this controller's line; nullptr once the engine is freed.
  TDqEventThread* Worker() const;

  bool UpdatePort();
  bool ActivatePort();
  bool Active() const;
  void SetActive(bool AValue);
  // One-shot requests; ACallback runs on the UI thread afterwards.
  void ReadStatus(TTervoxSyncNotify ACallback);
  void ReadInformation(TTervoxSyncNotify ACallback);
  // Schedules the periodic "ReadStatus" of this device.
  void SchedulePolling();

  // ----- writes to the controller
  // Writes one register on the worker (privilege "WriteRegAddress%04X").
  // AOnExecuted runs on the worker right after the write, ACallback on the
  // UI thread.
  void WriteReg(int AAddress, int AValue, std::function<void()> AOnExecuted, TTervoxSyncNotify ACallback);
  // Control writes: the register, then a status read so the panel shows
  // the result at once.
  void SetIsRun(bool AValue) { ControlWrite(390, AValue ? 0 : 1); }
  void SetIsAT(bool AValue) { ControlWrite(388, AValue ? 1 : 0); }
  void SetIsManual(bool AValue) { ControlWrite(389, AValue ? 1 : 0); }
  void SetIsPrg(bool AValue) { ControlWrite(2048, AValue ? 1 : 0); }
  void SetIsHold(bool AValue) { ControlWrite(401, AValue ? 1 : 0); }
  void SetIsSkip(bool AValue) { ControlWrite(402, AValue ? 1 : 0); }
  // Releases the latch of event AIndex (1-3), or of all (4).
  void EVLatchingRelease(int AIndex) { ControlWrite(408, AIndex); }
  // Toggles (normal queue): read the state from the controller, write the
  // opposite, holding the port across both.
  void ToggleAT();
  void ToggleManual();
  void ToggleRun();
  void TogglePrg();

  // ----- alarms and alert messages
  // The modem of SMS alerting, on the port and provider of the settings.
  static void OpenSMS();
  static void CloseSMS();
  // The numbers of every device group holding this device, ";"-joined.
  QString AlarmRecipients() const;
  // The alarm text of event AIndex (0-2) under operation mode AMode; empty
  // for modes that raise no alarm.
  QString AlarmText(int AMode, int AIndex) const;

  // The handlers, run on the worker.
  void DoReadStatus();
  void DoReadInformation();
  // The periodic request's completion: panel, owner (UI thread).
  void StatusNotification();

private:
  void ReadStatusRegisters(TDqComPort& APort);
  // The register image of a controller that did not answer.
  void ClearStatus();
  void PostProcessStatus();
  // The panel's RUN lamps after a status read: restart on a change, settle
  // two seconds later; then the sync lamp.
  void FollowRunLamps();
  // Event-output and connection watch after a status read; the alarm and
  // alert rules hook in here.
  void HandleEventChange(int AIndex);
  void HandleConnection();
  void AlarmRule(int AMode, int AIndex);
  void ControlWrite(int AAddress, int AValue);
  // Reads AReadAddress and writes the toggled state to AWriteAddress.
  void Toggle(const QString& AName, int AReadAddress, int ABit, int AWriteAddress);
  std::unique_ptr<TDqEventData> NewRequest(const QString& AName, void (TTervoxDevice::*AHandler)(),
                                           TTervoxSyncNotify ACallback);

  mutable std::mutex FDataMutex; // FDeviceData and FModelType
  TTervoxDeviceData FDeviceData;
  TTervoxModelType FModelType;

  std::mutex FLock;
  std::atomic<int> FLockCount{0};
  mutable std::mutex FPortMutex;
  std::shared_ptr<TDqComPort> FPort; // shared with the port list

  std::atomic<int> FPV{kNoValue}, FSV{kNoValue}, FOut1{kNoValue}, FOut2{kNoValue};
  std::atomic<int> FDigit{0};
  std::atomic<int> FInputLowerLimit{0}, FInputUpperLimit{0};
  std::atomic<double> FCT1{0.0}, FCT2{0.0};
  std::atomic<int> FPeriodicTimeOut1{0}, FPeriodicTimeOut2{0};
  std::atomic<int> FEV1{kNoValue}, FEV2{kNoValue}, FEV3{kNoValue};
  std::atomic<int> FOpMode1{0}, FOpMode2{0}, FOpMode3{0};

  std::atomic<bool> FSynchronized{false}, FInfoReaded{false};
  std::atomic<bool> FIsRun{false}, FIsManual{false}, FIsPrg{false}, FIsAT{false};
  std::atomic<bool> FIsEV1{false}, FIsEV2{false}, FIsEV3{false};
  std::atomic<bool> FIsHold{false}, FIsSkip{false}, FIsPrgRun{false}, FStatusReady{false};

  // Values at the end of the previous status read (worker only).
  bool FOldIsEV1 = false, FOldIsEV2 = false, FOldIsEV3 = false, FOldSynchronized = false, FOldRun = true;
  double FEV1LastTime = 0, FEV2LastTime = 0, FEV3LastTime = 0;
  double FMode5Time = 0; // 0: never set
  double FLastReadTime = 0; // ReadTime of the last history row
  double FLossSMSTime = 0;  // this controller's last loss message (set at creation)
  std::atomic<bool> FRunChanged{true};
  std::atomic<double> FRunChangeTime{0.0};
  std::array<std::atomic<int>, 3> FAlarming{};

  mutable std::mutex FMonitorMutex;
  std::shared_ptr<TTervoxMonitorLink> FMonitor;
  TNotifyEvent FOnChanged;
  std::function<void()> FOnReadProgram; // user-interface thread only
  std::atomic<bool> FHasReadProgram{false};
  std::unique_ptr<TTervoxDeviceSettings> FSettings;
};

// Holds a device's bus lock for one request handler, however it ends.
class TTervoxDeviceLock {
public:
  explicit TTervoxDeviceLock(TTervoxDevice& ADevice) : FDevice(ADevice) { FDevice.Lock(); }
  ~TTervoxDeviceLock() { FDevice.Unlock(); }
  TTervoxDeviceLock(const TTervoxDeviceLock&) = delete;
  TTervoxDeviceLock& operator=(const TTervoxDeviceLock&) = delete;

private:
  TTervoxDevice& FDevice;
};

// Holds a port across a request and its reply. On a line carried from a
// recorder, the recorder keeps the line for request ARequest meanwhile.
class TTervoxPortLock {
public:
  explicit TTervoxPortLock(TDqComPort& APort, const QString& ARequest = QString());
  ~TTervoxPortLock();
  TTervoxPortLock(const TTervoxPortLock&) = delete;
  TTervoxPortLock& operator=(const TTervoxPortLock&) = delete;

private:
  TDqComPort& FPort;
  std::shared_ptr<TDqFrameTransport> FTransport;
};
