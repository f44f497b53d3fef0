// The recorder's logins and rights: the recorder's own classes serve the
// socket in this process, the controller simulator answers on a
// pseudo-terminal, and peers speak the protocol by hand. What a peer may
// write follows from its logged-in user's group and the frame's registers;
// every refusal and forwarded write lands in the audit trail.
#include "StationTestSupport.h"
#include "TestSupport.h"
#include "station/StationPeer.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_User.h"
#include "station/Tervox_Recorder.h"
#include "station/Tervox_StationClient.h"
#include "comm/DqPort.h"
#include "trust/Tervox_Audit.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <mutex>

using namespace TervoxStation;
using tervox_test::Framed;
using tervox_test::Peer;
using tervox_test::ReadFrame;
using tervox_test::SimulatorProcess;
using tervox_test::WriteFrame;

namespace {

// A write of ACount registers from AAddress (function 16).
QByteArray WriteManyFrame(int ASlave, int AAddress, const std::vector<int>& AValues) {
  QByteArray frame;
  const int count = static_cast<int>(AValues.size());
  for (int byte : {ASlave, 16, AAddress >> 8, AAddress & 0xFF, 0, count, 2 * count}) frame.append(static_cast<char>(byte));
  for (int value : AValues) {
    frame.append(static_cast<char>((value >> 8) & 0xFF));
    frame.append(static_cast<char>(value & 0xFF));
  }
  const std::uint16_t crc = TModbusData::ComputeCRC16(frame);
  frame.append(static_cast<char>(crc & 0xFF));
  frame.append(static_cast<char>(crc >> 8));
  return frame;
}

// The register values a read reply carries.
std::vector<int> ReplyValues(const QByteArray& AReply) {
  std::vector<int> values;
  for (int i = 3; i + 1 < AReply.size() - 2; i += 2)
    values.push_back(static_cast<std::uint8_t>(AReply[i]) << 8 | static_cast<std::uint8_t>(AReply[i + 1]));
  return values;
}

class RecorderSessions : public ::testing::Test {
protected:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
    sim = std::make_unique<SimulatorProcess>(dir.Path(QStringLiteral("BUS")), QStringLiteral("1,2"));
    ASSERT_TRUE(sim->Started());
    path = dir.Path(QStringLiteral("station.db"));
    SetDatabaseFileName(path);
    tervox_test::WriteStation(sim->LinkPath(), {1, 2});
    // One user of each group (admin, 9372, comes with every database), an
    // administrators-like group without the mode right, a disabled user.
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO UserGroup (Name, CanAdmin, CanBackup, CanRestore, "
                                          "CanDeleteRecord, CanChangeMode) VALUES ('Supervisors', -1, -1, -1, -1, 0)"));
    for (const auto& [user, group, disabled] :
         {std::tuple{"eng", "Engineers", 0}, {"op", "Users", 0}, {"sup", "Supervisors", 0}, {"off", "Engineers", -1}}) {
      TSQLiteParamList row;
      row.SetParamValues(":Username", QString::fromLatin1(user));
      row.SetParamValues(":Password", HashPassword(QStringLiteral("pw-") + QString::fromLatin1(user)));
      row.SetParamValues(":GroupName", QString::fromLatin1(group));
      row.SetParamValues(":Disabled", disabled);
      GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Users (Username, Password, GroupName, DisplayName, Position, "
                                            "Disabled) VALUES (:Username, :Password, :GroupName, :Username, '', "
                                            ":Disabled)"),
                             &row);
    }
    CreateUserObjects();
    CreateEngineObjects();
    recorder = std::make_unique<TTervoxRecorder>([this](int, const QString& AText) {
      std::lock_guard<std::mutex> guard(journalLock);
      journal << AText;
    });
    QString error;
    ASSERT_TRUE(recorder->Start(TTervoxStationLock::SocketFileName(path), &error)) << error.toStdString();
  }

  void TearDown() override {
    if (recorder) recorder->Stop();
    recorder.reset();
    FreeEngineObjects();
    FreeDatabase();
    FreeUserObjects();
    SetDatabaseFileName(QString());
  }

  // A window of AUser logged in (its password: pw-<user>, admin's 9372).
  std::unique_ptr<Peer> Window(const QString& AUser) {
    auto peer = std::make_unique<Peer>(path);
    const auto login =
        peer->Attach(AUser, AUser == QLatin1String("admin") ? QStringLiteral("9372") : QStringLiteral("pw-") + AUser);
    EXPECT_TRUE(login && login->Accepted) << AUser.toStdString() << ": " << (login ? login->Text.toStdString() : "");
    return peer;
  }

  TTransactionReply Transact(Peer& APeer, const QString& AUser, const QByteArray& AFrame,
                             const QString& AName = QStringLiteral("WriteFix")) {
    APeer.Send(TTransaction{++seq, 0, 1, AName, AUser, AFrame});
    const auto reply = APeer.Next<TTransactionReply>();
    EXPECT_TRUE(reply.has_value());
    EXPECT_EQ(reply ? reply->Seq : 0, seq);
    return reply.value_or(TTransactionReply{});
  }

  // The trail once it holds ACount entries whose action is AAction (the
  // recorder appends on a thread of its own).
  std::vector<TervoxAudit::TEntry> Trail(const QString& AAction, std::size_t ACount) {
    std::vector<TervoxAudit::TEntry> found;
    (void)QTest::qWaitFor(
        [&] {
          found.clear();
          for (const TervoxAudit::TStored& stored : TervoxAudit::Entries(*GetDatabase(), 0, 1e7))
            if (stored.Entry.Action == AAction) found.push_back(stored.Entry);
          return found.size() >= ACount;
        },
        20000);
    return found;
  }

  tervox_test::TempDir dir;
  QString path;
  std::unique_ptr<SimulatorProcess> sim;
  std::unique_ptr<TTervoxRecorder> recorder;
  std::mutex journalLock;
  QStringList journal;
  std::uint32_t seq = 0;
};

