#include "Tervox_Mqtt.h"

#include "Engine/DqRoutine.h"
#include "Engine/DqSQLite.h"
#include "domain/Main_Database.h"
#include "domain/Tervox_Config.h"
#include "domain/Tervox_Device.h"

#include <QDateTime>
#include <QSysInfo>

#include <mosquitto.h>
#include <sqlite3.h>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kKeepAlive = 15; // s: a silent broker is noticed within about 20 s
constexpr milliseconds kConnectTimeOut{10000};
constexpr milliseconds kRetryFirst{1000};
constexpr milliseconds kRetryMax{10000};
// Readings per second sent from history: an hour of 32 controllers in
// about 25 s, while the broker and the line stay far from busy.
constexpr int kReplayRate = 5000;
// Readings handed to the client and not yet acknowledged, at most: bounds
// the memory a slow broker can make us hold.
constexpr int kWindow = 2000;
constexpr int kBatch = 500; // rows per history query: short read transactions
constexpr std::size_t kMaxAlarms = 10000;
constexpr milliseconds kMarkSaveInterval{1000};
constexpr milliseconds kBacklogInterval{5000};
// Every controller's history is looked at this often even when the table
// seems unchanged (rows deleted at its end give new rows old row IDs).
constexpr milliseconds kSweepInterval{5000};
constexpr std::int64_t kBacklogCap = 10000000;

const QString kMarkName = QStringLiteral("MQTTPublishedUpTo");
constexpr double kMissing = kNoValue;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

QByteArray ClientId(const TTervoxMqttSettings& ASettings) { return "tervox:" + ASettings.Topic.toUtf8(); }

// ---------------------------------------------------------------- status

std::mutex gStatusMutex;
TTervoxMqttStatus gStatus;
TMqttStatusNotifier gNotifier;

bool operator==(const TTervoxMqttStatus& A, const TTervoxMqttStatus& B) {
  return A.State == B.State && A.Backlog == B.Backlog && A.LastError == B.LastError;
}

void SetStatus(const TTervoxMqttStatus& AStatus) {
  std::lock_guard<std::mutex> guard(gStatusMutex);
  if (gStatus == AStatus) return;
  gStatus = AStatus;
  if (gNotifier) gNotifier(AStatus);
}

// ---------------------------------------------------------------- alarms

struct TAlarm {
  QString Level; // the controller's topic level
  QString Event;
  QString Text;
  double Time = 0;
};

// Filled by the line workers, emptied by the publisher; held only to push
// or to swap, so a worker never waits behind the broker.
std::mutex gAlarmMutex;
std::deque<TAlarm> gAlarms;
std::atomic<bool> gAlarmsOpen{false};

void OpenAlarms(bool AOpen) {
  std::lock_guard<std::mutex> guard(gAlarmMutex);
  gAlarmsOpen = AOpen;
  gAlarms.clear();
}

void QueueAlarm(TAlarm AAlarm) {
  std::lock_guard<std::mutex> guard(gAlarmMutex);
  if (!gAlarmsOpen) return;
  if (gAlarms.size() >= kMaxAlarms) gAlarms.pop_front(); // a broker away for days: the newest count most
  gAlarms.push_back(std::move(AAlarm));
}

// ---------------------------------------------------------------- texts

void AppendJsonString(QByteArray& AOut, const QString& AText) {
  AOut += '"';
  for (const char c : AText.toUtf8()) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      AOut += '\\';
      AOut += c;
    } else if (byte < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      AOut += "\\u00";
      AOut += kHex[byte >> 4];
      AOut += kHex[byte & 15];
    } else {
      AOut += c;
    }
  }
  AOut += '"';
}

void AppendJsonNumber(QByteArray& AOut, double AValue, int ADecimals) {
  if (AValue == kMissing || !std::isfinite(AValue))
    AOut += "null";
  else
    AOut += QByteArray::number(AValue, 'f', std::clamp(ADecimals, 0, 6));
}

// The words of a failed connection, the same for the status bar and the
// "Test connection" button.
QString FailureText(int ACode, int AConnack, int AErrno, const QString& ATls, bool ATimedOut,
                    const TTervoxMqttSettings& ASettings) {
  const QString where = QStringLiteral("%1:%2").arg(ASettings.Host).arg(ASettings.Port);
  if (AConnack == 4 || AConnack == 5) return QStringLiteral("refused: bad user name or password");
  if (AConnack > 0) return QStringLiteral("refused by the broker: %1").arg(QString::fromUtf8(mosquitto_connack_string(AConnack)));
  if (!ATls.isEmpty()) return QStringLiteral("TLS error: %1").arg(ATls);
  if (ACode == MOSQ_ERR_TLS || ACode == MOSQ_ERR_TLS_HANDSHAKE)
    return QStringLiteral("TLS error: %1").arg(QString::fromUtf8(mosquitto_strerror(ACode)));
  if (ATimedOut) return QStringLiteral("host unreachable: no answer from %1").arg(where);
  if (ACode == MOSQ_ERR_EAI || ACode == MOSQ_ERR_LOOKUP)
    return QStringLiteral("host unreachable: no host named %1").arg(ASettings.Host);
  if (ACode == MOSQ_ERR_ERRNO) {
    if (AErrno == ECONNREFUSED) return QStringLiteral("host unreachable: nothing accepts connections at %1").arg(where);
    return QStringLiteral("host unreachable: %1 (%2)").arg(QString::fromLocal8Bit(std::strerror(AErrno)), where);
  }
  if (ACode == MOSQ_ERR_CONN_LOST || ACode == MOSQ_ERR_NO_CONN || ACode == MOSQ_ERR_KEEPALIVE)
    return QStringLiteral("connection to %1 lost").arg(where);
  return QString::fromUtf8(mosquitto_strerror(ACode));
}

