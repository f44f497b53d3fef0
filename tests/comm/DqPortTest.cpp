#include "plant/Tervox_PortRows.h"
#include "comm/DqPort.h"
#include "store/DqSQLite.h"
#include "DqPortTestSupport.h"
#include "sim/Sim_Pty.h"

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace tervox_test;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// A port opened on a pseudo-terminal whose far end the test holds.
class PortTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Open());
    ASSERT_TRUE(port.Open(QStringLiteral("LINE1")));
  }

  PortDir dir;
  TSimPty peer{QStringLiteral("LINE1")};
  TDqComPort port;
};

TEST(DqComPort, OpeningWhatIsNoSerialPortFailsWithError3) {
  PortDir dir;
  TempDir files;
  WriteFileBytes(files.Path(QStringLiteral("plain")), "x");
  const QString cases[] = {QStringLiteral("/dev/ttyNOSUCH9"), files.Path(QStringLiteral("plain")),
                           QStringLiteral("/dev/null"), QStringLiteral("COM3"), QString()};
  for (const QString& name : cases) {
    SCOPED_TRACE(qPrintable(name));
    TDqComPort port;
    EXPECT_FALSE(port.Open(name));
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Error(), dqeNotOpen);
    EXPECT_EQ(port.Error(), dqeNone);
    EXPECT_TRUE(port.PortName().isEmpty());
  }
  TDqComPort port;
  EXPECT_FALSE(port.Open(3)); // "COM3" of an old backup
  EXPECT_EQ(port.Error(), dqeNotOpen);
}

TEST_F(PortTest, OpensExclusivelyAndByLinkName) {
  EXPECT_TRUE(port.Active());
  EXPECT_EQ(port.PortName(), QStringLiteral("LINE1"));
  TDqComPort second;
  EXPECT_FALSE(second.Open(peer.LinkPath()));
  EXPECT_EQ(second.Error(), dqeNotOpen);
  port.Close();
  EXPECT_FALSE(port.Active());
  EXPECT_TRUE(port.PortName().isEmpty());
  EXPECT_TRUE(second.Open(peer.LinkPath()));
}

TEST_F(PortTest, LineSettingsAreCheckedAndRecorded) {
  struct Case {
    int Baud, Size, Stop, Parity;
    bool Accepted;
  };
  const Case cases[] = {{9600, 8, 0, 0, true},   {56000, 8, 2, 2, true}, {115200, 7, 0, 3, true},
                        {1200, 5, 1, 4, true},   {9600, 9, 0, 0, false}, {9600, 8, 1, 0, false},
                        {9600, 5, 2, 0, false},  {9600, 8, 0, 5, false}, {0, 8, 0, 0, false},
                        {9600, 4, 0, 0, false}};
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << test.Baud << " " << test.Size << " " << test.Stop << " " << test.Parity);
    ASSERT_TRUE(port.Config(19200, 8, 0, 0));
    const TDqPortData before = port.PortData();
    EXPECT_EQ(port.Config(test.Baud, test.Size, test.Stop, test.Parity), test.Accepted);
    if (test.Accepted) {
      EXPECT_EQ(port.Error(), dqeNone);
      EXPECT_EQ(port.PortData().BaudRate, test.Baud);
      EXPECT_EQ(port.PortData().DataBits, test.Size);
      EXPECT_EQ(port.PortData().StopBits, test.Stop);
      EXPECT_EQ(port.PortData().Parity, test.Parity);
      EXPECT_EQ(port.PortData().PortType, dqtCOM);
    } else {
      EXPECT_EQ(port.Error(), dqeConfig);
      EXPECT_EQ(port.PortData().BaudRate, before.BaudRate);
      EXPECT_EQ(port.PortData().DataBits, before.DataBits);
    }
  }
  ASSERT_TRUE(port.Config(38400, 8, 0, 0));
  port.PortData().BaudRate = 0;
  port.LoadConfig();
  EXPECT_EQ(port.PortData().BaudRate, 38400);
  EXPECT_EQ(port.PortData().DataBits, 8);
  port.SetRTSControlEnabled(true); // a pseudo-terminal has no RTS line: no harm
  port.Close();
  EXPECT_FALSE(port.Config(9600, 8, 0, 0));
  EXPECT_EQ(port.Error(), dqeNotOpen);
}

// Bytes pass unchanged both ways: no echo, no CR/LF translation, no
// XON/XOFF, no signals.
TEST_F(PortTest, EveryByteValuePassesUnchangedBothWays) {
  QByteArray all;
  for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));
  EXPECT_EQ(port.WriteBlock(all.constData(), static_cast<int>(all.size())), 256);
  EXPECT_EQ(ReadPeer(peer.Handle(), 256), all);
  WritePeer(peer.Handle(), all);
  QByteArray received(256, '\0');
  EXPECT_EQ(port.ReadBlock(received.data(), 256), 256);
  EXPECT_EQ(received, all);
  EXPECT_EQ(port.Error(), dqeNone);
  EXPECT_EQ(ReadPeer(peer.Handle(), 1, 50), QByteArray()); // nothing echoed back
}