// Every open register and its neighbours, against a user of each kind of
// group; every write labelled "WriteFix", so only the frame decides.
TEST_F(RecorderSessions, RegistersOpenToEveryUserAndTheRestNeedTheModeRight) {
  const std::vector<int> open = {768, 771, 2080, 2087, 384, 386, 387, 388, 389, 390, 2048, 2304, 2305};
  const std::vector<int> closed = {767, 772, 2079, 2088, 383, 385, 391, 401, 408, 2047, 2049, 2303, 2306, 1792};
  std::map<int, int> value; // as the controller holds it: written back unchanged
  auto admin = Window(QStringLiteral("admin"));
  for (const std::vector<int>* list : {&open, &closed})
    for (int address : *list) {
      const TTransactionReply read = Transact(*admin, QStringLiteral("admin"), ReadFrame(1, address));
      ASSERT_EQ(read.Outcome, TOutcome::Reply) << address;
      value[address] = ReplyValues(read.Reply).empty() ? 0 : ReplyValues(read.Reply)[0];
    }
  struct User {
    const char* Name;
    bool ModeRight;
  } const users[] = {{"admin", true}, {"eng", true}, {"op", false}, {"sup", false}};
  for (const User& user : users) {
    const QString name = QString::fromLatin1(user.Name);
    auto window = Window(name);
    // Reads need only the login.
    EXPECT_EQ(Transact(*window, name, ReadFrame(1, 772), QStringLiteral("ReadMode1")).Outcome, TOutcome::Reply);
    for (const std::vector<int>* list : {&open, &closed})
      for (int address : *list) {
        SCOPED_TRACE(std::string(user.Name) + " register " + std::to_string(address));
        const bool allowed = user.ModeRight || list == &open;
        const TTransactionReply reply = Transact(*window, name, WriteFrame(1, address, value[address]));
        EXPECT_EQ(reply.Outcome, allowed ? TOutcome::Reply : TOutcome::Refused);
        EXPECT_EQ(reply.Text, allowed ? QString()
                                      : QStringLiteral("The user %1 may not change the controllers' modes.").arg(name));
      }
    // A multiple write is allowed only when every register it covers is.
    EXPECT_EQ(Transact(*window, name, WriteManyFrame(1, 768, {value[768], 0, 0, value[771]})).Outcome,
              TOutcome::Reply);
    EXPECT_EQ(Transact(*window, name, WriteManyFrame(1, 2304, {value[2304], value[2305]})).Outcome, TOutcome::Reply);
    EXPECT_EQ(Transact(*window, name, WriteManyFrame(1, 771, {value[771], value[772]})).Outcome,
              user.ModeRight ? TOutcome::Reply : TOutcome::Refused);
  }
  // A mode setting under the FIX dialog's label changes nothing.
  auto op = Window(QStringLiteral("op"));
  const int before = sim->Register(1, 772);
  EXPECT_EQ(Transact(*op, QStringLiteral("op"), WriteFrame(1, 772, before + 1)).Outcome, TOutcome::Refused);
  EXPECT_EQ(sim->Register(1, 772), before);
}

