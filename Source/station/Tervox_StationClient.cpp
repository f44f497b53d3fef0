#include "Tervox_StationClient.h"

#include "comm/DqModbus.h"

#include "core/DqEvent.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Alerts.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_DeviceRequests.h"
#include "store/Tervox_StationLock.h"
#include "Tervox_StationServer.h"
#include "Tervox_StationSocket.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace TervoxStation;
using TClock = std::chrono::steady_clock;

namespace {

// A transaction waits at most this long: the recorder's line runs it after
// the request in progress, and a silent controller costs a few time-outs.
constexpr std::chrono::seconds kTransactionWait{10};
constexpr std::chrono::milliseconds kReconnectWait{1000};

QString PathOf(const TTervoxStationHolder& AHolder, const QString& ADatabaseFile) {
  return AHolder.Socket.isEmpty() ? TTervoxStationLock::SocketFileName(ADatabaseFile) : AHolder.Socket;
}

} // namespace

class TTervoxStationClient::TCore : public std::enable_shared_from_this<TCore> {
public:
  explicit TCore(const QString& ADatabaseFile) : FDatabase(ADatabaseFile) {
    FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~TCore() { ::close(FWake); }

  void Start(THandlers AHandlers) {
    if (FThread.joinable()) return;
    FHandlers = std::move(AHandlers);
    FStop = false;
    FThread = std::thread([this] { Run(); });
  }

  void Stop() {
    if (!FThread.joinable()) return;
    {
      std::lock_guard<std::mutex> guard(FLock);
      // Goes out before the connection ends (Serve flushes at a stop).
      if (FConnected && FLogin == TLoginState::Accepted) FOutbox.append(Encode(TLogout{}));
      FStop = true;
    }
    FReplied.notify_all();
    WakeUp();
    FThread.join();
  }

  void SetUser(const QString& AUser, const QString& APassword) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FUser = AUser;
      FPassword = APassword;
      if (!FConnected) return;
      QueueLogin();
    }
    WakeUp();
  }

  // Queued while connected; a request made while the recorder is away is
  // of no use later (a reload is made by every recorder start anyway).
  void Post(const TMessage& AMessage) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (!FConnected) return;
      FOutbox.append(Encode(AMessage));
    }
    WakeUp();
  }

  std::uint32_t NewRequest() {
    std::lock_guard<std::mutex> guard(FLock);
    return FNextRequest++;
  }

  bool Transact(int APortID, std::uint32_t ARequest, const QString& AName, const QByteArray& AFrame,
                QByteArray& AReply, QString& AError) {
    std::unique_lock<std::mutex> lock(FLock);
    if (!FConnected || FStop) {
      AError = QStringLiteral("The recorder cannot be reached.");
      return false;
    }
    const std::uint64_t connection = FConnection;
    // The recorder runs nothing for a connection before its login.
    if (FLogin == TLoginState::Checking &&
        !FReplied.wait_for(lock, kTransactionWait, [&] {
          return FLogin != TLoginState::Checking || FConnection != connection || FStop;
        })) {
      AError = QStringLiteral("The recorder did not answer.");
      return false;
    }
    if (FConnection != connection || FStop) {
      AError = QStringLiteral("The recorder went away.");
      return false;
    }
    const std::uint32_t seq = FNextSeq++;
    FPending[seq];
    FOutbox.append(Encode(TTransaction{seq, ARequest, APortID, AName, FUser, AFrame}));
    lock.unlock();
    WakeUp();
    lock.lock();
    const bool done = FReplied.wait_for(lock, kTransactionWait, [&] {
      return FPending[seq].has_value() || FConnection != connection || FStop;
    });
    const std::optional<TTransactionReply> reply = std::move(FPending[seq]);
    FPending.erase(seq);
    if (!done || !reply) {
      AError = FConnection != connection || FStop ? QStringLiteral("The recorder went away.")
                                                   : QStringLiteral("The recorder did not answer.");
      return false;
    }
    if (reply->Outcome != TOutcome::Reply) {
      AError = reply->Text;
      return false;
    }
    AReply = reply->Reply;
    return true;
  }

