// tervox-recorder as a service runs it: recording with nobody logged in,
// telling the service manager it is ready and alive, one recorder per
// database, a clean stop on SIGTERM; its socket drops peers that misbehave,
// keeps a line for one settings request at a time and checks who writes;
// maintenance pauses it.
#include "StationTestSupport.h"
#include "station/StationPeer.h"
#include "comm/DqModbus.h"
#include "core/DqRoutine.h"
#include "station/Tervox_StationClient.h"
#include "store/Tervox_StationLock.h"
#include "station/Tervox_StationProtocol.h"
#include "station/Tervox_StationSocket.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>

#include <cstring>
#include <functional>
#include <optional>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace TervoxStation;
using tervox_test::RawDatabase;
using tervox_test::RecorderProcess;
using tervox_test::SimulatorProcess;
using tervox_test::Peer;
using tervox_test::ReadFrame;
using tervox_test::ReplyValue;
using tervox_test::WindowHello;
using tervox_test::WriteFrame;

namespace {

// A station of three controllers on one simulated line, its database
// written through TERVOX's own bootstrap.
class RecorderStation : public ::testing::Test {
protected:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
    sim = std::make_unique<SimulatorProcess>(dir.Path(QStringLiteral("BUS")), QStringLiteral("1,2,3"));
    ASSERT_TRUE(sim->Started());
    path = dir.Path(QStringLiteral("station.db"));
    SetDatabaseFileName(path);
    tervox_test::WriteStation(sim->LinkPath(), {1, 2, 3});
    FreeDatabase();
    SetDatabaseFileName(QString());
    raw = std::make_unique<RawDatabase>(path);
    ASSERT_TRUE(raw->Ok());
  }

  long long Rows(int ADevice) const {
    return raw->Number(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = %1").arg(ADevice));
  }

  tervox_test::TempDir dir;
  QString path;
  std::unique_ptr<SimulatorProcess> sim;
  std::unique_ptr<RawDatabase> raw;
};

// The service manager's end of NOTIFY_SOCKET.
class NotifySocket {
public:
  explicit NotifySocket(const QString& APath) : FPath(APath) {
    FHandle = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = APath.toLocal8Bit();
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    FBound = ::bind(FHandle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() { ::close(FHandle); }
  bool Bound() const { return FBound; }
  // Every message received until one contains AText (or ATimeOut ms).
  bool WaitFor(const QByteArray& AText, int ATimeOut) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ATimeOut) {
      pollfd wait{FHandle, POLLIN, 0};
      if (::poll(&wait, 1, 200) <= 0) continue;
      char buffer[4096];
      const ssize_t count = ::recv(FHandle, buffer, sizeof buffer, 0);
      if (count <= 0) continue;
      const QByteArray message(buffer, static_cast<qsizetype>(count));
      Messages << QString::fromUtf8(message);
      if (message.split('\n').contains(AText)) return true;
    }
    return false;
  }
  QStringList Messages;

private:
  QString FPath;
  int FHandle = -1;
  bool FBound = false;
};


TEST(RecorderProgram, HelpVersionAndWrongArguments) {
  if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
  struct Case {
    QStringList Arguments;
    int ExitCode;
    const char* Says;
  } const cases[] = {
      {{QStringLiteral("--help")}, 0, "Usage: tervox-recorder [--database FILE]"},
      {{QStringLiteral("--version")}, 0, "tervox-recorder "},
      {{QStringLiteral("--databse"), QStringLiteral("x")}, 2, "unknown argument --databse"},
      {{QStringLiteral("--database")}, 2, "--database needs a file name"},
  };
  for (const Case& c : cases) {
    QProcess process;
    process.start(tervox_test::ProgramPath("tervox-recorder"), c.Arguments);
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), c.ExitCode) << c.Says;
    const QString said = QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
    EXPECT_TRUE(said.contains(QString::fromLatin1(c.Says))) << said.toStdString();
  }
}