// The last OpenSSL complaint of a log line, without its codes.
QString TlsComplaint(const char* ALine) {
  const QString line = QString::fromUtf8(ALine);
  if (!line.contains(QLatin1String("OpenSSL"))) return QString();
  const qsizetype colon = line.lastIndexOf(QLatin1Char(':'));
  return (colon >= 0 ? line.mid(colon + 1) : line).trimmed();
}

// A client with the settings' credentials and TLS; nullptr and AError
// when the certificate files cannot be used.
mosquitto* NewClient(const TTervoxMqttSettings& ASettings, const QByteArray& AClientId, void* AObject,
                     const QByteArray& AWillTopic, QString& AError) {
  InitLibrary();
  mosquitto* client = mosquitto_new(AClientId.constData(), true, AObject);
  if (!client) {
    AError = QStringLiteral("the MQTT client cannot be created");
    return nullptr;
  }
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // Our own window bounds what is unacknowledged.
  mosquitto_max_inflight_messages_set(client, 0);
  if (!ASettings.User.isEmpty()) {
    const QByteArray user = ASettings.User.toUtf8();
    const QByteArray password = ASettings.Password.toUtf8();
    mosquitto_username_pw_set(client, user.constData(), ASettings.Password.isEmpty() ? nullptr : password.constData());
  }
  if (ASettings.TLS) {
    const QByteArray ca = ASettings.CAFile.toLocal8Bit();
    const QByteArray cert = ASettings.CertFile.toLocal8Bit();
    const QByteArray key = ASettings.KeyFile.toLocal8Bit();
    const int rc = mosquitto_tls_set(client, ca.isEmpty() ? nullptr : ca.constData(),
                                     ca.isEmpty() ? "/etc/ssl/certs" : nullptr, cert.isEmpty() ? nullptr : cert.constData(),
                                     key.isEmpty() ? nullptr : key.constData(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      AError = QStringLiteral("TLS error: the CA, certificate or key file cannot be read");
      mosquitto_destroy(client);
      return nullptr;
    }
  }
  if (!AWillTopic.isEmpty()) mosquitto_will_set(client, AWillTopic.constData(), 7, "offline", 1, true);
  return client;
}

// ---------------------------------------------------------------- history

// A prepared statement of the publisher's connection, reset after each use
// so that no read transaction outlives a query.
class TStatement {
public:
  TStatement(sqlite3* AHandle, const QString& ASQL) {
    if (sqlite3_prepare16_v2(AHandle, ASQL.utf16(), -1, &FStatement, nullptr) != SQLITE_OK)
      throw EDqException(QStringLiteral("History cannot be read: %1").arg(QString::fromUtf8(sqlite3_errmsg(AHandle))));
  }
  ~TStatement() { sqlite3_finalize(FStatement); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt* Get() const { return FStatement; }
  void Reset() {
    sqlite3_reset(FStatement);
    sqlite3_clear_bindings(FStatement);
  }
  // Steps to the next row; false at the end. Raises on errors (busy, I/O).
  bool Step() {
    const int rc = sqlite3_step(FStatement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const QString message = QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(FStatement)));
    Reset();
    throw EDqException(QStringLiteral("History cannot be read: %1").arg(message));
  }

private:
  sqlite3_stmt* FStatement = nullptr;
};

double ColumnValue(sqlite3_stmt* AStatement, int AColumn) {
  return sqlite3_column_type(AStatement, AColumn) == SQLITE_NULL ? kMissing : sqlite3_column_double(AStatement, AColumn);
}

// ---------------------------------------------------------------- publisher

class TPublisher {
public:
  TPublisher(const TTervoxMqttSettings& ASettings, const QString& ADatabaseFile)
      : FSettings(ASettings), FDatabaseFile(ADatabaseFile) {
    const QByteArray prefix = FSettings.Topic.toUtf8();
    FStatusTopic = prefix + "/status";
    FThread = std::thread([this] { Run(); });
  }
  ~TPublisher() {
    {
      std::lock_guard<std::mutex> guard(FWaitMutex);
      FStop = true;
    }
    FWait.notify_all();
    FThread.join();
  }
  TPublisher(const TPublisher&) = delete;
  TPublisher& operator=(const TPublisher&) = delete;

private:
  struct TInflight {
    int Mid = 0;
    double Time = 0;
    int Synced = -1;
    bool Acked = false;
  };
  struct TDevice {
    int ID = 0;
    QString Name;
    QString Level;
    QByteArray ReadingTopic, StateTopic, AlarmTopic;
    double Mark = 0;      // acknowledged up to this ReadTime (kept in Config)
    int SyncedAtMark = -1; // the reading at the mark answered: 1, 0; -1 none
    double Sent = 0;      // handed to the client up to this ReadTime
    int Synced = -1;
    bool CaughtUp = false;
    std::deque<TInflight> Inflight;
  };

  void Run();
  void Prepare();
  void Connect();
  void Failed(int ACode, bool ATimedOut = false);
  void Rewind();
  void Work();
  void PublishAlarms();
  bool PublishAlarm(const TAlarm& AAlarm);
  void PublishReadings();
  bool PublishReading(std::size_t AIndex, const TMqttReading& AReading);
  // The mid, or -1 when the client refused; *AAcked: acknowledged within
  // the call (QoS 0 is, as soon as it is written).
  int Send(const QByteArray& ATopic, const QByteArray& APayload, int AQoS, bool ARetain, bool* AAcked = nullptr);
  void Acknowledged(int AMid);
  void SaveMarks(bool ANow);
  void CloseDatabase();
  void UpdateStatus(bool ACount);
  void Shutdown();
  void Sleep(milliseconds ATime);
  std::size_t InflightCount() const;

  static void OnConnect(mosquitto*, void* AObject, int ARc) {
    auto* self = static_cast<TPublisher*>(AObject);
    self->FConnack = ARc;
    if (ARc != 0) return;
    self->FOnline = true;
    self->FConnecting = false;
    self->FConnectedAt = Now();
    self->FRetry = kRetryFirst;
    mosquitto_publish(self->FClient, nullptr, self->FStatusTopic.constData(), 6, "online", 1, true);
  }
  static void OnDisconnect(mosquitto*, void* AObject, int) { static_cast<TPublisher*>(AObject)->FOnline = false; }
  static void OnPublish(mosquitto*, void* AObject, int AMid) { static_cast<TPublisher*>(AObject)->Acknowledged(AMid); }
  static void OnLog(mosquitto*, void* AObject, int ALevel, const char* AText) {
    if (!(ALevel & MOSQ_LOG_ERR)) return;
    const QString complaint = TlsComplaint(AText);
    if (!complaint.isEmpty()) static_cast<TPublisher*>(AObject)->FTlsError = complaint;
  }

  const TTervoxMqttSettings FSettings;
  const QString FDatabaseFile;
  QByteArray FStatusTopic;
  std::thread FThread;
  std::mutex FWaitMutex;
  std::condition_variable FWait;
  bool FStop = false; // under FWaitMutex

  // Everything below belongs to the publisher's thread.
  std::unique_ptr<TSQLiteDatabase> FDatabase;
  std::unique_ptr<TStatement> FFetch, FLastRow, FCount, FMaxRow, FSaveMark;
  std::vector<TDevice> FDevices;
  std::unordered_map<int, std::size_t> FReadingMids; // mid -> device
  bool FInSend = false;
  int FEarlyAck = -1; // acknowledged before mosquitto_publish returned
  std::map<int, TAlarm> FAlarmMids;
  std::deque<TAlarm> FAlarms; // waiting for a connection

  mosquitto* FClient = nullptr;
  bool FOnline = false;
  bool FConnecting = false;
  int FConnack = -1;
  QString FTlsError;
  double FConnectedAt = 0;
  TClock::time_point FAttemptStart{};
  TClock::time_point FNextAttempt{};
  milliseconds FRetry = kRetryFirst;

  double FTokens = 0;
  TClock::time_point FLastRefill{};
  std::int64_t FLastMaxRow = -1;
  TClock::time_point FLastSweep{};
  std::size_t FNextDevice = 0;
  bool FMarksDirty = false;
  TClock::time_point FLastMarkSave{};
  TClock::time_point FLastCount{};
  milliseconds FBacklogInterval = kBacklogInterval;
  std::int64_t FBacklog = 0;
  TTervoxMqttStatus FStatus;
};

std::size_t TPublisher::InflightCount() const {
  std::size_t count = 0;
  for (const TDevice& device : FDevices) count += device.Inflight.size();
  return count;
}

void TPublisher::Sleep(milliseconds ATime) {
  std::unique_lock<std::mutex> lock(FWaitMutex);
  FWait.wait_for(lock, ATime, [this] { return FStop; });
}

void TPublisher::Run() {
  pthread_setname_np(pthread_self(), "tervox-mqtt");
  // A busy backlog yields the processor to the line workers and the window.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
  FStatus.State = TMqttState::Connecting;
  SetStatus(FStatus);
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(FWaitMutex);
      if (FStop) break;
    }
    try {
      if (!FDatabase) Prepare();
    } catch (const EDqException& e) {
      CloseDatabase();
      FStatus.State = TMqttState::Offline;
      FStatus.LastError = e.Message();
      SetStatus(FStatus);
      Sleep(kRetryMax);
      continue;
    }
    if (!FClient) {
      if (TClock::now() >= FNextAttempt)
        Connect();
      else
        Sleep(std::min<milliseconds>(milliseconds(100), std::chrono::duration_cast<milliseconds>(FNextAttempt - TClock::now())));
    }
    if (FClient) {
      const bool busy = FOnline && (!FAlarms.empty() || std::any_of(FDevices.begin(), FDevices.end(),
                                                                    [](const TDevice& ADevice) { return !ADevice.CaughtUp; }));
      const int rc = mosquitto_loop(FClient, busy ? 10 : 100, 1);
      const int error = errno;
      if (rc != MOSQ_ERR_SUCCESS) {
        errno = error;
        Failed(rc);
      } else if (FConnecting && TClock::now() - FAttemptStart > kConnectTimeOut) {
        Failed(MOSQ_ERR_TIMEOUT, true);
      }
    }
    try {
      if (FOnline) Work();
      SaveMarks(false);
      UpdateStatus(true);
    } catch (const EDqException& e) {
      // A locked or damaged database: try again shortly, from the marks.
      if (FClient) Failed(MOSQ_ERR_UNKNOWN);
      CloseDatabase();
      FStatus.State = TMqttState::Offline;
      FStatus.LastError = e.Message();
      SetStatus(FStatus);
      Sleep(kRetryFirst);
    }
  }
  Shutdown();
}