TEST_F(PortTest, FixedTimeOutsEndAReadAtTheGapOrTheTotal) {
  char buffer[16];
  // Only 4 of 10 bytes come: the read ends 100 ms after the last of them.
  WritePeer(peer.Handle(), "ABCD");
  auto start = TClock::now();
  EXPECT_EQ(port.ReadBlock(buffer, 10), 4);
  EXPECT_GE(TClock::now() - start, 99ms);
  EXPECT_EQ(QByteArray(buffer, 4), QByteArray("ABCD"));

  // Nothing comes: the read takes its whole total, 2 x 10 + 200 ms.
  start = TClock::now();
  EXPECT_EQ(port.ReadBlock(buffer, 10), 0);
  EXPECT_GE(TClock::now() - start, 219ms);
  std::uint8_t byte = 0;
  start = TClock::now();
  EXPECT_FALSE(port.ReadByte(byte, 5)); // the fixed limit (202 ms) stands
  EXPECT_GE(TClock::now() - start, 201ms);
  EXPECT_EQ(port.Error(), dqeNone); // a time-out is no failure

  // Bytes that keep coming within the gap are all collected.
  std::thread writer([&] {
    for (char c : QByteArray("12345")) {
      WritePeer(peer.Handle(), QByteArray(1, c));
      std::this_thread::sleep_for(20ms);
    }
  });
  EXPECT_EQ(port.ReadBlock(buffer, 5), 5);
  writer.join();
  EXPECT_EQ(QByteArray(buffer, 5), QByteArray("12345"));
}

TEST_F(PortTest, PerOperationTimeOutsApplyWithoutFixedTimeOuts) {
  port.Close();
  port.SetFixTimeOut(false);
  ASSERT_TRUE(port.Open(QStringLiteral("LINE1")));
  char buffer[16];
  // A block read takes what is queued and returns at once.
  EXPECT_EQ(port.ReadBlock(buffer, 10), 0);
  WritePeer(peer.Handle(), "xyz");
  ASSERT_TRUE(WaitFor([&] { return port.ReadDataCount() == 3; }));
  EXPECT_EQ(port.ReadBlock(buffer, 10), 3);
  // A byte read waits as long as it is told.
  std::uint8_t byte = 0;
  auto start = TClock::now();
  EXPECT_FALSE(port.ReadByte(byte, 30));
  EXPECT_GE(TClock::now() - start, 29ms);
  std::thread writer([&] {
    std::this_thread::sleep_for(50ms);
    WritePeer(peer.Handle(), "Q");
  });
  EXPECT_TRUE(port.ReadByte(byte, 5000));
  writer.join();
  EXPECT_EQ(byte, 'Q');
  EXPECT_TRUE(port.WriteChar('W', 100));
  EXPECT_EQ(ReadPeer(peer.Handle(), 1), QByteArray("W"));
}

TEST_F(PortTest, TextReadingEndsWhenCharactersStopOrTheBoundIsReached) {
  port.WriteLn(QStringLiteral("AT+CSQ"));
  EXPECT_EQ(ReadPeer(peer.Handle(), 8), QByteArray("AT+CSQ\r\n"));
  WritePeer(peer.Handle(), "\r\n+CSQ: 17,0\r\n\r\nOK\r\n\xE9");
  EXPECT_EQ(port.ReadText(), QStringLiteral("\r\n+CSQ: 17,0\r\n\r\nOK\r\n\u00E9"));
  EXPECT_EQ(port.ReadText(), QString());

  // A device that never stops sending does not keep the reader.
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const QByteArray chunk(256, 'x');
    while (!stop) ::write(peer.Handle(), chunk.constData(), static_cast<size_t>(chunk.size()));
  });
  const QString text = port.ReadText();
  stop = true;
  flood.join();
  EXPECT_EQ(text.size(), TDqComPort::kReadTextMaxChars);
}