// Started on a database that is not there yet, the recorder makes its
// folder for its user alone and the database for it alone, as the window does.
TEST(RecorderProgram, MakesANewDatabaseAndItsFolderPrivate) {
  if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
  tervox_test::TempDir dir;
  const QString database = dir.Path(QStringLiteral("new/station/Tervox.db"));
  RecorderProcess recorder(database);
  ASSERT_TRUE(recorder.Serving()) << recorder.Journal().toStdString();
  EXPECT_EQ(tervox_test::FileMode(dir.Path(QStringLiteral("new/station"))), 0700);
  EXPECT_EQ(tervox_test::FileMode(database), 0600);
  EXPECT_EQ(recorder.Terminate(), 0);
}

TEST_F(RecorderStation, RecordsWithNobodyLoggedInTellsTheServiceManagerAndStopsCleanly) {
  NotifySocket notify(dir.Path(QStringLiteral("notify")));
  ASSERT_TRUE(notify.Bound());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("NOTIFY_SOCKET"), dir.Path(QStringLiteral("notify")));
  environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000"));
  RecorderProcess recorder(path, environment);
  ASSERT_TRUE(notify.WaitFor("READY=1", 30000)) << notify.Messages.join(QLatin1Char('|')).toStdString();
  const long long before[3] = {Rows(1), Rows(2), Rows(3)};
  ASSERT_TRUE(notify.WaitFor("WATCHDOG=1", 30000)) << notify.Messages.join(QLatin1Char('|')).toStdString();
  // About one row a second each: every controller keeps adding rows.
  for (int device = 1; device <= 3; ++device)
    EXPECT_TRUE(QTest::qWaitFor([&] { return Rows(device) >= before[device - 1] + 3; }, 30000)) << "controller " << device;
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", 30000)) << "fed while the line reads";
  const QString journal = recorder.Journal();
  EXPECT_TRUE(journal.contains(QStringLiteral("recording 3 controller(s) on 1 line(s)"))) << journal.toStdString();
  EXPECT_TRUE(journal.contains(QStringLiteral("line \"Bus\" (%1) opened").arg(sim->LinkPath()))) << journal.toStdString();

  const long long seen = raw->Number(QStringLiteral("SELECT count(*) FROM DeviceData"));
  EXPECT_EQ(recorder.Terminate(), 0);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", 5000));
  EXPECT_TRUE(recorder.Journal().contains(QStringLiteral("stopped")));
  EXPECT_GE(raw->Number(QStringLiteral("SELECT count(*) FROM DeviceData")), seen);
  // The minute summaries follow the recording, up to its last row.
  EXPECT_EQ(raw->Number(QStringLiteral("SELECT sum(Rows) FROM DeviceDataMinute")),
            raw->Number(QStringLiteral("SELECT count(*) FROM DeviceData")));
  EXPECT_EQ(raw->Text(QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
  EXPECT_FALSE(QFile::exists(TTervoxStationLock::SocketFileName(path)));
  EXPECT_FALSE(TTervoxStationLock::OtherHolder(path).Held());
}

TEST_F(RecorderStation, OneRecorderPerDatabaseAndAKilledOneBlocksNothing) {
  auto first = std::make_unique<RecorderProcess>(path);
  ASSERT_TRUE(first->Serving()) << first->Journal().toStdString();
  RecorderProcess second(path);
  EXPECT_EQ(second.Finished(), 1);
  EXPECT_TRUE(second.Journal().contains(
      QStringLiteral("%1 is already recorded by process %2 (tervox-recorder); this recorder does not start")
          .arg(path)
          .arg(first->PID())))
      << second.Journal().toStdString();
  EXPECT_EQ(Rows(1) > 0 || QTest::qWaitFor([&] { return Rows(1) > 0; }, 20000), true);

  // kill -9 in the middle of recording: the next one starts at once.
  first->Kill();
  EXPECT_EQ(raw->Text(QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
  const long long rows = Rows(1);
  RecorderProcess third(path);
  ASSERT_TRUE(third.Serving()) << third.Journal().toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Rows(1) > rows; }, 20000));
}