private:
  enum class TLoginState : std::uint8_t { None, Checking, Accepted, Refused };

  // Under FLock, connected.
  void QueueLogin() {
    if (FUser.isEmpty()) {
      FLogin = TLoginState::None;
      return;
    }
    FOutbox.append(Encode(TLogin{FUser, FPassword}));
    FLogin = TLoginState::Checking;
  }

  void WakeUp() {
    const std::uint64_t one = 1;
    if (::write(FWake, &one, sizeof one) < 0) {
      // Already due to wake.
    }
  }

  void SetState(TState AState, std::int64_t APID) {
    if (AState == FState && APID == FStatePID) return;
    FState = AState;
    FStatePID = APID;
    if (FHandlers.StateChanged) FHandlers.StateChanged(AState, APID);
  }

  // Sleeps until woken, stopped or AFor passed.
  void Pause(std::chrono::milliseconds AFor) {
    pollfd wake{FWake, POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(AFor.count()));
    std::uint64_t count = 0;
    if (::read(FWake, &count, sizeof count) < 0) {
    }
  }

  void Run() {
    std::int64_t lastPID = 0;
    while (!FStop) {
      const TTervoxStationHolder holder = TTervoxStationLock::OtherHolder(FDatabase);
      const int handle = holder.Held() ? Connect(PathOf(holder, FDatabase)) : -1;
      if (handle < 0) {
        if (holder.PID > 0) lastPID = holder.PID;
        SetState(FState == TState::Connecting && lastPID == 0 ? TState::Connecting : TState::Gone, lastPID);
        Pause(kReconnectWait);
        continue;
      }
      Serve(handle, lastPID);
      {
        std::lock_guard<std::mutex> guard(FLock);
        FConnected = false;
        ++FConnection;
        FOutbox.clear();
      }
      FReplied.notify_all();
      {
        std::lock_guard<std::mutex> guard(FProgramLock);
        FProgramReads.clear();
      }
      if (!FStop) SetState(TState::Gone, lastPID);
    }
  }

  void Serve(int AHandle, std::int64_t& ALastPID) {
    TStream stream(AHandle);
    {
      std::lock_guard<std::mutex> guard(FLock);
      FConnected = true;
      ++FConnection;
      FOutbox = Encode(THello{TRole::Window, static_cast<std::uint32_t>(::getpid()), QStringLiteral("tervox")});
      // A new connection is a new session: the login goes again.
      QueueLogin();
    }
    TClock::time_point lastSent = TClock::now();
    while (!FStop) {
      {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FOutbox.isEmpty()) {
          stream.Queue(FOutbox, static_cast<std::size_t>(-1));
          FOutbox.clear();
          lastSent = TClock::now();
        }
      }
      if (TClock::now() - lastSent >= TTervoxStationServer::kHeartbeat) {
        stream.Queue(Encode(THeartbeat{}), static_cast<std::size_t>(-1));
        lastSent = TClock::now();
      }
      if (!stream.Flush()) return;
      pollfd handles[2] = {{AHandle, static_cast<short>(POLLIN | (stream.Pending() ? POLLOUT : 0)), 0},
                           {FWake, POLLIN, 0}};
      if (::poll(handles, 2, 500) < 0 && errno != EINTR) return;
      if (handles[1].revents & POLLIN) {
        std::uint64_t count = 0;
        if (::read(FWake, &count, sizeof count) < 0) {
        }
      }
      if (handles[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        const bool open = stream.Fill();
        for (;;) {
          TMessage message;
          const TDecode result = stream.Next(message);
          if (result == TDecode::NeedMore) break;
          if (result == TDecode::Bad) return;
          Handle(message, ALastPID);
        }
        if (!open) return;
      }
    }
    // Stopping: what was asked last (a reload before a refresh) still goes.
    {
      std::lock_guard<std::mutex> guard(FLock);
      stream.Queue(FOutbox, static_cast<std::size_t>(-1));
      FOutbox.clear();
    }
    stream.Flush();
  }

  void Handle(const TMessage& AMessage, std::int64_t& ALastPID) {
    if (const auto* welcome = std::get_if<TWelcome>(&AMessage)) {
      ALastPID = welcome->PID;
      SetState(TState::Attached, ALastPID);
      if (welcome->Paused && FHandlers.PauseChanged) FHandlers.PauseChanged(true, QStringLiteral("maintenance"));
    } else if (const auto* status = std::get_if<TStatus>(&AMessage)) {
      ShowStatus(status->Image);
    } else if (const auto* comm = std::get_if<TCommStatistics>(&AMessage)) {
      // The recorder's figures: it runs every transaction, this window's too.
      SetModbusStatistics(comm->PortID, comm->Slave, comm->Statistics);
    } else if (const auto* reply = std::get_if<TTransactionReply>(&AMessage)) {
      {
        std::lock_guard<std::mutex> guard(FLock);
        const auto found = FPending.find(reply->Seq);
        if (found != FPending.end()) found->second = *reply;
      }
      FReplied.notify_all();
    } else if (const auto* login = std::get_if<TLoginReply>(&AMessage)) {
      {
        std::lock_guard<std::mutex> guard(FLock);
        // The answer to an earlier login of this connection counts not.
        if (FLogin == TLoginState::Checking && login->User == FUser)
          FLogin = login->Accepted ? TLoginState::Accepted : TLoginState::Refused;
      }
      FReplied.notify_all();
    } else if (const auto* alarm = std::get_if<TAlarm>(&AMessage)) {
      auto message = std::make_shared<TTervoxAlarmMessage>();
      message->DeviceID = alarm->DeviceID;
      message->Slot = alarm->Slot;
      message->Text = alarm->Text;
      HandOffToMain([message] {
        if (TTervoxMainLink* link = MainLink()) link->DeviceAlarm(std::make_unique<TTervoxAlarmMessage>(*message));
      });
    } else if (const auto* loss = std::get_if<TLossAlert>(&AMessage)) {
      const int id = loss->DeviceID;
      HandOffToMain([id] {
        if (TTervoxMainLink* link = MainLink()) link->DeviceLost(id);
      });
    } else if (std::holds_alternative<TLossAlertClosed>(AMessage)) {
      if (FHandlers.LossAlertClosed) FHandlers.LossAlertClosed();
    } else if (const auto* acknowledged = std::get_if<TAlarmAcknowledged>(&AMessage)) {
      if (FHandlers.AlarmAcknowledged) FHandlers.AlarmAcknowledged(acknowledged->DeviceID, acknowledged->Slot);
    } else if (const auto* problem = std::get_if<TDatabaseProblem>(&AMessage)) {
      ReportDatabaseProblem(problem->Text);
    } else if (const auto* pause = std::get_if<TPauseState>(&AMessage)) {
      if (FHandlers.PauseChanged) FHandlers.PauseChanged(pause->Paused, pause->Text);
    } else if (std::holds_alternative<TReloaded>(AMessage)) {
      if (FHandlers.Reloaded) FHandlers.Reloaded();
    }
  }

  // The recorder's read, shown as if read here: the panel redraws, the
  // pages hear of it, and an open program page reads its live state too.
  void ShowStatus(const TTervoxStatusImage& AImage) {
    TTervoxDeviceList* devices = DeviceList();
    const std::shared_ptr<TTervoxDevice> device = devices ? devices->SharedDeviceByID(AImage.DeviceID) : nullptr;
    if (!device) return;
    device->ApplyStatusImage(AImage);
    std::weak_ptr<TTervoxDevice> weak = device;
    if (!device->HasOnReadProgram()) {
      HandOffToMain([weak] {
        if (auto held = weak.lock()) held->StatusNotification();
      });
      return;
    }
    {
      std::lock_guard<std::mutex> guard(FProgramLock);
      // One program read at a time: a slow line must not pile them up.
      if (!FProgramReads.insert(AImage.DeviceID).second) return;
    }
    TDqEventThread* worker = device->Worker();
    if (!worker) return;
    std::weak_ptr<TCore> core = weak_from_this();
    const int id = AImage.DeviceID;
    auto request = std::make_unique<TDqEventData>(
        QStringLiteral("ReadProgram"),
        [weak](TDqEventData*) {
          if (auto held = weak.lock()) DoReadProgramStatus(*held);
        },
        device.get());
    request->SenderName = device->DeviceName();
    request->SetOnExecuted([core, id](TDqEventData*) {
      if (auto self = core.lock()) {
        std::lock_guard<std::mutex> guard(self->FProgramLock);
        self->FProgramReads.erase(id);
      }
    });
    request->SetOnSyncExecuted([weak] {
      if (auto held = weak.lock()) held->StatusNotification();
    });
    worker->AddEvent(std::move(request));
  }

  const QString FDatabase;
  THandlers FHandlers;
  int FWake = -1;
  std::atomic<bool> FStop{false};
  std::thread FThread;
  TState FState = TState::Connecting; // client thread only
  std::int64_t FStatePID = -2;

  std::mutex FLock; // what follows
  std::condition_variable FReplied;
  bool FConnected = false;
  std::uint64_t FConnection = 0; // bumped at every connect and disconnect
  QByteArray FOutbox;
  std::map<std::uint32_t, std::optional<TTransactionReply>> FPending;
  std::uint32_t FNextSeq = 1;
  std::uint32_t FNextRequest = 1;
  QString FUser;
  QString FPassword;
  TLoginState FLogin = TLoginState::None;

  std::mutex FProgramLock;
  std::set<int> FProgramReads;
};