void TPublisher::Prepare() {
  auto database = std::make_unique<TSQLiteDatabase>();
  database->SetFileName(FDatabaseFile);
  database->Open();
  database->SetTimeout(2000);
  FDatabase = std::move(database);
  sqlite3* handle = FDatabase->Handle();
  FFetch = std::make_unique<TStatement>(
      handle, QStringLiteral("SELECT ReadTime, Digit, PV, SV, OUT1, OUT2, IsEV1, IsEV2, IsEV3 FROM DeviceData "
                             "WHERE DeviceID = ?1 AND ReadTime > ?2 ORDER BY ReadTime LIMIT ?3"));
  FLastRow = std::make_unique<TStatement>(
      handle, QStringLiteral("SELECT ReadTime, PV, SV, OUT1 FROM DeviceData WHERE DeviceID = ?1 AND ReadTime <= ?2 "
                             "ORDER BY ReadTime DESC LIMIT 1"));
  FCount = std::make_unique<TStatement>(
      handle, QStringLiteral("SELECT count(*) FROM (SELECT 1 FROM DeviceData WHERE DeviceID = ?1 AND ReadTime > ?2 "
                             "LIMIT ?3)"));
  FMaxRow = std::make_unique<TStatement>(handle, QStringLiteral("SELECT max(rowid) FROM DeviceData"));
  FSaveMark = std::make_unique<TStatement>(handle, QStringLiteral("INSERT OR REPLACE INTO Config (Name, Value) VALUES (?1, ?2)"));

  // Marks: "ID=ReadTime;..." with every digit, so a mark reads back exactly.
  std::map<int, double> marks;
  {
    TSQLiteTable table(FDatabase.get());
    table.SetSQL(QStringLiteral("SELECT Value FROM Config WHERE Name = :Name"));
    table.SetParamValues(":Name", kMarkName);
    table.Open();
    if (!table.Eof())
      for (const QString& entry : table.GetFields(0)->AsString().split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        bool idOk = false, timeOk = false;
        const int id = entry.section(QLatin1Char('='), 0, 0).toInt(&idOk);
        const double time = entry.section(QLatin1Char('='), 1).toDouble(&timeOk);
        if (idOk && timeOk) marks[id] = time;
      }
  }
  std::vector<TDevice> devices;
  {
    TSQLiteTable table(FDatabase.get());
    table.SetSQL(QStringLiteral("SELECT ID, Name FROM Device ORDER BY ID"));
    table.Open();
    while (!table.Eof()) {
      TDevice device;
      device.ID = table.GetFields(0)->AsInteger();
      device.Name = table.GetFields(1)->AsString();
      device.Level = MqttTopicLevel(device.Name);
      const QByteArray base = FSettings.Topic.toUtf8() + '/' + device.Level.toUtf8();
      device.ReadingTopic = base + "/reading";
      device.StateTopic = base + "/state";
      device.AlarmTopic = base + "/alarm";
      devices.push_back(std::move(device));
      table.Next();
    }
  }
  for (TDevice& device : devices) {
    const auto mark = marks.find(device.ID);
    // A controller never published starts at its newest reading: enabling
    // publishing does not send years of history.
    device.Mark = mark != marks.end() ? mark->second : std::numeric_limits<double>::max();
    if (mark == marks.end()) FMarksDirty = true;
    sqlite3_stmt* last = FLastRow->Get();
    sqlite3_bind_int(last, 1, device.ID);
    sqlite3_bind_double(last, 2, device.Mark);
    if (FLastRow->Step()) {
      TMqttReading row;
      row.PV = ColumnValue(last, 1);
      row.SV = ColumnValue(last, 2);
      row.Out1 = ColumnValue(last, 3);
      device.SyncedAtMark = row.Synchronized() ? 1 : 0;
      if (mark == marks.end()) device.Mark = sqlite3_column_double(last, 0);
    } else if (mark == marks.end()) {
      device.Mark = 0;
    }
    FLastRow->Reset();
    device.Sent = device.Mark;
    device.Synced = device.SyncedAtMark;
  }
  FDevices = std::move(devices);
  FLastMaxRow = -1;
  FLastCount = {};
  // Published in this order from now on.
  SaveMarks(true);
}

