// The recorder's logins: each connection's user, checked against the Users
// table as the window checks it, on a thread of its own (the desk), which
// also appends the audit trail's entries.
#include "Tervox_Recorder.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "plant/Tervox_User.h"
#include "trust/Tervox_Audit.h"

#include <condition_variable>
#include <functional>
#include <thread>

using namespace TervoxStation;
using TClock = std::chrono::steady_clock;

// Work that may be slow (Argon2id, the trail's write transaction) away from
// the server's thread and the lines: jobs run in the order they are due.
class TTervoxRecorder::TDesk {
public:
  TDesk() : FThread([this] { Run(); }) {}
  ~TDesk() {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FStop = true;
    }
    FWake.notify_all();
    FThread.join();
    // What must not be lost (the trail's entries) still runs; delayed
    // logins do not.
    for (auto& [due, job] : FJobs)
      if (job.AtStop) job.Work();
  }
  void Post(TClock::time_point ADue, std::function<void()> AWork, bool AAtStop) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FJobs.emplace(ADue, TJob{std::move(AWork), AAtStop});
    }
    FWake.notify_all();
  }

private:
  struct TJob {
    std::function<void()> Work;
    bool AtStop = false;
  };
  void Run() {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FStop) {
      if (FJobs.empty()) {
        FWake.wait(lock);
        continue;
      }
      const auto first = FJobs.begin();
      if (first->first > TClock::now()) {
        FWake.wait_until(lock, first->first);
        continue;
      }
      std::function<void()> work = std::move(first->second.Work);
      FJobs.erase(first);
      lock.unlock();
      work();
      lock.lock();
    }
  }
  std::mutex FLock;
  std::condition_variable FWake;
  bool FStop = false;
  std::multimap<TClock::time_point, TJob> FJobs;
  std::thread FThread; // last: it runs on the members above
};

// Here, where the desk is whole.
TTervoxRecorder::TTervoxRecorder(TLog ALog) : FLog(std::move(ALog)) {}

TTervoxRecorder::~TTervoxRecorder() { Stop(); }

void TTervoxRecorder::StartDesk() {
  if (!FDesk) FDesk = std::make_unique<TDesk>();
}

void TTervoxRecorder::StopDesk() { FDesk.reset(); }

void TTervoxRecorder::Audit(const TervoxAudit::TEntry& AEntry) {
  if (!FDesk) return;
  FDesk->Post(
      TClock::now(),
      [this, AEntry] {
        std::unique_lock<std::mutex> database(FDatabaseUse);
        if (Paused()) {
          // Maintenance may be replacing the file: the entry waits for it.
          database.unlock();
          if (FDesk) FDesk->Post(TClock::now() + std::chrono::seconds(1), [this, AEntry] { Audit(AEntry); }, true);
          return;
        }
        if (!TervoxAudit::AppendQuietly(AEntry))
          FLog(3, QStringLiteral("the audit trail cannot be written: %1").arg(AEntry.Action));
      },
      true);
}

TTervoxRecorder::TSession TTervoxRecorder::SessionOf(TTervoxPeerID APeer) const {
  std::lock_guard<std::mutex> guard(FLock);
  const auto found = FSessions.find(APeer);
  return found == FSessions.end() ? TSession{} : found->second;
}

namespace {

TervoxAudit::TEntry UserEntry(const QString& AUser, const QString& AAction, const QString& AReason = QString()) {
  TervoxAudit::TEntry entry;
  entry.User = AUser;
  entry.TargetKind = QString::fromLatin1(TervoxAudit::kUser);
  entry.Target = AUser;
  entry.Action = AAction;
  entry.Reason = AReason;
  return entry;
}

} // namespace

std::chrono::milliseconds TTervoxRecorder::LoginDelay(int AFailures) {
  if (AFailures <= 0) return std::chrono::milliseconds{0};
  return std::min<std::chrono::milliseconds>(kFirstLoginDelay * (1LL << std::min(AFailures - 1, 16)), kLastLoginDelay);
}