namespace {

// One line of the recorder, as a window's port sees it.
class TStationLine : public TDqFrameTransport {
public:
  TStationLine(std::shared_ptr<TTervoxStationClient::TCore> ACore, int APortID)
      : FCore(std::move(ACore)), FPortID(APortID) {}

  bool Transact(const QByteArray& ARequest, QByteArray& AReply, QString& AError) override {
    std::uint32_t request = 0;
    QString name;
    {
      std::lock_guard<std::mutex> guard(FLock);
      request = FRequest;
      name = FName;
    }
    return FCore->Transact(FPortID, request, name, ARequest, AReply, AError);
  }
  void BeginRequest(const QString& AName) override {
    const std::uint32_t request = FCore->NewRequest();
    std::lock_guard<std::mutex> guard(FLock);
    FRequest = request;
    FName = AName;
  }
  void EndRequest() override {
    std::uint32_t request = 0;
    {
      std::lock_guard<std::mutex> guard(FLock);
      request = FRequest;
      FRequest = 0;
      FName.clear();
    }
    if (request != 0) FCore->Post(TEndRequest{request});
  }

private:
  std::shared_ptr<TTervoxStationClient::TCore> FCore;
  const int FPortID;
  std::mutex FLock;
  std::uint32_t FRequest = 0;
  QString FName;
};

} // namespace