void TPublisher::Connect() {
  QString error;
  FClient = NewClient(FSettings, ClientId(FSettings), this, FStatusTopic, error);
  if (!FClient) {
    FStatus.State = TMqttState::Offline;
    FStatus.LastError = error;
    SetStatus(FStatus);
    FNextAttempt = TClock::now() + kRetryMax;
    return;
  }
  mosquitto_connect_callback_set(FClient, &TPublisher::OnConnect);
  mosquitto_disconnect_callback_set(FClient, &TPublisher::OnDisconnect);
  mosquitto_publish_callback_set(FClient, &TPublisher::OnPublish);
  mosquitto_log_callback_set(FClient, &TPublisher::OnLog);
  FConnack = -1;
  FTlsError.clear();
  FConnecting = true;
  FAttemptStart = TClock::now();
  const QByteArray host = FSettings.Host.toUtf8();
  const int rc = mosquitto_connect_async(FClient, host.constData(), FSettings.Port, kKeepAlive);
  if (rc != MOSQ_ERR_SUCCESS) Failed(rc);
}

void TPublisher::Failed(int ACode, bool ATimedOut) {
  const int error = errno;
  const bool wasOnline = FOnline;
  FStatus.State = TMqttState::Offline;
  FStatus.LastError = FailureText(wasOnline ? MOSQ_ERR_CONN_LOST : ACode, FConnack, error, FTlsError, ATimedOut, FSettings);
  mosquitto_destroy(FClient);
  FClient = nullptr;
  FOnline = FConnecting = false;
  Rewind();
  FNextAttempt = TClock::now() + FRetry;
  // A refusal will not change by itself soon; a broker restarting will.
  FRetry = FConnack > 0 ? kRetryMax : std::min(FRetry * 2, kRetryMax);
  SetStatus(FStatus);
}

