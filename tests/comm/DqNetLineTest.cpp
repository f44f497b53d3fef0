// Network lines: Modbus TCP against libmodbus's own server, the
// simulator's gateway modes and their faults, connection failures.
#include "comm/DqModbus.h"
#include "comm/DqNetLine.h"
#include "comm/DqPort.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"

#include <modbus/modbus.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point AStart) {
  return std::chrono::duration<double, std::milli>(TClock::now() - AStart).count();
}

// A port whose Modbus goes over the network line of APortType.
std::unique_ptr<TDqComPort> NetPort(int AID, TDqPortType APortType, const QString& AHost, int APort) {
  auto port = std::make_unique<TDqComPort>();
  TDqPortData& data = port->PortData();
  data.ID = AID;
  data.PortType = APortType;
  data.IPAddress = AHost;
  data.PortNumber = QString::number(APort);
  port->SetFrameTransport(DqMakeNetTransport(data));
  EXPECT_TRUE(port->Open(QString()));
  return port;
}

// libmodbus's Modbus TCP server on the loopback, holding the status
// registers of a controller at unit 7, until destroyed.
class LibModbusServer {
public:
  LibModbusServer() {
    FContext = modbus_new_tcp("127.0.0.1", 0);
    FMapping = modbus_mapping_new(0, 0, 2100, 0);
    FListen = modbus_tcp_listen(FContext, 1);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    // PV 25.3, SV 30.0, OUT1 45.0 %, one decimal.
    FMapping->tab_registers[256] = 253;
    FMapping->tab_registers[257] = 300;
    FMapping->tab_registers[258] = 450;
    FMapping->tab_registers[1799] = 1;
    for (int i = 0; i < 10; ++i) FMapping->tab_registers[64 + i] = static_cast<std::uint16_t>(('T' << 8) | 'X');
    modbus_set_indication_timeout(FContext, 0, 100000);
    FThread = std::thread([this] { Serve(); });
  }
  ~LibModbusServer() {
    FStop = true;
    FThread.join();
    ::close(FListen);
    modbus_mapping_free(FMapping);
    modbus_free(FContext);
  }
  int Port() const { return FPort; }
  std::atomic<int> Requests{0};

private:
  void Serve() {
    while (!FStop) {
      pollfd descriptor{FListen, POLLIN, 0};
      if (poll(&descriptor, 1, 100) <= 0) continue;
      int listen = FListen;
      if (modbus_tcp_accept(FContext, &listen) < 0) continue;
      std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
      while (!FStop) {
        const int length = modbus_receive(FContext, query);
        if (length == -1 && errno == ETIMEDOUT) continue;
        if (length < 0) break;
        if (length == 0) continue;
        ++Requests;
        // Unit 7 only (a gateway would say its target failed to answer).
        if (query[6] != 7)
          modbus_reply_exception(FContext, query, MODBUS_EXCEPTION_GATEWAY_TARGET);
        else
          modbus_reply(FContext, query, length, FMapping);
      }
      modbus_close(FContext);
    }
  }