// On the server's thread: queued for the desk, to run after the delay
// earlier failures of this connection earned, counted from its arrival.
void TTervoxRecorder::Login(TTervoxPeerID APeer, const TLogin& ALogin) {
  if (Paused()) {
    FServer->Send(APeer, TLoginReply{false, ALogin.User, QStringLiteral("Recording is paused for maintenance.")});
    return;
  }
  std::uint64_t attempt = 0;
  TClock::time_point due;
  QString previous;
  {
    std::lock_guard<std::mutex> guard(FLock);
    TSession& session = FSessions[APeer];
    if (session.Checking) {
      // One check at a time per connection: a flood waits for nothing.
      FServer->Send(APeer, TLoginReply{false, ALogin.User, QStringLiteral("A login is already being checked.")});
      return;
    }
    // A new login ends the session at once: nothing runs as the old user
    // while the new one is checked.
    if (session.LoggedIn) previous = session.Username;
    session.LoggedIn = false;
    session.Checking = true;
    attempt = ++session.Attempt;
    due = TClock::now() + LoginDelay(session.Failures);
  }
  if (!previous.isEmpty()) Audit(UserEntry(previous, QStringLiteral("logout at the recorder: another login")));
  FDesk->Post(
      due, [this, APeer, attempt, user = ALogin.User, password = ALogin.Password] {
        CheckLogin(APeer, attempt, user, password);
      },
      false);
}

// On the desk: the window's own checks (Tervox_User.h), and Disabled.
void TTervoxRecorder::CheckLogin(TTervoxPeerID APeer, std::uint64_t AAttempt, const QString& AUser,
                                 const QString& APassword) {
  TTervoxUser user;
  QString why;    // for the trail
  QString answer; // for the window: which of name and password was wrong stays unsaid
  const QString wrong = QStringLiteral("The recorder refused the login: wrong user name or password.");
  {
    // Superseded checks cost no hashing: a peer that logs in and out in a
    // loop keeps the desk busy with one check at most.
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FSessions.find(APeer);
    if (found == FSessions.end() || found->second.Attempt != AAttempt) return;
  }
  std::unique_lock<std::mutex> database(FDatabaseUse);
  if (Paused()) {
    answer = QStringLiteral("Recording is paused for maintenance.");
  } else {
    try {
      TSQLiteTable table(GetDatabase());
      table.SetSQL(QStringLiteral("SELECT * FROM Users WHERE Username = :Username"));
      table.SetParamValues(":Username", AUser);
      table.Open();
      if (table.Eof() || AUser.isEmpty()) {
        why = QStringLiteral("unknown user");
        answer = wrong;
      } else {
        user.LoadFromDB(&table);
        if (!CheckPassword(user.Password, APassword)) {
          why = QStringLiteral("wrong password");
          answer = wrong;
        } else if (user.Disabled) {
          why = QStringLiteral("disabled user");
          answer = QStringLiteral("The user %1 is disabled.").arg(AUser);
        }
      }
    } catch (const EDqException& e) {
      why = e.Message();
      answer = QStringLiteral("The recorder cannot check the login: %1").arg(e.Message());
    }
  }
  database.unlock();
  const bool accepted = answer.isEmpty();
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FSessions.find(APeer);
    // Gone, logged out or superseded meanwhile: nobody waits for this one.
    if (found == FSessions.end() || found->second.Attempt != AAttempt) return;
    TSession& session = found->second;
    session.Checking = false;
    if (accepted) {
      session.LoggedIn = true;
      session.Username = user.Username;
      session.DisplayName = user.DisplayName;
      session.CanChangeMode = user.Group()->CanChangeMode;
      session.Failures = 0;
    } else if (!why.isEmpty()) {
      ++session.Failures;
      delay = LoginDelay(session.Failures);
    }
  }
  if (FServer) FServer->Send(APeer, TLoginReply{accepted, AUser, answer});
  if (accepted) {
    FLog(6, QStringLiteral("%1 logged in at the recorder").arg(AUser));
    Audit(UserEntry(AUser, QStringLiteral("login at the recorder")));
  } else if (!why.isEmpty()) {
    FLog(4, QStringLiteral("login of %1 refused: %2; the next waits %3 s").arg(AUser, why).arg(delay.count() / 1000.0));
    Audit(UserEntry(AUser, QStringLiteral("login failed at the recorder"), why));
  }
}

void TTervoxRecorder::Logout(TTervoxPeerID APeer, const QString& AAction) {
  QString user;
  {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FSessions.find(APeer);
    if (found == FSessions.end()) return;
    TSession& session = found->second;
    // A check still running counts for nothing now.
    ++session.Attempt;
    session.Checking = false;
    if (session.LoggedIn) user = session.Username;
    session.LoggedIn = false;
  }
  if (!user.isEmpty()) Audit(UserEntry(user, AAction));
}