// Each refusal answers with why, keeps the connection (the next request
// on it runs) and is in the trail.
TEST_F(RecorderSessions, RefusedRequestsAreAnsweredAuditedAndTheConnectionKept) {
  Peer stranger(path);
  ASSERT_TRUE(stranger.Attach().has_value());
  stranger.Send(TLogin{QStringLiteral("op"), QStringLiteral("wrong")});
  const auto wrong = stranger.Next<TLoginReply>(60000);
  ASSERT_TRUE(wrong.has_value());
  EXPECT_FALSE(wrong->Accepted);
  EXPECT_EQ(wrong->Text, QStringLiteral("The recorder refused the login: wrong user name or password."));
  Peer disabled(path);
  const auto off = disabled.Attach(QStringLiteral("off"), QStringLiteral("pw-off"));
  ASSERT_TRUE(off.has_value());
  EXPECT_FALSE(off->Accepted);
  EXPECT_EQ(off->Text, QStringLiteral("The user off is disabled."));

  auto eng = Window(QStringLiteral("eng"));
  struct Case {
    const char* Name;
    Peer* From;
    const char* User; // the transaction names
    QByteArray Frame;
    const char* Text;
  } const cases[] = {
      {"a write before any login", &stranger, "op", WriteFrame(1, 768, 5),
       "Settings are written only for a user logged in at TERVOX."},
      {"a read of a disabled user", &disabled, "off", ReadFrame(1, 768),
       "Settings are written only for a user logged in at TERVOX."},
      {"another user named", eng.get(), "admin", WriteFrame(1, 768, 5),
       "The user admin is not the user logged in at the recorder."},
      {"the broadcast address", eng.get(), "eng", WriteFrame(0, 768, 5),
       "The recorder forwards nothing to the broadcast address 0."},
      {"a slave no controller of the line has", eng.get(), "eng", WriteFrame(9, 768, 5),
       "No controller of line \"Bus\" ("},
      {"function 4", eng.get(), "eng", Framed({1, 4, 0, 0, 0, 1}),
       "The recorder forwards only reads and writes of holding registers, not function 4."},
      {"function 5", eng.get(), "eng", Framed({1, 5, 0, 0, 0xFF, 0}),
       "The recorder forwards only reads and writes of holding registers, not function 5."},
      {"function 15", eng.get(), "eng", Framed({1, 15, 0, 0, 0, 8, 1, 0xFF}),
       "The recorder forwards only reads and writes of holding registers, not function 15."},
  };
  const int before = sim->Register(1, 768);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTransactionReply reply = Transact(*c.From, QString::fromLatin1(c.User), c.Frame);
    EXPECT_EQ(reply.Outcome, TOutcome::Refused);
    EXPECT_TRUE(reply.Text.startsWith(QString::fromLatin1(c.Text))) << reply.Text.toStdString();
    // The connection stays: its next request is answered (and run, for
    // the logged-in window).
    const bool logged = c.From == eng.get();
    EXPECT_EQ(Transact(*c.From, logged ? QStringLiteral("eng") : QString::fromLatin1(c.User), ReadFrame(1, 768)).Outcome,
              logged ? TOutcome::Reply : TOutcome::Refused);
  }
  EXPECT_EQ(sim->Register(1, 768), before);
  // The refusals for the unknown slave name the address.
  EXPECT_TRUE(Transact(*eng, QStringLiteral("eng"), WriteFrame(9, 768, 5)).Text.endsWith(QStringLiteral("has the address 9.")));

  // In the trail: who (the session's user, or the recorder for a
  // connection without one), what and why; the stranger can log in still.
  const std::size_t refusals = std::size(cases) + 2 /* the refused reads after */ + 1;
  const auto refused = Trail(QStringLiteral("request refused"), refusals);
  ASSERT_EQ(refused.size(), refusals);
  EXPECT_EQ(refused[0].User, QString::fromLatin1(TervoxAudit::kRecorder));
  EXPECT_EQ(refused[0].TargetKind, QString::fromLatin1(TervoxAudit::kPort));
  EXPECT_TRUE(refused[0].Reason.startsWith(QStringLiteral("Settings are written only for a user logged in at TERVOX. "
                                                          "(WriteFix naming op, function 6, slave address 1)")))
      << refused[0].Reason.toStdString();
  EXPECT_EQ(refused[0].Changes, (std::vector<TervoxAudit::TChange>{}));
  const auto& named = refused[4];
  EXPECT_EQ(named.User, QStringLiteral("eng"));
  EXPECT_EQ(named.TargetKind, QString::fromLatin1(TervoxAudit::kPort)) << "checked before the controller";
  for (const char* why : {"broadcast address 0", "has the address 9", "not function 4", "not function 5",
                          "not function 15"}) {
    const auto it = std::find_if(refused.begin(), refused.end(),
                                 [why](const auto& AEntry) { return AEntry.Reason.contains(QString::fromLatin1(why)); });
    EXPECT_NE(it, refused.end()) << why;
  }
  const auto failed = Trail(QStringLiteral("login failed at the recorder"), 2);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].TargetKind, QString::fromLatin1(TervoxAudit::kUser));
  EXPECT_EQ(failed[0].Target, QStringLiteral("op"));
  EXPECT_EQ(failed[0].Reason, QStringLiteral("wrong password"));
  EXPECT_EQ(failed[1].Target, QStringLiteral("off"));
  EXPECT_EQ(failed[1].Reason, QStringLiteral("disabled user"));
  stranger.Send(TLogin{QStringLiteral("op"), QStringLiteral("pw-op")});
  const auto right = stranger.Next<TLoginReply>(60000);
  ASSERT_TRUE(right.has_value());
  EXPECT_TRUE(right->Accepted) << right->Text.toStdString();
  EXPECT_EQ(Transact(stranger, QStringLiteral("op"), ReadFrame(1, 768)).Outcome, TOutcome::Reply);
  // After a logout nothing runs for it again.
  stranger.Send(TLogout{});
  EXPECT_EQ(Transact(stranger, QStringLiteral("op"), ReadFrame(1, 768)).Outcome, TOutcome::Refused);
  EXPECT_EQ(Trail(QStringLiteral("logout at the recorder"), 1).size(), 1u);
}