TEST_F(RecorderStation, TheJournalSaysWhenAControllerIsLostAndBack) {
  RecorderProcess recorder(path);
  ASSERT_TRUE(recorder.Serving());
  const auto answered = [&] {
    return raw->Number(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = 2 AND PV <> 32767")) > 0;
  };
  ASSERT_TRUE(QTest::qWaitFor(answered, 20000));
  ASSERT_TRUE(sim->Do(QStringLiteral("silent 2 on")));
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("controller \"C2\" (address 2) lost"))) << recorder.Journal().toStdString();
  ASSERT_TRUE(sim->Do(QStringLiteral("silent 2 off")));
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("controller \"C2\" (address 2) back"))) << recorder.Journal().toStdString();
  // A lost controller still gets its rows ("no value"), the others theirs.
  EXPECT_GT(raw->Number(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = 2 AND PV = 32767")), 0);
}

// The recorder keeps the months of history it is told to: old rows move to
// their year's archive beside the database, the journal says so in one
// line, and the outcome is stored where every window reads it.
TEST_F(RecorderStation, TheRecorderArchivesOldHistoryAndSaysSo) {
  ASSERT_TRUE(raw->Exec(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999) "
                                       "INSERT INTO DeviceData (DeviceID, ReadTime, PV, SV) SELECT 1, %1 + i / 1440.0, i, 1 FROM n")
                            .arg(EncodeDateTime(2020, 6, 1), 0, 'g', 17)));
  ASSERT_TRUE(raw->Exec(QStringLiteral("INSERT INTO Config (Name, Value) VALUES ('KeepHistoryMonths', '1')")));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("TERVOX_ARCHIVE_FIRST_CHECK"), QStringLiteral("0"));
  RecorderProcess recorder(path, environment);
  ASSERT_TRUE(recorder.Serving());
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("archived: 1000 record(s) into Tervox-archive-2020.db")))
      << recorder.Journal().toStdString();
  EXPECT_EQ(recorder.Journal().count(QStringLiteral("History before")), 1);
  EXPECT_EQ(Rows(1), raw->Number(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = 1 AND ReadTime >= %1")
                                     .arg(EncodeDateTime(2021, 1, 1), 0, 'g', 17)));
  EXPECT_TRUE(QFile::exists(dir.Path(QStringLiteral("Tervox-archive-2020.db"))));
  EXPECT_EQ(raw->Text(QStringLiteral("SELECT Value FROM Config WHERE Name = 'ArchiveLastFailed'")), QStringLiteral("0"));
  EXPECT_TRUE(raw->Text(QStringLiteral("SELECT Value FROM Config WHERE Name = 'ArchiveLastResult'"))
                  .endsWith(QStringLiteral("archived: 1000 record(s) into Tervox-archive-2020.db")));
}