// Before a request the line must fall silent: what was read ahead or is
// queued is dropped, and so is what still comes within the quiet time. A
// line that never falls silent lets the request go at the limit.
TEST_F(PortTest, WaitingForSilenceDropsWhatIsStillArriving) {
  WritePeer(peer.Handle(), "abc");
  std::uint8_t byte = 0;
  ASSERT_TRUE(port.ReadByte(byte, 100)); // "bc" read ahead
  EXPECT_EQ(byte, 'a');
  WritePeer(peer.Handle(), "de");
  ASSERT_TRUE(WaitFor([&] { return port.ReadDataCount() == 4; }));
  std::thread late([&] {
    std::this_thread::sleep_for(20ms);
    WritePeer(peer.Handle(), "fg");
  });
  EXPECT_EQ(port.WaitLineSilence(300000, 5000), 6);
  late.join();
  WritePeer(peer.Handle(), "z");
  EXPECT_TRUE(port.ReadByte(byte, 100));
  EXPECT_EQ(byte, 'z');
  EXPECT_EQ(port.WaitLineSilence(1000, 100), 0);

  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    while (!stop) {
      WritePeer(peer.Handle(), "x");
      std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_GT(port.WaitLineSilence(50000, 100), 0);
  stop = true;
  chatter.join();
  EXPECT_TRUE(port.Active());
  EXPECT_EQ(port.Error(), dqeNone);
}

TEST_F(PortTest, PurgeEmptiesTheInputQueue) {
  WritePeer(peer.Handle(), "stale");
  ASSERT_TRUE(WaitFor([&] { return port.ReadDataCount() == 5; }));
  port.Purge();
  EXPECT_EQ(port.ReadDataCount(), 0);
  EXPECT_EQ(port.WriteDataCount(), 0);
  port.Close();
  EXPECT_EQ(port.ReadDataCount(), 0);
  port.Purge();
  EXPECT_EQ(port.Error(), dqeNotOpen);
  char c = 'x';
  EXPECT_EQ(port.WriteBlock(&c, 1), 0);
  EXPECT_EQ(port.Error(), dqeNotOpen);
}

TEST_F(PortTest, HungUpLineClosesThePortAndReopensWithABackOff) {
  port.PortData().PortName = QStringLiteral("LINE1");
  peer.Close(); // the adapter is pulled out
  std::uint8_t byte = 0;
  EXPECT_FALSE(port.ReadByte(byte, 100));
  EXPECT_EQ(port.Error(), dqeRead);
  EXPECT_FALSE(port.Active()) << "a hung-up terminal must not stay open";
  // Missing device node: refused, then not tried again at once.
  EXPECT_FALSE(port.Reopen());
  ASSERT_TRUE(peer.Open());
  EXPECT_FALSE(port.Reopen()) << "no back-off: every caller would retry in a busy loop";
  ASSERT_TRUE(WaitFor([&] { return port.Reopen(); }));
  WritePeer(peer.Handle(), "k");
  EXPECT_TRUE(port.ReadByte(byte, 100));
  EXPECT_EQ(byte, 'k');
}

TEST_F(PortTest, QueuedWritesAndTheReadMonitorRunOnThePortsWorker) {
  port.PortData().Name = QStringLiteral("Modem");
  std::mutex lock;
  QStringList written, read;
  std::thread::id readerThread;
  port.SetOnWrite([&](TDqEventData* AEvent) {
    std::lock_guard<std::mutex> guard(lock);
    written << VarAsText(AEvent->Value);
  });
  port.SetOnRead([&](TDqEventData* AEvent) {
    std::lock_guard<std::mutex> guard(lock);
    read << VarAsText(AEvent->Value);
    readerThread = std::this_thread::get_id();
  });
  port.ThreadWriteLn(QStringLiteral("AT"));
  EXPECT_EQ(ReadPeer(peer.Handle(), 4), QByteArray("AT\r\n"));
  port.SetThreadMode(true);
  WritePeer(peer.Handle(), "RING\r\n");
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> guard(lock);
    return !read.isEmpty();
  }));
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(written, QStringList({"AT\r\n"}));
  EXPECT_EQ(read, QStringList({"RING\r\n"}));
  EXPECT_NE(readerThread, std::this_thread::get_id());
}

// The port closes itself on its own worker (the modem's reads run there):
// the worker must not wait for itself, and the port works again once
// reopened, with a fresh worker.
TEST_F(PortTest, SelfCloseOnItsOwnWorkerLeavesAWorkingPort) {
  peer.Close();
  std::atomic<bool> done{false};
  TDqEventThread* before = port.Thread();
  port.AddEvent(
      QStringLiteral("Reads"),
      [&](TDqEventData*) {
        std::uint8_t byte = 0;
        for (int i = 0; i < 101 && port.Active(); ++i) port.ReadByte(byte, 100);
        done = true;
      },
      &port);
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  EXPECT_FALSE(port.Active());
  EXPECT_NE(port.Thread(), before);
  ASSERT_TRUE(peer.Open());
  ASSERT_TRUE(port.Open(QStringLiteral("LINE1")));
  port.ThreadWrite(QStringLiteral("again"));
  EXPECT_EQ(ReadPeer(peer.Handle(), 5), QByteArray("again"));
  // Closing and opening from here replaces the worker as well.
  port.Close();
  ASSERT_TRUE(port.Open(QStringLiteral("LINE1")));
  port.ThreadWrite(QStringLiteral("more"));
  EXPECT_EQ(ReadPeer(peer.Handle(), 4), QByteArray("more"));
}

