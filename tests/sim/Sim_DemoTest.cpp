// The demonstration's devices: set up as `tervox --demo` shows them, and
// served by `tervox-sim demo` with a control pipe for each.
#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "sim/Sim_Demo.h"
#include "sim/Sim_Modem.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using tervox_test::TempDir;

// The three controllers the demonstration's panels and database expect.
struct TDemoController {
  int Address;
  const char* Identification;
  int DecimalPoint;
  int SetValue;
  int Event1Mode;
  int Event1Point;
  std::vector<int> StepSetValues; // empty: no program runs
};

const TDemoController kDemo[] = {
    {1, "TVXBA-KR01302CDHT5P0", 1, 1800, 1, 1950, {1700, 1800, 1750}},
    {2, "TVXBD-KR01101NNNN5N0", 0, 85, 2, 40, {}},
    {5, "TVXAA-JR0130E5NNNNP0", 2, 6500, 11, 0, {6000, 7000, 6500}},
};

TEST(SimDemo, SetsUpTheDemonstrationsControllersAndModem) {
  TempDir dir;
  TSimDemo demo(dir.Root());
  ASSERT_TRUE(demo.Start());
  EXPECT_EQ(demo.Line().LinkPath(), dir.Path(QStringLiteral("ttyDEMO0")));
  EXPECT_EQ(demo.Modem().LinkPath(), dir.Path(QStringLiteral("ttyGSM0")));
  EXPECT_TRUE(QFileInfo(demo.Modem().LinkPath()).isSymLink());
  for (const TDemoController& c : kDemo) {
    SCOPED_TRACE(c.Address);
    ASSERT_TRUE(demo.Line().WithController(c.Address, [&c](TSimController& AController) {
      EXPECT_EQ(AController.Identification(), QByteArray(c.Identification));
      const std::pair<std::uint16_t, int> registers[] = {
          {1799, c.DecimalPoint}, {384, 1},    {768, c.SetValue}, {1280, c.Event1Mode},
          {1281, c.Event1Point},  {1288, 0},   {1296, 0},         {2048, c.StepSetValues.empty() ? 0 : 1}};
      for (const auto& [address, value] : registers) EXPECT_EQ(AController.Register(address), value) << address;
    }));
  }
  EXPECT_FALSE(demo.Line().WithController(3, [](TSimController&) {})) << "only 1, 2 and 5 on the line";
  demo.Stop();
  EXPECT_FALSE(QFileInfo(demo.Line().LinkPath()).isSymLink());
  EXPECT_FALSE(QFileInfo(demo.Modem().LinkPath()).isSymLink());
}

// The modem's line, raw: what it answers until it is quiet.
QByteArray Say(int AHandle, const QByteArray& AText) {
  [[maybe_unused]] ssize_t written = ::write(AHandle, AText.constData(), static_cast<size_t>(AText.size()));
  QByteArray data;
  pollfd descriptor{AHandle, POLLIN, 0};
  char buffer[256];
  ssize_t count;
  while (poll(&descriptor, 1, 300) > 0 && (count = ::read(AHandle, buffer, sizeof buffer)) > 0)
    data.append(buffer, static_cast<int>(count));
  return data;
}

// The program: "ready" once both are up, the controllers on their line, an
// answer per command ending with an empty line (a listing too), and a clean
// stop however it is asked to stop.
TEST(SimDemo, StandaloneProgramServesBothUntilStopped) {
  const QString program = qEnvironmentVariable("TERVOX_BIN_DIR") + QStringLiteral("/tervox-sim");
  ASSERT_TRUE(QFileInfo::exists(program)) << qPrintable(program);
  for (const char* stop : {"quit", "SIGTERM", "SIGINT"}) {
    SCOPED_TRACE(stop);
    TempDir dir;
    QProcess sim;
    sim.start(program, {QStringLiteral("demo"), QStringLiteral("--dir"), dir.Root()});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    ASSERT_EQ(sim.readLine().trimmed(), QByteArray("ready"));
    auto control = [&](const char* ADevice, const QByteArray& ACommand) {
      QFile channel(dir.Path(QLatin1String(ADevice) + QStringLiteral(".ctl")));
      EXPECT_TRUE(channel.open(QIODevice::WriteOnly));
      channel.write(ACommand + '\n');
      channel.close();
      QList<QByteArray> answer;
      for (;;) {
        while (!sim.canReadLine())
          if (!sim.waitForReadyRead(10000)) return answer << "(no end)";
        const QByteArray line = sim.readLine().trimmed();
        if (line.isEmpty()) return answer;
        answer << line;
      }
    };
    if (QByteArray(stop) == "quit") {
      TDqComPort port;
      ASSERT_TRUE(port.Open(dir.Path(QStringLiteral("ttyDEMO0"))));
      TModbusData modbus(&port);
      for (const TDemoController& c : kDemo) {
        SCOPED_TRACE(c.Address);
        EXPECT_EQ(modbus.ReadHoldRegInt(static_cast<std::uint8_t>(c.Address), 1799), c.DecimalPoint);
        EXPECT_EQ(modbus.ReadHoldRegBit(static_cast<std::uint8_t>(c.Address), 288, 0, 1),
                  c.StepSetValues.empty() ? 0 : 1);
        const int setValue = modbus.ReadHoldRegInt(static_cast<std::uint8_t>(c.Address), 257);
        if (!c.StepSetValues.empty()) {
          EXPECT_NE(std::find(c.StepSetValues.begin(), c.StepSetValues.end(), setValue), c.StepSetValues.end())
              << setValue;
        }
      }
      EXPECT_EQ(control("ttyDEMO0", "set 1 1281 0"), QList<QByteArray>{"ok 0"});
      EXPECT_EQ(modbus.ReadHoldRegInt(1, 1281), 0);
      EXPECT_EQ(control("ttyDEMO0", "get 3 1799"), QList<QByteArray>{"error: no slave 3"});

      const int modem = ::open(QFile::encodeName(dir.Path(QStringLiteral("ttyGSM0"))).constData(),
                               O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(modem, 0);
      termios settings{};
      ASSERT_EQ(tcgetattr(modem, &settings), 0);
      cfmakeraw(&settings);
      tcsetattr(modem, TCSANOW, &settings);
      EXPECT_EQ(control("ttyGSM0", "sent"), QList<QByteArray>{"ok 0"});
      EXPECT_TRUE(Say(modem, "AT+CMGF=1\r\n").endsWith("OK\r\n"));
      for (const char* text : {"First", "Second"}) {
        EXPECT_TRUE(Say(modem, "AT+CMGS=\"0811111111\"\r\n").endsWith("> "));
        EXPECT_TRUE(Say(modem, QByteArray(text) + '\x1a').endsWith("OK\r\n"));
      }
      ::close(modem);
      EXPECT_EQ(control("ttyGSM0", "sent"),
                (QList<QByteArray>{"ok 2", "0811111111 First", "0811111111 Second"}));
      EXPECT_EQ(control("ttyGSM0", "dance"), QList<QByteArray>{"error: unknown command dance"});
      EXPECT_EQ(control("ttyGSM0", "quit"), QList<QByteArray>{"ok"});
    } else {
      ::kill(static_cast<pid_t>(sim.processId()), QByteArray(stop) == "SIGTERM" ? SIGTERM : SIGINT);
    }
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.exitCode(), 0);
    // The links and the pipes are gone with it.
    EXPECT_EQ(QDir(dir.Root()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
  }
}

} // namespace