// Each failed login makes the connection's next one wait longer (checked
// as at-least and as order only); meanwhile another window is served.
TEST_F(RecorderSessions, FailedLoginsWaitLongerEachTimeWhileOtherWindowsAreServed) {
  auto admin = Window(QStringLiteral("admin"));
  Peer guesser(path);
  ASSERT_TRUE(guesser.Attach().has_value());
  std::vector<qint64> took;
  for (int i = 0; i < 3; ++i) {
    QElapsedTimer timer;
    timer.start();
    guesser.Send(TLogin{QStringLiteral("admin"), QStringLiteral("guess %1").arg(i)});
    // A second login while one is checked is answered at once, unchecked.
    if (i == 2) {
      guesser.Send(TLogin{QStringLiteral("admin"), QStringLiteral("and another")});
      const auto busy = guesser.Next<TLoginReply>(60000);
      ASSERT_TRUE(busy.has_value());
      EXPECT_EQ(busy->Text, QStringLiteral("A login is already being checked."));
      // The other window's read runs while the guess waits its turn.
      EXPECT_EQ(Transact(*admin, QStringLiteral("admin"), ReadFrame(1, 768)).Outcome, TOutcome::Reply);
      guesser.Pump(0);
      EXPECT_FALSE(guesser.Next<TLoginReply>(0).has_value()) << "the guess was answered before the read";
    }
    const std::optional<TLoginReply> reply = guesser.Next<TLoginReply>(60000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_FALSE(reply->Accepted);
    took.push_back(timer.elapsed());
  }
  // The right password waits as long as a guess would.
  QElapsedTimer timer;
  timer.start();
  guesser.Send(TLogin{QStringLiteral("admin"), QStringLiteral("9372")});
  const auto right = guesser.Next<TLoginReply>(60000);
  ASSERT_TRUE(right.has_value());
  EXPECT_TRUE(right->Accepted);
  took.push_back(timer.elapsed());
  const auto first = TTervoxRecorder::kFirstLoginDelay.count();
  EXPECT_GE(took[1], first);
  EXPECT_GE(took[2], 2 * first);
  EXPECT_GE(took[3], 4 * first);
  EXPECT_LT(took[1], took[2]);
  EXPECT_LT(took[2], took[3]);
  EXPECT_EQ(Trail(QStringLiteral("login failed at the recorder"), 3).size(), 3u);
}

// A FIX write in the trail: the logged-in user, the controller, each
// register's value before and after, and the controller's answer.
TEST_F(RecorderSessions, ForwardedWritesAreAuditedWithTheUserAndEachRegistersOldAndNewValue) {
  ASSERT_TRUE(sim->Do(QStringLiteral("set 2 768 1234")));
  ASSERT_TRUE(sim->Do(QStringLiteral("set 2 769 55")));
  {
    auto op = Window(QStringLiteral("op"));
    EXPECT_EQ(Transact(*op, QStringLiteral("op"), WriteFrame(2, 768, 777)).Outcome, TOutcome::Reply);
    EXPECT_EQ(Transact(*op, QStringLiteral("op"), WriteManyFrame(2, 769, {66, 1234})).Outcome, TOutcome::Reply);
    // A read's selection is no setting: not in the trail.
    EXPECT_EQ(Transact(*op, QStringLiteral("op"), WriteFrame(2, 2305, 1), QStringLiteral("ReadProgram")).Outcome,
              TOutcome::Reply);
  }
  EXPECT_EQ(sim->Register(2, 768), 777);
  // The simulated controller knows no function 16: it answers with an
  // exception, and the trail says the write was not acknowledged.
  EXPECT_EQ(sim->Register(2, 769), 55);
  auto written = Trail(QStringLiteral("setting written"), 1);
  const auto refused = Trail(QStringLiteral("setting not acknowledged by the controller"), 1);
  ASSERT_EQ(written.size(), 1u);
  ASSERT_EQ(refused.size(), 1u);
  written.push_back(refused[0]);
  for (const auto& entry : written) {
    EXPECT_EQ(entry.User, QStringLiteral("op"));
    EXPECT_EQ(entry.TargetKind, QString::fromLatin1(TervoxAudit::kController));
    EXPECT_EQ(entry.Target, QStringLiteral("C2"));
    EXPECT_EQ(entry.TargetID, 2);
    EXPECT_EQ(entry.Reason, QStringLiteral("WriteFix"));
  }
  // Named as the settings pages name them, in the controller's decimals
  // (none read yet here).
  EXPECT_EQ(written[0].Changes, (std::vector<TervoxAudit::TChange>{{QStringLiteral("FIX-SV1 (register 768)"),
                                                                     QStringLiteral("1234"), QStringLiteral("777")}}));
  ASSERT_EQ(written[1].Changes.size(), 2u);
  EXPECT_EQ(written[1].Changes[0],
            (TervoxAudit::TChange{QStringLiteral("FIX-SV2 (register 769)"), QStringLiteral("55"), QStringLiteral("66")}));
  EXPECT_EQ(written[1].Changes[1].Field, QStringLiteral("FIX-SV3 (register 770)"));
  EXPECT_EQ(written[1].Changes[1].Old, QString::number(sim->Register(2, 770)));
  EXPECT_EQ(written[1].Changes[1].New, QStringLiteral("1234"));
  // The session's start and its end with the connection.
  const auto logins = Trail(QStringLiteral("login at the recorder"), 1);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].User, QStringLiteral("op"));
  EXPECT_EQ(Trail(QStringLiteral("logout at the recorder: connection ended"), 1).size(), 1u);
  // The usage log keeps its line per request, under the user.
  EXPECT_EQ(GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM UsageLog WHERE Detail = "
                                                        "'WriteFix by op (op)'")),
            2);
}

} // namespace