void TPublisher::Rewind() {
  // What was not acknowledged is sent again on the next connection, from
  // the marks: at least once across reconnects, never twice in one.
  for (TDevice& device : FDevices) {
    device.Sent = device.Mark;
    device.Synced = device.SyncedAtMark;
    device.Inflight.clear();
    device.CaughtUp = false;
  }
  FReadingMids.clear();
  for (auto it = FAlarmMids.rbegin(); it != FAlarmMids.rend(); ++it) FAlarms.push_front(std::move(it->second));
  FAlarmMids.clear();
  std::stable_sort(FAlarms.begin(), FAlarms.end(), [](const TAlarm& A, const TAlarm& B) { return A.Time < B.Time; });
}

void TPublisher::Work() {
  PublishAlarms();
  PublishReadings();
}

void TPublisher::PublishAlarms() {
  {
    std::lock_guard<std::mutex> guard(gAlarmMutex);
    for (TAlarm& alarm : gAlarms) FAlarms.push_back(std::move(alarm));
    gAlarms.clear();
  }
  while (FOnline && !FAlarms.empty()) {
    if (!PublishAlarm(FAlarms.front())) return;
    FAlarms.pop_front();
  }
  while (FAlarms.size() > kMaxAlarms) FAlarms.pop_front();
}

bool TPublisher::PublishAlarm(const TAlarm& AAlarm) {
  const QByteArray topic = FSettings.Topic.toUtf8() + '/' + AAlarm.Level.toUtf8() + "/alarm";
  const QByteArray payload = MqttAlarmPayload(AAlarm.Time, AAlarm.Event, AAlarm.Text, AAlarm.Time < FConnectedAt);
  const int mid = Send(topic, payload, 1, false);
  if (mid < 0) return false;
  FAlarmMids[mid] = AAlarm;
  return true;
}

void TPublisher::PublishReadings() {
  const auto now = TClock::now();
  const double elapsed = std::chrono::duration<double>(now - FLastRefill).count();
  FLastRefill = now;
  FTokens = std::min(FTokens + elapsed * kReplayRate, kReplayRate / 4.0);

  sqlite3_stmt* max = FMaxRow->Get();
  const std::int64_t maxRow = FMaxRow->Step() ? sqlite3_column_int64(max, 0) : 0;
  FMaxRow->Reset();
  const bool sweep = now - FLastSweep >= kSweepInterval;
  const bool changed = maxRow != FLastMaxRow || sweep;
  if (!changed && std::all_of(FDevices.begin(), FDevices.end(), [](const TDevice& ADevice) { return ADevice.CaughtUp; }))
    return;

  sqlite3_stmt* fetch = FFetch->Get();
  std::vector<TMqttReading> rows;
  bool visitedAll = true;
  for (std::size_t n = 0; n < FDevices.size(); ++n) {
    const std::size_t index = (FNextDevice + n) % FDevices.size();
    TDevice& device = FDevices[index];
    if (device.CaughtUp && !changed) continue;
    const int room = std::min({kBatch, static_cast<int>(FTokens), kWindow - static_cast<int>(InflightCount())});
    if (room <= 0 || !FOnline) {
      FNextDevice = index; // the next round starts with those left out
      visitedAll = false;
      break;
    }
    rows.clear();
    sqlite3_bind_int(fetch, 1, device.ID);
    sqlite3_bind_double(fetch, 2, device.Sent);
    sqlite3_bind_int(fetch, 3, room);
    while (FFetch->Step()) {
      TMqttReading row;
      row.ReadTime = sqlite3_column_double(fetch, 0);
      row.Digit = sqlite3_column_int(fetch, 1);
      row.PV = ColumnValue(fetch, 2);
      row.SV = ColumnValue(fetch, 3);
      row.Out1 = ColumnValue(fetch, 4);
      row.Out2 = ColumnValue(fetch, 5);
      for (int k = 0; k < 3; ++k) row.IsEV[k] = sqlite3_column_int(fetch, 6 + k) != 0;
      rows.push_back(row);
    }
    FFetch->Reset();
    bool sent = true;
    for (const TMqttReading& row : rows)
      if (!(sent = PublishReading(index, row))) break;
    if (!sent) {
      visitedAll = false;
      break;
    }
    device.CaughtUp = static_cast<int>(rows.size()) < room;
    // The newest reading is kept by the broker for dashboards that connect later.
    if (device.CaughtUp && !rows.empty()) {
      const QByteArray payload = MqttReadingPayload(rows.back(), rows.back().ReadTime < FConnectedAt);
      Send(device.StateTopic, payload, FSettings.QoS, true);
    }
  }
  if (visitedAll) {
    FLastMaxRow = maxRow;
    if (sweep) FLastSweep = now;
  }
}

bool TPublisher::PublishReading(std::size_t AIndex, const TMqttReading& AReading) {
  TDevice& device = FDevices[AIndex];
  const bool replayed = AReading.ReadTime < FConnectedAt;
  const QByteArray payload = MqttReadingPayload(AReading, replayed);
  bool acked = false;
  const int mid = Send(device.ReadingTopic, payload, FSettings.QoS, false, &acked);
  if (mid < 0) return false;
  FTokens -= 1;
  const int synced = AReading.Synchronized() ? 1 : 0;
  device.Sent = AReading.ReadTime;
  device.Inflight.push_back({mid, AReading.ReadTime, synced, false});
  FReadingMids[mid] = AIndex;
  if (acked) Acknowledged(mid);
  // Connection lost and back follow the history, so they are replayed with
  // it; a controller first seen answering is no event.
  if (synced != device.Synced && !(device.Synced < 0 && synced)) {
    TAlarm alarm;
    alarm.Level = device.Level;
    alarm.Time = AReading.ReadTime;
    alarm.Event = synced ? QStringLiteral("connection_back") : QStringLiteral("connection_lost");
    alarm.Text = synced ? QStringLiteral("%1 Connection back").arg(device.Name) : QStringLiteral("%1 Loss signal").arg(device.Name);
    const QByteArray alarmPayload = MqttAlarmPayload(alarm.Time, alarm.Event, alarm.Text, replayed);
    Send(device.AlarmTopic, alarmPayload, 1, false);
  }
  device.Synced = synced;
  return true;
}