TTervoxStationClient::TTervoxStationClient(const QString& ADatabaseFile)
    : FCore(std::make_shared<TCore>(ADatabaseFile)) {}

TTervoxStationClient::~TTervoxStationClient() { Stop(); }

void TTervoxStationClient::Start(THandlers AHandlers) { FCore->Start(std::move(AHandlers)); }
void TTervoxStationClient::Stop() { FCore->Stop(); }
void TTervoxStationClient::SetUser(const QString& AUsername, const QString& APassword) {
  FCore->SetUser(AUsername, APassword);
}

std::shared_ptr<TDqFrameTransport> TTervoxStationClient::LineTransport(int APortID) {
  return std::make_shared<TStationLine>(FCore, APortID);
}

void TTervoxStationClient::RequestStatus(int ADeviceID) { FCore->Post(TRequestStatus{ADeviceID}); }
void TTervoxStationClient::Reload(std::uint8_t AWhat) { FCore->Post(TReload{AWhat}); }
void TTervoxStationClient::SilenceLossAlert(int ASeconds) {
  FCore->Post(TSilenceLossAlert{static_cast<std::uint32_t>(std::max(ASeconds, 0))});
}
void TTervoxStationClient::AcknowledgeAlarm(int ADeviceID, int ASlot) {
  FCore->Post(TAcknowledgeAlarm{ADeviceID, static_cast<std::uint8_t>(ASlot)});
}

// ---------------------------------------------------------------- pause

struct TTervoxRecordingPause::TKeeper {
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stop = false;
  std::thread Thread;
};