TEST_F(RecorderStation, PeersThatMisbehaveAreDroppedAndTheOthersGoOn) {
  RecorderProcess recorder(path);
  ASSERT_TRUE(recorder.Serving());
  Peer good(path);
  ASSERT_TRUE(good.Connected());
  good.Send(WindowHello());
  ASSERT_TRUE(good.Next<TWelcome>().has_value());
  ASSERT_TRUE(good.Next<TStatus>().has_value());

  struct Case {
    const char* Name;
    std::function<void(Peer&)> Act;
  };
  QByteArray truncated = Encode(TAlarm{1, 0, QStringLiteral("never finished")});
  truncated.chop(3);
  QByteArray unknownType = Encode(THeartbeat{});
  unknownType[5] = static_cast<char>(200);
  QByteArray badVersion = Encode(THeartbeat{});
  badVersion[4] = 9;
  const Case cases[] = {
      {"garbage", [](Peer& APeer) { APeer.SendRaw(QByteArray("GET / HTTP/1.0\r\n\r\n")); }},
      {"a length past any message", [](Peer& APeer) { APeer.SendRaw(QByteArray("\xff\xff\xff\x7f\x01\x02", 6)); }},
      {"a truncated frame, then silence", [truncated](Peer& APeer) {
         APeer.Send(WindowHello());
         APeer.SendRaw(truncated);
       }},
      {"an unknown request", [unknownType](Peer& APeer) {
         APeer.Send(WindowHello());
         APeer.SendRaw(unknownType);
       }},
      {"another version", [badVersion](Peer& APeer) { APeer.SendRaw(badVersion); }},
      {"a message only the recorder sends", [](Peer& APeer) {
         APeer.Send(WindowHello());
         APeer.Send(TLossAlertClosed{});
       }},
      {"no hello first", [](Peer& APeer) { APeer.Send(TReload{ReloadSettings}); }},
      // Says hello, then never reads nor writes again.
      {"a peer that never reads", [](Peer& APeer) { APeer.Send(WindowHello()); }},
  };
  std::vector<std::unique_ptr<Peer>> bad;
  for (const Case& c : cases) {
    bad.push_back(std::make_unique<Peer>(path));
    ASSERT_TRUE(bad.back()->Connected()) << c.Name;
    c.Act(*bad.back());
  }
  // Each is dropped; the good peer (with its heartbeats) hears on.
  for (std::size_t i = 0; i < bad.size(); ++i) {
    QElapsedTimer timer;
    timer.start();
    while (!bad[i]->Dropped(500) && timer.elapsed() < 30000) {
      good.Send(THeartbeat{});
      good.Pump(0);
    }
    EXPECT_TRUE(bad[i]->Dropped(0)) << cases[i].Name;
  }
  good.Send(THeartbeat{});
  good.Pump(0);
  std::optional<TStatus> status;
  while ((status = good.Next<TStatus>(0))) {
  } // what came meanwhile
  EXPECT_TRUE(good.Next<TStatus>().has_value()) << "the good peer still receives every read";
  EXPECT_TRUE(recorder.Running());
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("dropped process %1").arg(::getpid()), 10000, static_cast<int>(bad.size())))
      << recorder.Journal().toStdString();
}