TEST(DqComPort, PortNamesListPresentPortsAndTheUsualNames) {
  PortDir dir;
  TSimPty line(QStringLiteral("SIM1"));
  ASSERT_TRUE(line.Open());
  QStringList present, all;
  TDqComPort::LoadPortList(present, true);
  ListComPorts(all, false);
  EXPECT_TRUE(present.contains(line.LinkPath()));
  EXPECT_TRUE(all.contains(line.LinkPath()));
  EXPECT_TRUE(all.contains(QStringLiteral("/dev/ttyUSB0")));
  EXPECT_TRUE(all.contains(QStringLiteral("/dev/ttyACM15")));
  for (const QString& name : present) EXPECT_TRUE(all.contains(name)) << qPrintable(name);
  QStringList sorted = all;
  sorted.sort();
  EXPECT_EQ(all, sorted);
  EXPECT_LT(all.indexOf(QStringLiteral("/dev/ttyUSB10")), all.indexOf(QStringLiteral("/dev/ttyUSB2")));
  EXPECT_EQ(DqPortDevicePath(QStringLiteral("SIM1")), line.LinkPath());
  EXPECT_EQ(DqPortDevicePath(QStringLiteral("/dev/ttyUSB7")), QStringLiteral("/dev/ttyUSB7"));
  EXPECT_EQ(DqPortDevicePath(QStringLiteral("COM3")), QStringLiteral("/dev/COM3"));
  line.Close(); // unplugged: no longer present
  TDqComPort::LoadPortList(present, true);
  EXPECT_FALSE(present.contains(line.LinkPath()));
}

TEST(DqComPortList, LoadsPortsInIDOrderAndFindsThem) {
  TempDir files;
  TSQLiteDatabase db(files.Path(QStringLiteral("ports.db")));
  db.SetHeader(QStringLiteral("TERVOX_SQLITE"));
  db.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  db.ExecSQL(QStringLiteral(
      "INSERT INTO DevicePort (ID, Name, PortType, PortName, BaudRate, DataBits, StopBits, Parity, Enabled) "
      "VALUES (7, 'Line B', 1, 'COM3', 9600, 8, 2, 4, 0)"));
  db.ExecSQL(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType, PortName, BaudRate, DataBits, Enabled) "
                            "VALUES (2, 'Line A', 1, '/dev/ttyUSB0', 19200, 7, -1)"));
  TDqComPortList list;
  list.Load(LoadPortRows(db, QStringLiteral("DevicePort")));
  ASSERT_EQ(list.Count(), 2);
  const TDqPortData& a = list.GetPorts(0)->PortData();
  const TDqPortData& b = list.GetPorts(1)->PortData();
  EXPECT_EQ(a.ID, 2);
  EXPECT_EQ(a.Name, QStringLiteral("Line A"));
  EXPECT_EQ(a.BaudRate, 19200);
  EXPECT_EQ(a.DataBits, 7);
  EXPECT_EQ(a.StopBits, 0); // NULL reads as the default
  EXPECT_TRUE(a.Enabled);
  EXPECT_EQ(b.ID, 7);
  EXPECT_EQ(b.PortType, dqtCOM);
  EXPECT_EQ(b.StopBits, 2);
  EXPECT_EQ(b.Parity, 4);
  EXPECT_FALSE(b.Enabled);
  EXPECT_FALSE(list.GetPorts(0)->Active()); // loading opens nothing
  EXPECT_EQ(list.IndexOf(QStringLiteral("com3")), 1);
  EXPECT_EQ(list.GetPortByName(QStringLiteral("/DEV/TTYUSB0")), list.GetPorts(0));
  EXPECT_EQ(list.GetPortByID(7), list.GetPorts(1));
  EXPECT_EQ(list.GetPortByID(99), nullptr);
  EXPECT_EQ(list.IndexOfID(99), -1);
  try {
    list.GetPorts(2);
    FAIL() << "no error";
  } catch (const EDqException& error) {
    EXPECT_EQ(error.Message(), QStringLiteral("Comport index out of bound"));
  }
  try {
    list.SetPorts(5, std::make_unique<TDqComPort>());
    FAIL() << "no error";
  } catch (const EDqException& error) {
    EXPECT_EQ(error.Message(), QStringLiteral("Comport list index out of bound (5 [count=2])"));
  }
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

} // namespace
