// The station socket's messages: every kind comes back as it was sent,
// whatever the pieces it arrives in; what is not a whole, known message of
// this version is refused; the lock names its holder and the socket is
// reached at any path length.
#include "TestSupport.h"
#include "store/Tervox_StationLock.h"
#include "station/Tervox_StationProtocol.h"
#include "station/Tervox_StationServer.h"
#include "station/Tervox_StationSocket.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QTest>

#include <climits>
#include <csignal>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

using namespace TervoxStation;

namespace {

TTervoxStatusImage SampleImage() {
  TTervoxStatusImage image;
  image.DeviceID = 7;
  image.PV = -1234;
  image.SV = 32767;
  image.Out1 = 1000;
  image.Out2 = -32768;
  image.EV1 = 1;
  image.EV2 = 2;
  image.EV3 = 3;
  image.Digit = 2;
  image.InputLowerLimit = -1999;
  image.InputUpperLimit = 9999;
  image.PeriodicTimeOut1 = 3276700;
  image.PeriodicTimeOut2 = 0;
  image.OpMode = {1, 11, 0};
  image.CT1 = 12.5;
  image.CT2 = -0.1;
  image.Flags = TTervoxStatusImage::fSynchronized | TTervoxStatusImage::fEV3 | TTervoxStatusImage::fPrgRun;
  const char model[] = "TVXBA-KR01302CDHT5P0";
  std::copy(model, model + 20, image.ModelType.begin());
  return image;
}

TModbusStatistics SampleStatistics() {
  TModbusStatistics stats;
  stats.Requests = 5000000000LL; // beyond 32 bits
  stats.Answers = 4999999000LL;
  stats.TimeOuts = 600;
  stats.Corrupt = 300;
  stats.Foreign = 50;
  stats.Exceptions = 49;
  stats.NoLine = 1;
  stats.ExceptionCodes = {{2, 40}, {0x0B, 9}};
  stats.LastError = QStringLiteral("Modbus TCP: length field 0 out of range");
  stats.LastErrorTime = QDateTime::fromMSecsSinceEpoch(1765000000123LL, QTimeZone::utc());
  stats.TotalReplyMs = 1.5e9;
  stats.WorstReplyMs = 299.75;
  return stats; // the last answer: none
}

// One of each kind, with the fields a kind can carry at their edges.
std::vector<TMessage> EveryKind() {
  QByteArray frame(256, '\x5a');
  frame[0] = '\0';
  return {THello{TRole::Maintenance, 4294967295u, QStringLiteral("tervox-db ÄÖ ไทย")},
          THeartbeat{},
          TReload{ReloadDevices | ReloadSettings},
          TSilenceLossAlert{600},
          TAcknowledgeAlarm{-1, 2},
          TRequestStatus{42},
          TTransaction{1, 0xFFFFFFFFu, -3, QStringLiteral("WriteMode5"), QStringLiteral("admin"), frame},
          TEndRequest{9},
          TPause{QStringLiteral("eng"), QStringLiteral("a restore")},
          TResume{},
          TWelcome{12345, true},
          TStatus{SampleImage()},
          TAlarm{3, 1, QStringLiteral("Oven EV2 Low Alarm 20.0\r\nTime  01/02/26 10:00")},
          TLossAlert{5},
          TLossAlertClosed{},
          TAlarmAcknowledged{3, 0},
          TTransactionReply{77, TOutcome::Refused, QByteArray(), QStringLiteral("no")},
          TPauseState{false, QString()},
          TDatabaseProblem{QStringLiteral("Readings cannot be stored: database or disk is full")},
          TReloaded{},
          TCommStatistics{2, 247, SampleStatistics()}};
}

TEST(StationMessages, EveryKindComesBackAsSentAtAnySplit) {
  const std::vector<TMessage> messages = EveryKind();
  QByteArray stream;
  for (const TMessage& message : messages) stream.append(Encode(message));
  // Fed in pieces of every size from 1 to 40 bytes.
  for (int piece = 1; piece <= 40; ++piece) {
    SCOPED_TRACE(piece);
    QByteArray buffer;
    std::vector<TMessage> decoded;
    for (qsizetype at = 0; at < stream.size(); at += piece) {
      buffer.append(stream.mid(at, piece));
      TMessage message;
      TDecode result;
      while ((result = Decode(buffer, message)) == TDecode::Message) decoded.push_back(message);
      ASSERT_EQ(result, TDecode::NeedMore);
    }
    EXPECT_TRUE(buffer.isEmpty());
    ASSERT_EQ(decoded.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) EXPECT_TRUE(decoded[i] == messages[i]) << "message " << i;
  }
  for (std::size_t i = 0; i < messages.size(); ++i)
    EXPECT_EQ(IsRequest(messages[i]), i < 10) << "message " << i;
}

// The login messages: a window's user and password go to the recorder,
// its answer comes back; each kind on its own side of the socket.
TEST(StationMessages, LoginMessagesComeBackAsSentAndOnlyTheReplyIsTheRecorders) {
  const std::vector<TMessage> messages = {TLogin{QStringLiteral("ädmin"), QString(kMaxText, QLatin1Char('p'))},
                                          TLogout{},
                                          TLoginReply{true, QStringLiteral("admin"), QString()},
                                          TLoginReply{false, QStringLiteral("x"), QStringLiteral("Wrong password")}};
  QByteArray stream;
  for (const TMessage& message : messages) stream.append(Encode(message));
  for (const TMessage& sent : messages) {
    TMessage message;
    ASSERT_EQ(Decode(stream, message), TDecode::Message);
    EXPECT_TRUE(message == sent);
  }
  EXPECT_TRUE(stream.isEmpty());
  EXPECT_TRUE(IsRequest(TLogin{}));
  EXPECT_TRUE(IsRequest(TLogout{}));
  EXPECT_FALSE(IsRequest(TLoginReply{}));
  // A reply whose flag is neither 0 nor 1 is not a message.
  QByteArray bad = Encode(TLoginReply{true, {}, {}});
  bad[6] = 2;
  TMessage message;
  EXPECT_EQ(Decode(bad, message), TDecode::Bad);
}

TEST(StationMessages, WhatIsNotAWholeKnownMessageIsRefused) {
  const QByteArray heartbeat = Encode(THeartbeat{});
  const QByteArray alarm = Encode(TAlarm{1, 2, QStringLiteral("x")});
  auto with = [](QByteArray ABytes, int AIndex, char AValue) {
    ABytes[AIndex] = AValue;
    return ABytes;
  };
  // The length counts the version and type bytes: shorter bodies, and
  // bodies longer than any message, are refused before they arrive.
  auto length = [](std::uint32_t ALength, const QByteArray& ABody) {
    QByteArray bytes;
    for (int i = 0; i < 4; ++i) bytes.append(static_cast<char>((ALength >> (8 * i)) & 0xFF));
    return bytes + ABody;
  };
  struct Case {
    const char* Name;
    QByteArray Bytes;
  } const cases[] = {
      {"another version", with(heartbeat, 4, static_cast<char>(kProtocolVersion + 1))},
      {"an unknown type", with(heartbeat, 5, 99)},
      {"an empty body", length(0, {})},
      {"a body without a type", length(1, QByteArray(1, 1))},
      {"a body longer than any message", length(kMaxBody + 1, {})},
      {"bytes after the fields", length(3, QByteArray("\x01\x02\x00", 3))},
      {"fields cut short", length(6, QByteArray("\x01\x42\x01\x00\x00\x00", 6))},
      {"an alarm slot past EV3", with(alarm, 10, 3)},
      {"a role nobody has", Encode(THello{TRole::Window, 1, {}}).replace(6, 1, "\x07")},
      {"a flag that is neither 0 nor 1", with(Encode(TWelcome{1, true}), 10, 2)},
      {"an outcome nobody knows", with(Encode(TTransactionReply{1, TOutcome::Reply, {}, {}}), 10, 9)},
      // The frame's length field (bytes 26-29) says 257.
      {"a frame longer than Modbus allows", with(Encode(TTransaction{1, 1, 1, {}, {}, QByteArray(256, 'x')}), 26, 1)},
  };
  for (const Case& c : cases) {
    QByteArray buffer = c.Bytes;
    TMessage message;
    EXPECT_EQ(Decode(buffer, message), TDecode::Bad) << c.Name;
  }
}

TEST(StationLock, OneHolderNamedInItsFileAndFreeAgainOnRelease) {
  tervox_test::TempDir dir;
  const QString database = dir.Path(QStringLiteral("Tervox.db"));
  EXPECT_FALSE(TTervoxStationLock::OtherHolder(database).Held()) << "no lock file yet";
  TTervoxStationLock first(database);
  ASSERT_TRUE(first.Acquire(QStringLiteral("tervox-recorder"), QStringLiteral("/some/socket")));
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(TTervoxStationLock::LockFileName(database)).constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u) << "the group's windows may take it too";
  EXPECT_EQ(tervox_test::ReadFileBytes(TTervoxStationLock::LockFileName(database)),
            QStringLiteral("%1\ntervox-recorder\n/some/socket\n").arg(::getpid()).toUtf8());
  // Our own lock is nobody else's.
  EXPECT_FALSE(TTervoxStationLock::OtherHolder(database).Held());
  // A second opening of the file (as another process would) is refused.
  TTervoxStationLock second(database);
  EXPECT_FALSE(second.Acquire(QStringLiteral("tervox"), QString()));
  first.Release();
  EXPECT_TRUE(tervox_test::ReadFileBytes(TTervoxStationLock::LockFileName(database)).isEmpty());
  EXPECT_TRUE(second.Acquire(QStringLiteral("tervox"), QString()));
}