int TPublisher::Send(const QByteArray& ATopic, const QByteArray& APayload, int AQoS, bool ARetain, bool* AAcked) {
  FEarlyAck = -1;
  FInSend = true;
  int mid = 0;
  const int rc = mosquitto_publish(FClient, &mid, ATopic.constData(), static_cast<int>(APayload.size()),
                                   APayload.constData(), AQoS, ARetain);
  FInSend = false;
  if (rc != MOSQ_ERR_SUCCESS) return -1;
  if (AAcked) *AAcked = FEarlyAck == mid;
  return mid;
}

void TPublisher::Acknowledged(int AMid) {
  if (FAlarmMids.erase(AMid)) return;
  const auto found = FReadingMids.find(AMid);
  if (found == FReadingMids.end()) {
    // Written inside mosquitto_publish, before its caller knows the mid.
    if (FInSend) FEarlyAck = AMid;
    return;
  }
  TDevice& device = FDevices[found->second];
  FReadingMids.erase(found);
  for (TInflight& entry : device.Inflight)
    if (entry.Mid == AMid) {
      entry.Acked = true;
      break;
    }
  while (!device.Inflight.empty() && device.Inflight.front().Acked) {
    device.Mark = device.Inflight.front().Time;
    device.SyncedAtMark = device.Inflight.front().Synced;
    device.Inflight.pop_front();
    FMarksDirty = true;
  }
}

void TPublisher::SaveMarks(bool ANow) {
  if (!FDatabase || !FMarksDirty) return;
  const auto now = TClock::now();
  if (!ANow && now - FLastMarkSave < kMarkSaveInterval) return;
  QStringList entries;
  for (const TDevice& device : FDevices)
    entries << QStringLiteral("%1=%2").arg(device.ID).arg(QString::number(device.Mark, 'g', 17));
  const QString value = entries.join(QLatin1Char(';'));
  sqlite3_stmt* save = FSaveMark->Get();
  sqlite3_bind_text16(save, 1, kMarkName.utf16(), static_cast<int>(kMarkName.size() * 2), SQLITE_TRANSIENT);
  sqlite3_bind_text16(save, 2, value.utf16(), static_cast<int>(value.size() * 2), SQLITE_TRANSIENT);
  FLastMarkSave = now;
  try {
    FSaveMark->Step();
  } catch (const EDqException&) {
    // The database is busy: the mark is written next time, and publishing
    // goes on meanwhile.
    return;
  }
  FSaveMark->Reset();
  FMarksDirty = false;
}

void TPublisher::UpdateStatus(bool ACount) {
  const bool caughtUp = FOnline && std::all_of(FDevices.begin(), FDevices.end(),
                                               [](const TDevice& ADevice) { return ADevice.CaughtUp; });
  if (caughtUp) {
    FBacklog = static_cast<std::int64_t>(InflightCount());
  } else if (ACount && FDatabase && TClock::now() - FLastCount >= FBacklogInterval) {
    const auto start = TClock::now();
    FLastCount = start;
    std::int64_t backlog = 0;
    sqlite3_stmt* count = FCount->Get();
    for (const TDevice& device : FDevices) {
      sqlite3_bind_int(count, 1, device.ID);
      sqlite3_bind_double(count, 2, device.Mark);
      sqlite3_bind_int64(count, 3, kBacklogCap);
      if (FCount->Step()) backlog += sqlite3_column_int64(count, 0);
      FCount->Reset();
    }
    FBacklog = backlog;
    // Days of backlog take long to count: counted less often then.
    FBacklogInterval = TClock::now() - start > milliseconds(20) ? kBacklogInterval * 12 : kBacklogInterval;
  }
  FStatus.Backlog = FBacklog;
  if (FOnline) {
    FStatus.State = TMqttState::Online;
    FStatus.LastError.clear();
  }
  SetStatus(FStatus);
}

void TPublisher::Shutdown() {
  if (FClient) {
    if (FOnline) {
      // What was handed over is acknowledged first, so the next start
      // resends nothing of it.
      const auto acked = TClock::now() + milliseconds(1000);
      while (FOnline && InflightCount() > 0 && TClock::now() < acked &&
             mosquitto_loop(FClient, 50, 1) == MOSQ_ERR_SUCCESS) {
      }
      // A clean disconnect sends no last will: "offline" is said here.
      mosquitto_publish(FClient, nullptr, FStatusTopic.constData(), 7, "offline", 1, true);
      mosquitto_disconnect(FClient);
      const auto deadline = TClock::now() + milliseconds(500);
      while (FOnline && TClock::now() < deadline && mosquitto_loop(FClient, 50, 1) == MOSQ_ERR_SUCCESS) {
      }
    }
    mosquitto_destroy(FClient);
    FClient = nullptr;
  }
  try {
    SaveMarks(true);
  } catch (const EDqException&) {
    // The marks of the last second: sent again next time.
  }
  CloseDatabase();
}

void TPublisher::CloseDatabase() {
  // Statements go before their connection.
  FFetch.reset();
  FLastRow.reset();
  FCount.reset();
  FMaxRow.reset();
  FSaveMark.reset();
  FDatabase.reset();
  FDevices.clear();
  FReadingMids.clear();
}

std::mutex gPublisherMutex; // start and stop
std::unique_ptr<TPublisher> gPublisher;

} // namespace