TEST_F(RecorderStation, ASettingsRequestKeepsTheLineAndWritesAreCheckedAndLogged) {
  raw->Exec(QStringLiteral("INSERT INTO Users (Username, Password, GroupName, DisplayName, Position) "
                           "VALUES ('watcher', 'w', 'Users', 'Watcher', '')"));
  RecorderProcess recorder(path);
  ASSERT_TRUE(recorder.Serving());
  Peer a(path), b(path), w(path), nobody(path);
  for (Peer* peer : {&a, &b}) {
    const auto login = peer->Attach(QStringLiteral("admin"), QStringLiteral("9372"));
    ASSERT_TRUE(login && login->Accepted) << (login ? login->Text.toStdString() : "no answer");
    // Both windows see the live reads.
    ASSERT_TRUE(peer->Next<TStatus>().has_value());
  }
  const auto watcher = w.Attach(QStringLiteral("watcher"), QStringLiteral("w"));
  ASSERT_TRUE(watcher && watcher->Accepted);
  ASSERT_TRUE(nobody.Attach().has_value());
  // A's request writes SV1, B's request writes it too; A reads its own
  // value back before B's write runs.
  a.Send(TTransaction{1, 11, 1, QStringLiteral("WriteFix"), QStringLiteral("admin"), WriteFrame(1, 768, 111)});
  const auto aWrote = a.Next<TTransactionReply>();
  ASSERT_TRUE(aWrote && aWrote->Outcome == TOutcome::Reply) << (aWrote ? aWrote->Text.toStdString() : "no reply");
  EXPECT_EQ(aWrote->Reply, WriteFrame(1, 768, 111)) << "a write's reply echoes it";
  b.Send(TTransaction{1, 5, 1, QStringLiteral("WriteFix"), QStringLiteral("admin"), WriteFrame(1, 768, 222)});
  a.Send(TTransaction{2, 11, 1, QStringLiteral("WriteFix"), QStringLiteral("admin"), ReadFrame(1, 768)});
  const auto aRead = a.Next<TTransactionReply>();
  ASSERT_TRUE(aRead.has_value());
  EXPECT_EQ(ReplyValue(aRead->Reply), 111) << "B wrote in the middle of A's request";
  a.Send(TEndRequest{11});
  const auto bWrote = b.Next<TTransactionReply>();
  ASSERT_TRUE(bWrote && bWrote->Outcome == TOutcome::Reply);
  b.Send(TEndRequest{5});
  EXPECT_EQ(sim->Register(1, 768), 222);

  // Each connection acts as the user logged in on it.
  struct Case {
    Peer* From;
    const char* User;
    const char* Request;
    int Register;
    TOutcome Outcome;
    const char* Text;
  } const cases[] = {
      {&a, "ghost", "WriteFix", 769, TOutcome::Refused, "The user ghost is not the user logged in at the recorder."},
      {&nobody, "", "WriteFix", 769, TOutcome::Refused, "Settings are written only for a user logged in at TERVOX."},
      {&w, "watcher", "WriteMode1", 778, TOutcome::Refused, "The user watcher may not change the controllers' modes."},
      {&w, "watcher", "WriteRegAddress0198", 408, TOutcome::Refused,
       "The user watcher may not change the controllers' modes."},
      {&w, "watcher", "WriteRegAddress0186", 390, TOutcome::Reply, ""}, // the RUN key
      {&w, "watcher", "WriteFix", 769, TOutcome::Reply, ""},
  };
  std::uint32_t seq = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.User) + " " + c.Request);
    const int before = sim->Register(1, c.Register);
    c.From->Send(TTransaction{++seq, seq, 1, QString::fromLatin1(c.Request), QString::fromLatin1(c.User),
                              WriteFrame(1, c.Register, 0)});
    const auto reply = c.From->Next<TTransactionReply>();
    ASSERT_TRUE(reply.has_value());
    c.From->Send(TEndRequest{seq});
    EXPECT_EQ(reply->Outcome, c.Outcome);
    EXPECT_EQ(reply->Text, QString::fromLatin1(c.Text));
    EXPECT_EQ(sim->Register(1, c.Register), c.Outcome == TOutcome::Reply ? 0 : before);
  }
  // Not a Modbus request at all, and a line the recorder does not have.
  QByteArray damaged = WriteFrame(1, 768, 5);
  damaged[7] = static_cast<char>(damaged[7] ^ 0x55);
  a.Send(TTransaction{90, 0, 1, QStringLiteral("WriteFix"), QStringLiteral("admin"), damaged});
  EXPECT_EQ(a.Next<TTransactionReply>()->Outcome, TOutcome::Refused);
  a.Send(TTransaction{91, 0, 7, QStringLiteral("ReadFix"), QStringLiteral("admin"), ReadFrame(1, 768)});
  EXPECT_EQ(a.Next<TTransactionReply>()->Outcome, TOutcome::NoLine);

  // One usage-log line per request, under its user.
  const QString logged = QStringLiteral("SELECT group_concat(Detail || '@' || DeviceName, '|') FROM "
                                        "(SELECT Detail, DeviceName FROM UsageLog ORDER BY LogTime)");
  EXPECT_EQ(raw->Text(logged), QStringLiteral("WriteFix by Administrator (admin)@C1|WriteFix by Administrator (admin)@C1|"
                                              "WriteRegAddress0186 by Watcher (watcher)@C1|"
                                              "WriteFix by Watcher (watcher)@C1"));
  EXPECT_TRUE(recorder.Journal().contains(QStringLiteral("refused WriteMode1 on line \"Bus\"")))
      << recorder.Journal().toStdString();
}