TEST(StationSocket, ReachedAtAPathLongerThanASocketAddressHolds) {
  tervox_test::TempDir dir;
  QString folder = dir.Root();
  while (folder.size() < 150) folder += QStringLiteral("/a-rather-long-folder-name");
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString path = folder + QStringLiteral("/Tervox.db.sock");
  QString error;
  const int listening = Listen(path, &error);
  ASSERT_GE(listening, 0) << error.toStdString();
  EXPECT_TRUE(QFileInfo::exists(path)) << "the socket lies where it was asked for";
  const int client = Connect(path);
  ASSERT_GE(client, 0);
  TPeer peer;
  pollfd wait{listening, POLLIN, 0};
  ASSERT_EQ(::poll(&wait, 1, 5000), 1);
  const int accepted = ::accept(listening, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  ASSERT_TRUE(PeerOf(accepted, peer));
  EXPECT_EQ(peer.PID, ::getpid());
  EXPECT_EQ(peer.UID, ::geteuid());
  for (int handle : {accepted, client, listening}) ::close(handle);
  EXPECT_LT(Connect(path + QStringLiteral(".nobody")), 0);
}

TEST(StationSocket, WhoMayConnect) {
  const uid_t me = ::geteuid();
  // A user that is neither root, this user nor in the group: nobody, with
  // a group of its own that is not the socket's.
  struct Case {
    const char* Name;
    TPeer Peer;
    gid_t SocketGroup;
    bool Allowed;
  } const cases[] = {
      {"root", {1, 0, 0}, 4242, true},
      {"the recorder's own user", {1, me, 4242}, 4243, true},
      {"a peer whose group is the socket's", {1, 65534, 4242}, 4242, true},
      {"another user in no such group", {1, 65534, 65534}, 4242, me == 65534},
  };
  for (const Case& c : cases) EXPECT_EQ(PeerAllowed(c.Peer, c.SocketGroup), c.Allowed) << c.Name;
}

// The socket is 0660 whatever the umask. Where the umask leaves the group
// its rights, the socket is born with that mode and nothing changes it once
// it is there: at no moment do the umask's wider rights let others in.
TEST(StationSocket, BornWithItsModeWhateverTheUmask) {
  struct Case {
    mode_t Umask;
    bool BornFinal;
  } const cases[] = {{0, true}, {002, true}, {007, true}, {022, false}, {077, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(QString::number(c.Umask, 8).toStdString());
    tervox_test::TempDir dir;
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(dir.Root()).constData(), IN_CREATE | IN_ATTRIB), 0);
    const QString path = dir.Path(QStringLiteral("Tervox.db.sock"));
    const mode_t old = ::umask(c.Umask);
    QString error;
    const int listening = Listen(path, &error);
    ::umask(old);
    ASSERT_GE(listening, 0) << error.toStdString();
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    bool created = false, changed = false;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t size; (size = ::read(watch, buffer, sizeof buffer)) > 0;)
      for (ssize_t at = 0; at < size;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && QByteArray(event->name) == "Tervox.db.sock") {
          created = created || (event->mask & IN_CREATE);
          changed = changed || (event->mask & IN_ATTRIB);
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    EXPECT_TRUE(created);
    if (c.BornFinal) {
      EXPECT_FALSE(changed) << "its mode was changed after it appeared";
    }
    ::close(listening);
    ::close(watch);
  }
}