namespace {

// Blocking exchange on a maintenance connection.
bool SendAll(int AHandle, const QByteArray& ABytes) {
  qsizetype sent = 0;
  while (sent < ABytes.size()) {
    pollfd handle{AHandle, POLLOUT, 0};
    if (::poll(&handle, 1, 5000) <= 0) return false;
    const ssize_t count = ::send(AHandle, ABytes.constData() + sent, static_cast<std::size_t>(ABytes.size() - sent),
                                 MSG_NOSIGNAL);
    if (count < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (count > 0) sent += count;
  }
  return true;
}

} // namespace

TTervoxRecordingPause::TTervoxRecordingPause(const QString& ADatabaseFile, const QString& AUser,
                                             const QString& AReason) {
  const TTervoxStationHolder holder = TTervoxStationLock::OtherHolder(ADatabaseFile);
  if (!holder.Held()) return;
  FPID = holder.PID;
  const QString who = holder.PID > 0 ? QStringLiteral("process %1 (%2)").arg(holder.PID).arg(holder.Program)
                                     : QStringLiteral("another process");
  const int handle = Connect(PathOf(holder, ADatabaseFile));
  if (handle < 0)
    throw EDqException(QStringLiteral("The database is being recorded by %1, which cannot be reached to pause "
                                      "recording. Nothing was changed.")
                           .arg(who));
  TStream stream(handle);
  const QByteArray request =
      Encode(THello{TRole::Maintenance, static_cast<std::uint32_t>(::getpid()), QStringLiteral("maintenance")}) +
      Encode(TPause{AUser, AReason});
  // Stopping the recorder's lines takes at most one reply time-out each.
  const TClock::time_point deadline = TClock::now() + std::chrono::seconds(30);
  bool answered = SendAll(handle, request);
  TPauseState state;
  bool paused = false;
  while (answered && !paused && TClock::now() < deadline) {
    pollfd wait{handle, POLLIN, 0};
    if (::poll(&wait, 1, 1000) < 0 && errno != EINTR) break;
    const bool open = stream.Fill();
    TMessage message;
    TDecode result;
    while ((result = stream.Next(message)) == TDecode::Message) {
      if (const auto* reply = std::get_if<TPauseState>(&message)) {
        state = *reply;
        paused = true;
      }
    }
    if (result == TDecode::Bad || !open) answered = false;
  }
  if (!paused || !state.Paused)
    throw EDqException(QStringLiteral("The database is being recorded by %1, which did not pause recording%2. "
                                      "Nothing was changed.")
                           .arg(who, state.Text.isEmpty() ? QString() : QStringLiteral(": ") + state.Text));
  FHandle = ::dup(handle);
  KeepAlive();
}

void TTervoxRecordingPause::KeepAlive() {
  // A silent peer is dropped, which would resume recording in the middle
  // of the work: heartbeats while it lasts.
  FKeeper = std::make_unique<TKeeper>();
  TKeeper* keeper = FKeeper.get();
  const int handle = FHandle;
  keeper->Thread = std::thread([keeper, handle] {
    std::unique_lock<std::mutex> lock(keeper->Lock);
    while (!keeper->Wake.wait_for(lock, TTervoxStationServer::kHeartbeat, [keeper] { return keeper->Stop; })) {
      lock.unlock();
      SendAll(handle, Encode(THeartbeat{}));
      lock.lock();
    }
  });
}

TTervoxRecordingPause::~TTervoxRecordingPause() {
  if (FKeeper) {
    {
      std::lock_guard<std::mutex> guard(FKeeper->Lock);
      FKeeper->Stop = true;
    }
    FKeeper->Wake.notify_all();
    FKeeper->Thread.join();
  }
  if (FHandle < 0) return;
  SendAll(FHandle, Encode(TResume{}));
  // The recorder resumes when the connection ends as well; waiting for its
  // answer keeps a maintenance run from ending before recording goes on.
  TStream stream(FHandle);
  const TClock::time_point deadline = TClock::now() + std::chrono::seconds(10);
  while (TClock::now() < deadline) {
    pollfd wait{FHandle, POLLIN, 0};
    if (::poll(&wait, 1, 500) < 0 && errno != EINTR) break;
    const bool open = stream.Fill();
    TMessage message;
    bool resumed = false;
    while (stream.Next(message) == TDecode::Message)
      if (const auto* state = std::get_if<TPauseState>(&message)) resumed = resumed || !state->Paused;
    if (resumed || !open) break;
  }
}