namespace {

// The window's side against tervox-recorder itself: the station client
// logs its user in, shows a refused login as each request's failure, and
// logs in again when the recorder comes back.
TEST(StationClientLogin, LogsInThroughTheRecorderAndAgainAfterItReturns) {
  if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
  tervox_test::TempDir dir;
  SimulatorProcess sim(dir.Path(QStringLiteral("BUS")), QStringLiteral("1"));
  ASSERT_TRUE(sim.Started());
  const QString path = dir.Path(QStringLiteral("station.db"));
  SetDatabaseFileName(path);
  tervox_test::WriteStation(sim.LinkPath(), {1});
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Users (Username, Password, GroupName, DisplayName, Position) "
                                        "VALUES ('op', '%1', 'Users', 'Operator', '')")
                             .arg(HashPassword(QStringLiteral("pw-op"))));
  FreeDatabase();
  SetDatabaseFileName(QString());

  auto recorder = std::make_unique<tervox_test::RecorderProcess>(path);
  ASSERT_TRUE(recorder->Serving()) << recorder->Journal().toStdString();
  std::atomic<std::int64_t> attachedTo{0};
  TTervoxStationClient::THandlers handlers;
  handlers.StateChanged = [&attachedTo](TTervoxStationClient::TState AState, std::int64_t APID) {
    attachedTo = AState == TTervoxStationClient::TState::Attached ? APID : 0;
  };
  TTervoxStationClient window(path), guesser(path);
  window.SetUser(QStringLiteral("op"), QStringLiteral("pw-op"));
  guesser.SetUser(QStringLiteral("op"), QStringLiteral("not it"));
  window.Start(handlers);
  guesser.Start({});
  const auto write = [](TTervoxStationClient& AClient, int AValue, QString& AError) {
    QByteArray reply;
    return AClient.LineTransport(1)->Transact(WriteFrame(1, 768, AValue), reply, AError);
  };

  QString error;
  ASSERT_TRUE(QTest::qWaitFor([&] { return attachedTo == recorder->PID(); }, 20000));
  EXPECT_TRUE(write(window, 321, error)) << error.toStdString();
  EXPECT_EQ(sim.Register(1, 768), 321);
  EXPECT_FALSE(write(guesser, 322, error));
  EXPECT_EQ(error, QStringLiteral("Settings are written only for a user logged in at TERVOX."));
  EXPECT_EQ(sim.Register(1, 768), 321);

  // The trail holds the login before the recorder dies.
  tervox_test::RawDatabase raw(path);
  const QString logins = QStringLiteral("SELECT count(*) FROM AuditTrail WHERE Username = 'op' AND "
                                        "Action = 'login at the recorder'");
  EXPECT_TRUE(QTest::qWaitFor([&] { return raw.Number(logins) == 1; }, 20000));
  // The recorder dies and comes back: a new connection, a new login.
  recorder->Kill();
  recorder = std::make_unique<tervox_test::RecorderProcess>(path);
  ASSERT_TRUE(recorder->Serving()) << recorder->Journal().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return attachedTo == recorder->PID(); }, 20000));
  EXPECT_TRUE(write(window, 323, error)) << error.toStdString();
  EXPECT_EQ(sim.Register(1, 768), 323);
  window.Stop();
  guesser.Stop();
  EXPECT_TRUE(recorder->WaitFor(QStringLiteral("op logged in at the recorder")));
  EXPECT_EQ(recorder->Terminate(), 0);
  EXPECT_EQ(raw.Number(logins), 2);
  // The window's session ended as it stopped; the password is in no entry.
  EXPECT_EQ(raw.Number(QStringLiteral("SELECT count(*) FROM AuditTrail WHERE Action LIKE 'logout at the recorder%'")),
            1);
  EXPECT_EQ(raw.Number(QStringLiteral("SELECT count(*) FROM AuditTrail WHERE Reason LIKE '%not it%' OR "
                                      "Changes LIKE '%not it%'")),
            0);
}

} // namespace