// Records what the server tells its host.
class TRecordingHost : public TTervoxStationHost {
public:
  void PeerWelcome(TTervoxPeerID, const THello&) override { Welcomed = true; }
  void PeerRequest(TTervoxPeerID, const TMessage&) override {}
  void PeerTransaction(TTervoxPeerID, const TTransaction&) override {}
  void PeerGone(TTervoxPeerID) override {}
  void PeerNote(const QString& AText) override {
    std::lock_guard<std::mutex> guard(Lock);
    Notes << AText;
  }
  QStringList TakeNotes() {
    std::lock_guard<std::mutex> guard(Lock);
    return std::exchange(Notes, {});
  }
  std::atomic<bool> Welcomed{false};

private:
  std::mutex Lock;
  QStringList Notes;
};

// A socket whose whole path is longer than a path may be (its name beside
// a folder near that limit) has its group read where it was made: a member
// of that group (the folder's, which the socket takes from it) gets in,
// and there is nothing to report.
TEST(StationServer, LetsTheSocketsGroupInAtAPathPastThePathLimit) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr gid_t kGroup = 4242;
  tervox_test::TempDir dir;
  ASSERT_EQ(::chmod(QFile::encodeName(dir.Root()).constData(), 0755), 0);
  QString folder = dir.Root();
  while (folder.size() + 26 < PATH_MAX - 10) folder += QStringLiteral("/a-rather-long-folder-name");
  folder += QLatin1Char('/') + QString(PATH_MAX - 6 - static_cast<int>(folder.size()), QLatin1Char('f'));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QByteArray folderName = QFile::encodeName(folder);
  ASSERT_EQ(::chown(folderName.constData(), static_cast<uid_t>(-1), kGroup), 0);
  ASSERT_EQ(::chmod(folderName.constData(), 02775), 0);
  const QString path = folder + QStringLiteral("/Tervox.db.sock");
  ASSERT_GE(path.size(), PATH_MAX);

  TRecordingHost host;
  TTervoxStationServer server(host);
  QString error;
  ASSERT_TRUE(server.Start(path, &error)) << error.toStdString();
  EXPECT_EQ(host.TakeNotes(), QStringList());
  // Made before the fork: the child makes system calls only.
  const QByteArray hello = Encode(THello{TRole::Window, 1, QStringLiteral("test")});
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kGroup) != 0 || ::setuid(65534) != 0) ::_exit(3);
    if (::chdir(folderName.constData()) != 0) ::_exit(4);
    const int handle = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "Tervox.db.sock");
    if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(5);
    if (::send(handle, hello.constData(), static_cast<std::size_t>(hello.size()), MSG_NOSIGNAL) != hello.size()) ::_exit(6);
    char byte = 0;
    ::recv(handle, &byte, 1, 0); // until the server drops it or the test ends
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  QStringList notes;
  QTest::qWaitFor([&] {
    notes += host.TakeNotes();
    return host.Welcomed || !notes.isEmpty();
  }, 20000);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the child could not connect: " << WEXITSTATUS(status);
  EXPECT_TRUE(host.Welcomed);
  EXPECT_EQ(notes, QStringList());
  server.Stop();
}

} // namespace