// ---------------------------------------------------------------- settings

TTervoxMqttSettings TTervoxMqttSettings::Load() {
  TTervoxConfig* config = Config();
  TTervoxMqttSettings settings;
  settings.Enabled = config->GetValueBoolDef(QStringLiteral("MQTTEnabled"), false);
  settings.Host = config->GetValues(QStringLiteral("MQTTHost")).trimmed();
  settings.TLS = config->GetValueBoolDef(QStringLiteral("MQTTTLS"), false);
  settings.Port = config->GetValueIntDef(QStringLiteral("MQTTPort"), settings.TLS ? 8883 : 1883);
  settings.CAFile = config->GetValues(QStringLiteral("MQTTCAFile"));
  settings.CertFile = config->GetValues(QStringLiteral("MQTTCertFile"));
  settings.KeyFile = config->GetValues(QStringLiteral("MQTTKeyFile"));
  settings.User = config->GetValues(QStringLiteral("MQTTUser"));
  settings.Password = config->GetValues(QStringLiteral("MQTTPassword"));
  settings.Topic = config->GetValues(QStringLiteral("MQTTTopic")).trimmed();
  while (settings.Topic.endsWith(QLatin1Char('/'))) settings.Topic.chop(1);
  if (settings.Topic.isEmpty()) settings.Topic = DefaultTopic();
  settings.QoS = config->GetValueIntDef(QStringLiteral("MQTTQoS"), 1) == 0 ? 0 : 1;
  return settings;
}

void TTervoxMqttSettings::Save() const {
  TTervoxConfig* config = Config();
  config->SetValueBool(QStringLiteral("MQTTEnabled"), Enabled);
  config->SetValues(QStringLiteral("MQTTHost"), Host);
  config->SetValueInt(QStringLiteral("MQTTPort"), Port);
  config->SetValueBool(QStringLiteral("MQTTTLS"), TLS);
  config->SetValues(QStringLiteral("MQTTCAFile"), CAFile);
  config->SetValues(QStringLiteral("MQTTCertFile"), CertFile);
  config->SetValues(QStringLiteral("MQTTKeyFile"), KeyFile);
  config->SetValues(QStringLiteral("MQTTUser"), User);
  config->SetValues(QStringLiteral("MQTTPassword"), Password);
  config->SetValues(QStringLiteral("MQTTTopic"), Topic);
  config->SetValueInt(QStringLiteral("MQTTQoS"), QoS);
}

QString TTervoxMqttSettings::DefaultTopic() { return QStringLiteral("tervox/") + MqttTopicLevel(QSysInfo::machineHostName()); }

QString TTervoxMqttSettings::Problem() const {
  if (Host.trimmed().isEmpty()) return QStringLiteral("no broker host is set");
  if (Port < 1 || Port > 65535) return QStringLiteral("the port must be 1 to 65535");
  if (Topic.isEmpty()) return QStringLiteral("the topic prefix is empty");
  const QByteArray probe = Topic.toUtf8() + "/status";
  if (Topic.startsWith(QLatin1Char('/')) || mosquitto_pub_topic_check(probe.constData()) != MOSQ_ERR_SUCCESS ||
      Topic.contains(QLatin1String("//")))
    return QStringLiteral("the topic prefix must not hold '+', '#' or empty levels");
  if (TLS && CertFile.isEmpty() != KeyFile.isEmpty())
    return QStringLiteral("a client certificate needs its key file, and a key its certificate");
  return QString();
}

// ---------------------------------------------------------------- status

QString TTervoxMqttStatus::Text() const {
  switch (State) {
  case TMqttState::Off: return QStringLiteral("MQTT: off");
  case TMqttState::Connecting: return QStringLiteral("MQTT: connecting");
  case TMqttState::Online:
    return Backlog > 0 ? QStringLiteral("MQTT: online, sending %1 recorded readings").arg(Backlog)
                       : QStringLiteral("MQTT: online");
  case TMqttState::Offline: {
    QString text = QStringLiteral("MQTT: offline (%1)").arg(LastError);
    if (Backlog > 0) text += QStringLiteral(", %1 readings waiting").arg(Backlog);
    return text;
  }
  }
  return QString();
}

void StartMqttPublisher() {
  StopMqttPublisher();
  TTervoxMqttSettings settings;
  try {
    settings = TTervoxMqttSettings::Load();
  } catch (const EDqException& e) {
    qWarning("TERVOX: MQTT settings cannot be read: %s", qPrintable(e.Message()));
    return;
  }
  if (!settings.Enabled) return;
  if (const QString problem = settings.Problem(); !problem.isEmpty()) {
    TTervoxMqttStatus status;
    status.State = TMqttState::Offline;
    status.LastError = problem;
    SetStatus(status);
    return;
  }
  std::lock_guard<std::mutex> guard(gPublisherMutex);
  OpenAlarms(true);
  gPublisher = std::make_unique<TPublisher>(settings, GetDatabaseFileName());
}

void StopMqttPublisher() {
  std::unique_ptr<TPublisher> publisher;
  {
    std::lock_guard<std::mutex> guard(gPublisherMutex);
    OpenAlarms(false);
    publisher.swap(gPublisher);
  }
  publisher.reset(); // joins its thread
  SetStatus(TTervoxMqttStatus());
}

bool MqttPublisherRunning() {
  std::lock_guard<std::mutex> guard(gPublisherMutex);
  return gPublisher != nullptr;
}

TTervoxMqttStatus MqttStatus() {
  std::lock_guard<std::mutex> guard(gStatusMutex);
  return gStatus;
}