// Each controller's communication statistics reach the windows with its
// status reads: the silent one's time-outs, the others' answers.
TEST_F(RecorderStation, WindowsGetEachControllersCommunicationStatistics) {
  ASSERT_TRUE(sim->Do(QStringLiteral("silent 2 on")));
  RecorderProcess recorder(path);
  ASSERT_TRUE(recorder.Serving());
  Peer window(path);
  window.Send(WindowHello());
  ASSERT_TRUE(window.Next<TWelcome>().has_value());
  std::map<int, TModbusStatistics> latest;
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 20000 && (latest[1].Answers < 5 || latest[2].TimeOuts < 3)) {
    const auto comm = window.Next<TCommStatistics>(5000);
    ASSERT_TRUE(comm.has_value());
    EXPECT_EQ(comm->PortID, 1);
    latest[comm->Slave] = comm->Statistics;
  }
  EXPECT_GE(latest[1].Answers, 5);
  EXPECT_EQ(latest[1].TimeOuts, 0);
  EXPECT_GE(latest[2].TimeOuts, 3);
  EXPECT_EQ(latest[2].Answers, 0);
  EXPECT_TRUE(latest[2].LastErrorTime.isValid());
  EXPECT_FALSE(latest[2].LastError.isEmpty());
}

TEST_F(RecorderStation, AlarmsAndLossAlertsReachEveryWindowAndThoseThatAttachLater) {
  RecorderProcess recorder(path);
  ASSERT_TRUE(recorder.Serving());
  Peer early(path);
  early.Send(WindowHello());
  ASSERT_TRUE(early.Next<TWelcome>().has_value());

  // EV1 of C1 switches on: the window watching hears of it.
  ASSERT_TRUE(sim->Do(QStringLiteral("set 1 1281 -1000")));
  const auto alarm = early.Next<TAlarm>();
  ASSERT_TRUE(alarm.has_value());
  EXPECT_EQ(alarm->DeviceID, 1);
  EXPECT_EQ(alarm->Slot, 0);
  EXPECT_TRUE(alarm->Text.startsWith(QStringLiteral("C1 EV1 High Alarm"))) << alarm->Text.toStdString();
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("alarm: C1 EV1 High Alarm")));
  // C3 stops answering: the loss alert.
  ASSERT_TRUE(sim->Do(QStringLiteral("silent 3 on")));
  const auto loss = early.Next<TLossAlert>();
  ASSERT_TRUE(loss.has_value());
  EXPECT_EQ(loss->DeviceID, 3);

  // A window that attaches now is shown both, as the first was.
  Peer late(path);
  late.Send(WindowHello());
  ASSERT_TRUE(late.Next<TWelcome>().has_value());
  const auto replayed = late.Next<TAlarm>();
  ASSERT_TRUE(replayed.has_value());
  EXPECT_EQ(replayed->Text, alarm->Text);
  ASSERT_TRUE(late.Next<TLossAlert>().has_value());

  // One window answers; every window closes its own.
  late.Send(TAcknowledgeAlarm{1, 0});
  EXPECT_TRUE(early.Next<TAlarmAcknowledged>().has_value());
  late.Send(TSilenceLossAlert{60});
  EXPECT_TRUE(early.Next<TLossAlertClosed>().has_value());
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("loss alert silenced for 60 s from a window")));

  // Answered, they are not shown to the next window: its welcome carries
  // each controller's read and nothing else.
  Peer next(path);
  next.Send(WindowHello());
  ASSERT_TRUE(next.Next<TWelcome>().has_value());
  std::optional<TStatus> status;
  while ((status = next.Next<TStatus>()) && status->Image.DeviceID != 3) {
  }
  ASSERT_TRUE(status.has_value());
  EXPECT_FALSE(next.Next<TAlarm>(0).has_value());
  EXPECT_FALSE(next.Next<TLossAlert>(0).has_value());
}