  modbus_t* FContext = nullptr;
  modbus_mapping_t* FMapping = nullptr;
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

TEST(DqNetLine, ReadsStatusFromLibModbusServer) {
  ResetModbusStatistics();
  LibModbusServer server;
  auto port = NetPort(41, dqtTCP, QStringLiteral("127.0.0.1"), server.Port());
  TModbusData modbus(port.get());
  std::vector<std::uint16_t> registers;
  ASSERT_TRUE(modbus.ReadHoldRegArray(registers, 7, 256, 6)) << modbus.LastError().toStdString();
  EXPECT_EQ(registers[0], 253);
  EXPECT_EQ(registers[1], 300);
  EXPECT_EQ(registers[2], 450);
  EXPECT_EQ(modbus.Outcome, TModbusOutcome::Answer);
  EXPECT_EQ(modbus.ReadHoldRegInt(7, 1799), 1);
  ASSERT_TRUE(modbus.WriteHoldReg(7, 768, 355));
  EXPECT_EQ(modbus.ReadHoldRegInt(7, 768), 355);

  // An address the server does not hold: an exception with its code, never
  // a time-out and never data.
  EXPECT_FALSE(modbus.ReadHoldReg(7, 4000, 1));
  EXPECT_EQ(modbus.Outcome, TModbusOutcome::Exception);
  EXPECT_EQ(modbus.ExceptionCode, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_TRUE(modbus.DataText.isEmpty());
  // Another unit: the gateway's "target failed to respond".
  EXPECT_FALSE(modbus.ReadHoldReg(9, 256, 1));
  EXPECT_EQ(modbus.Outcome, TModbusOutcome::Exception);
  EXPECT_EQ(modbus.ExceptionCode, 0x0B);

  const TModbusStatistics stats = ModbusStatistics(41, 7);
  EXPECT_EQ(stats.Requests, 5);
  EXPECT_EQ(stats.Answers, 4);
  EXPECT_EQ(stats.Exceptions, 1);
  EXPECT_EQ(stats.ExceptionCodes.at(2), 1);
  EXPECT_EQ(stats.TimeOuts, 0);
  EXPECT_GT(stats.WorstReplyMs, 0.0);
  EXPECT_GE(stats.WorstReplyMs, stats.MeanReplyMs());
  EXPECT_TRUE(stats.LastAnswerTime.isValid());
  EXPECT_EQ(ModbusStatistics(41, 9).ExceptionCodes.at(0x0B), 1);
  EXPECT_EQ(stats.ExceptionsText(), QStringLiteral("1 x 02"));
}

class NetSimTest : public ::testing::TestWithParam<TSimLineMode> {
protected:
  void SetUp() override {
    ResetModbusStatistics();
    line = std::make_unique<TSimControllerLine>(GetParam(), 0, std::vector<int>{1, 2});
    QString error;
    ASSERT_TRUE(line->Start(&error)) << error.toStdString();
    port = NetPort(5, GetParam() == TSimLineMode::Tcp ? dqtTCP : dqtRTUTCP, QStringLiteral("127.0.0.1"), line->TcpPort());
  }
  void TearDown() override {
    port.reset();
    line.reset();
  }
  std::unique_ptr<TSimControllerLine> line;
  std::unique_ptr<TDqComPort> port;
};

TEST_P(NetSimTest, ReadsWritesAndCountsEveryFault) {
  line->WithController(1, [](TSimController& c) { c.SetRegister(1800, static_cast<std::uint16_t>(-123)); });
  TModbusData modbus(port.get());
  EXPECT_EQ(modbus.ReadHoldRegInt(1, 1800), -123);
  ASSERT_TRUE(modbus.WriteHoldReg(2, 769, 222));
  EXPECT_EQ(modbus.ReadHoldRegInt(2, 769), 222);

  struct Case {
    TSimFault Fault;
    TModbusOutcome Outcome;
  };
  std::vector<Case> cases = {{TSimFault::Silent, TModbusOutcome::TimeOut},
                             {TSimFault::CorruptCRC, TModbusOutcome::Corrupt},
                             {TSimFault::WrongSlave, TModbusOutcome::Foreign},
                             {TSimFault::Exception, TModbusOutcome::Exception},
                             {TSimFault::Cut, TModbusOutcome::Corrupt},
                             {TSimFault::Trickle, TModbusOutcome::Corrupt}};
  if (GetParam() == TSimLineMode::Tcp) cases.push_back({TSimFault::Transaction, TModbusOutcome::Foreign});
  for (const Case& test : cases) {
    SCOPED_TRACE(static_cast<int>(test.Fault));
    line->SetFault(1, test.Fault, true);
    const auto start = TClock::now();
    EXPECT_FALSE(modbus.ReadHoldReg(1, 1800, 1));
    EXPECT_LT(MsSince(start), kDqNetReplyTimeOut + 200.0) << "never longer than the reply time-out";
    // A trickle (one byte a second) shows as its first byte within the
    // time-out: a reply cut short.
    EXPECT_EQ(modbus.Outcome, test.Outcome) << modbus.LastError().toStdString();
    EXPECT_TRUE(modbus.DataText.isEmpty());
    line->SetFault(1, test.Fault, false);
    // The line recovers for the next request (a new connection if needed);
    // a late or trickling reply is never taken for it.
    bool recovered = false;
    for (int attempt = 0; attempt < 20 && !recovered; ++attempt) {
      recovered = modbus.ReadHoldRegInt(1, 1800) == -123 && modbus.Outcome == TModbusOutcome::Answer;
      if (!recovered) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(recovered);
    EXPECT_EQ(modbus.ReadHoldRegInt(2, 769), 222);
  }
  const TModbusStatistics stats = ModbusStatistics(5, 1);
  EXPECT_GE(stats.TimeOuts, 1);
  EXPECT_GE(stats.Corrupt, 2);
  EXPECT_GE(stats.Foreign, 1);
  EXPECT_EQ(stats.Exceptions, 1);
  EXPECT_EQ(stats.ExceptionCodes.at(4), 1);
  EXPECT_FALSE(stats.LastError.isEmpty());
  EXPECT_TRUE(stats.LastErrorTime.isValid());
  // The other controller saw none of it.
  const TModbusStatistics other = ModbusStatistics(5, 2);
  EXPECT_EQ(other.Requests, other.Answers);
}

TEST_P(NetSimTest, LineDownAndBackResumesWithoutReopen) {
  TModbusData modbus(port.get());
  ASSERT_TRUE(modbus.ReadHoldReg(1, 256, 6));
  line->Unplug();
  const auto down = TClock::now();
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(modbus.ReadHoldReg(1, 256, 6));
    EXPECT_NE(modbus.Outcome, TModbusOutcome::Answer);
  }
  EXPECT_LT(MsSince(down), 3000.0) << "refused connections are not waited for";
  EXPECT_EQ(ModbusStatistics(5, 1).NoLine >= 1, true);
  line->Replug();
  const auto back = TClock::now();
  bool resumed = false;
  while (!resumed && MsSince(back) < 5000) {
    resumed = modbus.ReadHoldReg(1, 256, 6);
    if (!resumed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(resumed);
  EXPECT_LT(MsSince(back), 5000.0);
}

INSTANTIATE_TEST_SUITE_P(Modes, NetSimTest, ::testing::Values(TSimLineMode::Tcp, TSimLineMode::RtuTcp),
                         [](const auto& AInfo) { return AInfo.param == TSimLineMode::Tcp ? "Tcp" : "RtuTcp"; });

TEST(DqNetLine, ConnectionFailuresAreClearAndBackedOff) {
  ResetModbusStatistics();
  // A port nobody listens on: refused at once.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  const int closedPort = ntohs(address.sin_port);
  ::close(probe);

  auto refused = NetPort(1, dqtTCP, QStringLiteral("127.0.0.1"), closedPort);
  TModbusData modbus(refused.get());
  auto start = TClock::now();
  EXPECT_FALSE(modbus.ReadHoldReg(1, 256, 1));
  EXPECT_EQ(modbus.Outcome, TModbusOutcome::NoLine);
  EXPECT_TRUE(modbus.LastError().contains(QStringLiteral("refused"))) << modbus.LastError().toStdString();
  // Within the back-off no attempt: the request fails at once.
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(modbus.ReadHoldReg(1, 256, 1));
  EXPECT_LT(MsSince(start), 500.0);
  EXPECT_EQ(ModbusStatistics(1, 1).NoLine, 51);

  // A name no resolver knows.
  auto unknown = NetPort(2, dqtRTUTCP, QStringLiteral("no-such-gateway.invalid"), 502);
  modbus.SetPort(unknown.get());
  start = TClock::now();
  EXPECT_FALSE(modbus.ReadHoldReg(1, 256, 1));
  EXPECT_EQ(modbus.Outcome, TModbusOutcome::NoLine);
  EXPECT_LT(MsSince(start), kDqNetConnectTimeOut + 500.0);
  EXPECT_FALSE(modbus.LastError().isEmpty());

  // An address nothing answers (TEST-NET-1): the connect time-out at most.
  auto unreachable = NetPort(3, dqtTCP, QStringLiteral("192.0.2.1"), 502);
  modbus.SetPort(unreachable.get());
  start = TClock::now();
  EXPECT_FALSE(modbus.ReadHoldReg(1, 256, 1));
  EXPECT_EQ(modbus.Outcome, TModbusOutcome::NoLine);
  EXPECT_LT(MsSince(start), 2.0 * kDqNetConnectTimeOut + 500.0);
  EXPECT_TRUE(modbus.LastError().contains(QStringLiteral("192.0.2.1:502"))) << modbus.LastError().toStdString();
}

TEST(DqNetLine, PeerThatAcceptsButNeverAnswersTimesOut) {
  const int listen = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listen, 4), 0); // the kernel accepts; nobody reads
  socklen_t length = sizeof address;
  getsockname(listen, reinterpret_cast<sockaddr*>(&address), &length);
  auto port = NetPort(1, dqtTCP, QStringLiteral("127.0.0.1"), ntohs(address.sin_port));
  TModbusData modbus(port.get());
  for (int i = 0; i < 3; ++i) {
    const auto start = TClock::now();
    EXPECT_FALSE(modbus.ReadHoldReg(1, 256, 1));
    EXPECT_EQ(modbus.Outcome, TModbusOutcome::TimeOut);
    EXPECT_LT(MsSince(start), kDqNetReplyTimeOut + 200.0);
  }
  ::close(listen);
}

TEST(DqNetLine, MbapReplyChecks) {
  auto frame = [](std::uint16_t ATransaction, std::uint16_t AProtocol, std::uint16_t ALength, const QByteArray& ARest) {
    QByteArray data;
    for (std::uint16_t word : {ATransaction, AProtocol, ALength}) data.append(static_cast<char>(word >> 8)).append(static_cast<char>(word));
    return data + ARest;
  };
  TDqMbapFrame parsed;
  QString error;
  const QByteArray good = frame(9, 0, 7, QByteArray::fromHex("0103040001FFFF"));
  ASSERT_EQ(DqParseMbapReply(good.constData(), static_cast<int>(good.size()), parsed, error), TDqMbapCheck::Complete);
  EXPECT_EQ(parsed.Transaction, 9);
  EXPECT_EQ(parsed.Unit, 1);
  EXPECT_EQ(parsed.Size, 13);
  EXPECT_EQ(DqRtuFromMbap(parsed).size(), 9);
  for (int cut = 0; cut < good.size(); ++cut)
    EXPECT_EQ(DqParseMbapReply(good.constData(), cut, parsed, error), TDqMbapCheck::NeedMore) << cut;
  const QByteArray bad[] = {frame(9, 1, 7, QByteArray::fromHex("0103040001FFFF")),  // protocol id
                            frame(9, 0, 0, QByteArray()),                          // length 0
                            frame(9, 0, 65535, QByteArray(10, '\0')),              // length 65535
                            frame(9, 0, 6, QByteArray::fromHex("01030400010000")), // length short of its data
                            frame(9, 0, 3, QByteArray::fromHex("018302")) + QByteArray(1, '\0'), // exception: fine
                            frame(9, 0, 3, QByteArray::fromHex("014102"))};        // no such function
  const TDqMbapCheck expected[] = {TDqMbapCheck::Framing, TDqMbapCheck::Framing, TDqMbapCheck::Framing,
                                   TDqMbapCheck::Framing, TDqMbapCheck::Complete, TDqMbapCheck::Framing};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(DqParseMbapReply(bad[i].constData(), static_cast<int>(bad[i].size()), parsed, error), expected[i]) << i;
  EXPECT_EQ(DqMbapRequest(QByteArray::fromHex("0703010000060000"), 0x1234).toHex(), QByteArray("123400000006070301000006"));
}

TEST(DqNetLine, HostAndPortChecks) {
  for (const char* host : {"192.168.1.20", "::1", "[fe80::1]", "gateway-3.plant.local", "moxa"})
    EXPECT_TRUE(TDqNetTransport::CheckHost(QLatin1String(host)).isEmpty()) << host;
  for (const char* host : {"", "300.1.1.1", "bad host", "-x.example", "a..b", "1.2.3"})
    EXPECT_FALSE(TDqNetTransport::CheckHost(QLatin1String(host)).isEmpty()) << host;
  for (const char* port : {"1", "502", "65535"}) EXPECT_TRUE(TDqNetTransport::CheckPort(QLatin1String(port)).isEmpty());
  for (const char* port : {"", "0", "65536", "-1", "50x2"}) EXPECT_FALSE(TDqNetTransport::CheckPort(QLatin1String(port)).isEmpty());
  TDqPortData data;
  data.PortType = dqtTCP;
  data.IPAddress = QStringLiteral("fe80::1");
  data.PortNumber = QStringLiteral("502");
  EXPECT_EQ(DqPortAddressText(data), QStringLiteral("[fe80::1]:502"));
  data.PortType = dqtCOM;
  data.PortName = QStringLiteral("/dev/ttyUSB0");
  EXPECT_EQ(DqPortAddressText(data), QStringLiteral("/dev/ttyUSB0"));
}

} // namespace