void SetMqttStatusNotifier(TMqttStatusNotifier ANotifier) {
  std::lock_guard<std::mutex> guard(gStatusMutex);
  gNotifier = std::move(ANotifier);
}

void PublishMqttEventChange(const TTervoxDevice& ADevice, int AIndex, bool AOn, int AMode) {
  if (!gAlarmsOpen) return;
  TAlarm alarm;
  alarm.Time = Now();
  const QString name = ADevice.DeviceName();
  alarm.Level = MqttTopicLevel(name);
  alarm.Event = QStringLiteral("ev%1_%2").arg(AIndex + 1).arg(AOn ? QStringLiteral("on") : QStringLiteral("off"));
  alarm.Text = AOn ? ADevice.AlarmText(AMode, AIndex).trimmed() : QString();
  // One arg() call: a "%1" in the controller's name must stay text.
  if (alarm.Text.isEmpty())
    alarm.Text = QStringLiteral("%1 EV%2 %3").arg(name, QString::number(AIndex + 1), AOn ? QStringLiteral("ON") : QStringLiteral("OFF"));
  QueueAlarm(std::move(alarm));
}

// ---------------------------------------------------------------- test

TMqttTestResult TestMqttConnection(const TTervoxMqttSettings& ASettings, int ATimeOut, const std::atomic<bool>* ACancel) {
  TMqttTestResult result;
  if (const QString problem = ASettings.Problem(); !problem.isEmpty()) {
    result.Text = problem;
    return result;
  }
  struct TProbe {
    int Connack = -1;
    QString Tls;
  } probe;
  QString error;
  mosquitto* client = NewClient(ASettings, ClientId(ASettings) + ":test", &probe, QByteArray(), error);
  if (!client) {
    result.Text = error;
    return result;
  }
  mosquitto_connect_callback_set(client, [](mosquitto*, void* AObject, int ARc) { static_cast<TProbe*>(AObject)->Connack = ARc; });
  mosquitto_log_callback_set(client, [](mosquitto*, void* AObject, int ALevel, const char* AText) {
    if (!(ALevel & MOSQ_LOG_ERR)) return;
    const QString complaint = TlsComplaint(AText);
    if (!complaint.isEmpty()) static_cast<TProbe*>(AObject)->Tls = complaint;
  });
  const QByteArray host = ASettings.Host.toUtf8();
  int rc = mosquitto_connect_async(client, host.constData(), ASettings.Port, kKeepAlive);
  int savedErrno = errno;
  const auto deadline = TClock::now() + milliseconds(ATimeOut);
  while (rc == MOSQ_ERR_SUCCESS && probe.Connack < 0 && TClock::now() < deadline && !(ACancel && *ACancel)) {
    rc = mosquitto_loop(client, 100, 1);
    savedErrno = errno;
  }
  if (probe.Connack == 0) {
    result.Connected = true;
    result.Text = QStringLiteral("connected to %1:%2%3")
                      .arg(ASettings.Host)
                      .arg(ASettings.Port)
                      .arg(ASettings.TLS ? QStringLiteral(" with TLS") : QString());
    mosquitto_disconnect(client);
    mosquitto_loop(client, 100, 1);
  } else {
    const bool timedOut = rc == MOSQ_ERR_SUCCESS && probe.Connack < 0;
    result.Text = FailureText(rc, probe.Connack, savedErrno, probe.Tls, timedOut, ASettings);
  }
  mosquitto_destroy(client);
  return result;
}

// ---------------------------------------------------------------- payloads

QString MqttTopicLevel(const QString& AName) {
  QString level = AName;
  for (QChar& c : level) {
    const char16_t u = c.unicode();
    if (u == u'+' || u == u'#' || u == u'/' || u < 0x20 || (u >= 0x7F && u < 0xA0)) c = QLatin1Char('_');
  }
  return level.isEmpty() ? QStringLiteral("_") : level;
}

bool TMqttReading::Synchronized() const { return !(PV == kMissing && SV == kMissing && Out1 == kMissing); }

QByteArray MqttTimeText(double ADateTime) {
  const QDateTime local = DateTimeToQDateTime(ADateTime);
  return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toLatin1();
}

QByteArray MqttReadingPayload(const TMqttReading& AReading, bool AReplayed) {
  QByteArray out;
  out.reserve(200);
  out += "{\"time\":\"";
  out += MqttTimeText(AReading.ReadTime);
  out += "\",\"pv\":";
  AppendJsonNumber(out, AReading.PV, AReading.Digit);
  out += ",\"sv\":";
  AppendJsonNumber(out, AReading.SV, AReading.Digit);
  // Outputs are kept in tenths of a percent.
  out += ",\"out1\":";
  AppendJsonNumber(out, AReading.Out1, 1);
  out += ",\"out2\":";
  AppendJsonNumber(out, AReading.Out2, 1);
  for (int k = 0; k < 3; ++k) {
    out += ",\"ev";
    out += char('1' + k);
    out += "\":";
    out += AReading.IsEV[k] ? "true" : "false";
  }
  out += ",\"decimals\":";
  out += QByteArray::number(AReading.Digit);
  out += ",\"synchronized\":";
  out += AReading.Synchronized() ? "true" : "false";
  out += ",\"replayed\":";
  out += AReplayed ? "true" : "false";
  out += '}';
  return out;
}

QByteArray MqttAlarmPayload(double ATime, const QString& AEvent, const QString& AText, bool AReplayed) {
  QByteArray out = "{\"time\":\"" + MqttTimeText(ATime) + "\",\"event\":";
  AppendJsonString(out, AEvent);
  out += ",\"text\":";
  AppendJsonString(out, AText);
  out += ",\"replayed\":";
  out += AReplayed ? "true" : "false";
  out += '}';
  return out;
}