TEST_F(RecorderStation, MaintenancePausesRecordingAndRefusesWhenTheRecorderCannotBeReached) {
  RecorderProcess recorder(path);
  ASSERT_TRUE(recorder.Serving());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) > 0; }, 20000));
  {
    TTervoxRecordingPause pause(path, QStringLiteral("tester"), QStringLiteral("a test"));
    EXPECT_TRUE(pause.Paused());
    EXPECT_EQ(pause.RecorderPID(), recorder.PID());
    EXPECT_TRUE(recorder.WaitFor(QStringLiteral("recording paused for a test by tester")));
    const long long rows = Rows(1);
    QTest::qWait(2500);
    EXPECT_EQ(Rows(1), rows) << "nothing is recorded while paused";
  }
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("recording resumed")));
  const long long resumed = Rows(1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Rows(1) > resumed; }, 20000));

  // tervox-db restores beside a recorder: it pauses it, then it goes on.
  QProcess tool;
  tool.start(tervox_test::ProgramPath("tervox-db"),
             {QStringLiteral("--database"), path, QStringLiteral("backup"), dir.Path(QStringLiteral("b.sql"))});
  ASSERT_TRUE(tool.waitForFinished(60000));
  ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
  tool.start(tervox_test::ProgramPath("tervox-db"),
             {QStringLiteral("--database"), path, QStringLiteral("restore"), dir.Path(QStringLiteral("b.sql"))});
  ASSERT_TRUE(tool.waitForFinished(60000));
  EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
  EXPECT_TRUE(recorder.WaitFor(QStringLiteral("recording resumed"), 10000, 2)) << recorder.Journal().toStdString();
  const long long restored = Rows(1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Rows(1) > restored; }, 20000));

  // A recorder that cannot be reached: the work is refused, naming it.
  ASSERT_TRUE(QFile::remove(TTervoxStationLock::SocketFileName(path)));
  const QString named = QStringLiteral("process %1 (tervox-recorder)").arg(recorder.PID());
  try {
    TTervoxRecordingPause pause(path, QStringLiteral("tester"), QStringLiteral("a test"));
    ADD_FAILURE() << "paused a recorder that cannot be reached";
  } catch (const EDqException& e) {
    EXPECT_TRUE(e.Message().contains(named)) << e.Message().toStdString();
  }
  tool.start(tervox_test::ProgramPath("tervox-db"),
             {QStringLiteral("--database"), path, QStringLiteral("restore"), dir.Path(QStringLiteral("b.sql"))});
  ASSERT_TRUE(tool.waitForFinished(60000));
  EXPECT_EQ(tool.exitCode(), 1);
  EXPECT_TRUE(QString::fromLocal8Bit(tool.readAllStandardError()).contains(named));
}

TEST_F(RecorderStation, OnlyTheRecordersUserAndGroupMayConnect) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  RecorderProcess recorder(path);
  ASSERT_TRUE(recorder.Serving());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const QByteArray socket = QFile::encodeName(TTervoxStationLock::SocketFileName(path));
  ASSERT_LT(static_cast<std::size_t>(socket.size()), sizeof address.sun_path);
  std::memcpy(address.sun_path, socket.constData(), static_cast<std::size_t>(socket.size()));
  // Another user (nobody) tries: the socket's mode keeps it out, and were
  // it let in, its credentials would. The child makes system calls only.
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    const int handle = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(0);
    char byte = 0;
    pollfd wait{handle, POLLIN, 0};
    ::poll(&wait, 1, 5000);
    ::_exit(::recv(handle, &byte, 1, 0) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "nobody got in";
  // The same user gets in.
  Peer peer(path);
  ASSERT_TRUE(peer.Connected());
  peer.Send(WindowHello());
  EXPECT_TRUE(peer.Next<TWelcome>().has_value());
}

} // namespace
