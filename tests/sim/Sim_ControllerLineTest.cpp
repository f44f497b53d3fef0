#include "comm/DqModbus.h"
#include "comm/DqNetLine.h"
#include "comm/DqPort.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <modbus/modbus.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using tervox_test::TempDir;

// libmodbus as the master: an independent reading of the simulator's
// framing, multi-drop addressing and exceptions.
TEST(SimControllerLine, AnswersAnIndependentMaster) {
  TempDir dir;
  TSimControllerLine line(dir.Path(QStringLiteral("BUS")), {1, 2, 5}, 38400);
  ASSERT_TRUE(line.Start());
  modbus_t* context = modbus_new_rtu(line.LinkPath().toLocal8Bit().constData(), 38400, 'N', 8, 1);
  ASSERT_NE(context, nullptr);
  ASSERT_EQ(modbus_connect(context), 0);
  modbus_flush(context);
  modbus_set_response_timeout(context, 0, 300000);
  std::uint16_t registers[10] = {};
  for (int slave : {1, 2, 5}) {
    SCOPED_TRACE(slave);
    modbus_set_slave(context, slave);
    ASSERT_EQ(modbus_read_registers(context, 64, 10, registers), 10);
    QByteArray ident;
    for (std::uint16_t value : registers) ident.append(static_cast<char>(value >> 8)).append(static_cast<char>(value));
    EXPECT_EQ(ident, QByteArray("TVXBA-KR01302CDHT5P0"));
    ASSERT_EQ(modbus_write_register(context, 769, slave * 111), 1);
    ASSERT_EQ(modbus_read_registers(context, 769, 1, registers), 1);
    EXPECT_EQ(registers[0], slave * 111);
    EXPECT_EQ(modbus_read_registers(context, 1000, 1, registers), -1);
    EXPECT_EQ(errno, EMBXILADD);
  }
  modbus_set_slave(context, 3); // nobody: no answer, and the line goes on
  EXPECT_EQ(modbus_read_registers(context, 64, 1, registers), -1);
  modbus_set_slave(context, 5);
  EXPECT_EQ(modbus_read_registers(context, 769, 1, registers), 1);
  EXPECT_EQ(registers[0], 555);
  EXPECT_GE(line.FramesIgnored(), 1);
  modbus_close(context);
  modbus_free(context);
}

TEST(SimControllerLine, ControlCommandsDriveFaultsAndRegisters) {
  TempDir dir;
  TSimControllerLine line(dir.Path(QStringLiteral("BUS")), {1, 2});
  ASSERT_TRUE(line.Start());
  TDqComPort port;
  ASSERT_TRUE(port.Open(line.LinkPath()));
  TModbusData modbus(&port);
  struct Case {
    const char* Command;
    const char* Reply;
  };
  const Case commands[] = {{"set 2 1800 -123", "ok -123"}, {"get 2 1800", "ok -123"}, {"silent 9 on", "error: no slave 9"},
                           {"slow 2 maybe", "error: say on or off"}, {"dance", "error: missing slave address"},
                           {"ident 2 short", "error: the identification has 20 characters"}};
  for (const Case& test : commands) EXPECT_EQ(line.Execute(QLatin1String(test.Command)), QLatin1String(test.Reply));
  EXPECT_EQ(modbus.ReadHoldRegInt(2, 1800), -123);
  EXPECT_EQ(line.Execute(QStringLiteral("silent 2 on")), QStringLiteral("ok"));
  EXPECT_FALSE(modbus.ReadHoldReg(2, 1800, 1));
  EXPECT_EQ(modbus.ReadHoldRegInt(1, 1800), -2000);
  EXPECT_EQ(line.Execute(QStringLiteral("silent 2 off")), QStringLiteral("ok"));
  EXPECT_EQ(modbus.ReadHoldRegInt(2, 1800), -123);
  EXPECT_EQ(line.Execute(QStringLiteral("unplug")), QStringLiteral("ok"));
  EXPECT_FALSE(modbus.ReadHoldReg(1, 1800, 1));
  EXPECT_FALSE(QFileInfo::exists(line.LinkPath()));
  EXPECT_EQ(line.Execute(QStringLiteral("replug")), QStringLiteral("ok"));
  ASSERT_TRUE(port.Open(line.LinkPath()));
  EXPECT_EQ(modbus.ReadHoldRegInt(1, 1800), -2000);
}

// The standalone program: "ready", then its control channel.
TEST(SimControllerLine, StandaloneProgramServesUntilStopped) {
  TempDir dir;
  const QString program = QString::fromLocal8Bit(qgetenv("TERVOX_BIN_DIR")) + QStringLiteral("/tervox-sim");
  ASSERT_TRUE(QFileInfo::exists(program)) << qPrintable(program);
  QProcess help;
  help.start(program, {QStringLiteral("--help")});
  ASSERT_TRUE(help.waitForFinished(10000));
  const QString helpText = QString::fromLocal8Bit(help.readAllStandardOutput());
  EXPECT_TRUE(helpText.contains(QLatin1String("silent ADDR on|off")));
  EXPECT_TRUE(helpText.contains(QLatin1String("PATH.ctl")));

  const QString link = dir.Path(QStringLiteral("SIM"));
  QProcess sim;
  sim.start(program, {QStringLiteral("controllers"), QStringLiteral("--link"), link, QStringLiteral("--addresses"),
                      QStringLiteral("1,7"), QStringLiteral("--baud"), QStringLiteral("19200")});
  ASSERT_TRUE(sim.waitForReadyRead(10000));
  ASSERT_EQ(sim.readLine().trimmed(), QByteArray("ready"));
  TDqComPort port;
  ASSERT_TRUE(port.Open(link));
  ASSERT_TRUE(port.Config(19200, 8, 0, 0));
  TModbusData modbus(&port);
  EXPECT_EQ(modbus.ReadHoldRegInt(7, 1799), 1);
  auto control = [&](const QByteArray& ACommand) {
    QFile channel(link + QStringLiteral(".ctl"));
    EXPECT_TRUE(channel.open(QIODevice::WriteOnly));
    channel.write(ACommand + '\n');
    channel.close();
    EXPECT_TRUE(sim.waitForReadyRead(10000));
    return sim.readLine().trimmed();
  };
  EXPECT_EQ(control("crc 7 on"), QByteArray("ok"));
  EXPECT_FALSE(modbus.ReadHoldReg(7, 1799, 1));
  EXPECT_TRUE(modbus.LastError().contains(QLatin1String("Modbus: Invalid RX CRC")));
  EXPECT_EQ(control("crc 7 off"), QByteArray("ok"));
  EXPECT_EQ(control("set 7 1799 2"), QByteArray("ok 2"));
  EXPECT_EQ(modbus.ReadHoldRegInt(7, 1799), 2);
  EXPECT_EQ(control("quit"), QByteArray("ok"));
  ASSERT_TRUE(sim.waitForFinished(10000));
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_FALSE(QFileInfo::exists(link));
}

// The program behind the network: libmodbus's own Modbus TCP client reads
// through --tcp; --rtu-tcp passes RTU frames (read with libmodbus's RTU
// framing over the raw connection is not offered, so TERVOX's own
// transport reads it).
TEST(SimControllerLine, StandaloneProgramServesModbusTcpAndRtuOverTcp) {
  TempDir dir;
  const QString program = QString::fromLocal8Bit(qgetenv("TERVOX_BIN_DIR")) + QStringLiteral("/tervox-sim");
  ASSERT_TRUE(QFileInfo::exists(program)) << qPrintable(program);
  for (const char* mode : {"--tcp", "--rtu-tcp"}) {
    SCOPED_TRACE(mode);
    const QString control = dir.Path(QStringLiteral("net%1.ctl").arg(mode));
    QProcess sim;
    sim.start(program, {QStringLiteral("controllers"), QLatin1String(mode), QStringLiteral("0"), QStringLiteral("--addresses"),
                        QStringLiteral("1,7"), QStringLiteral("--control"), control});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    QByteArray output = sim.readAll();
    while (!output.contains("ready\n") && sim.waitForReadyRead(5000)) output += sim.readAll();
    const qsizetype at = output.indexOf("listening on 127.0.0.1:");
    ASSERT_GE(at, 0) << output.toStdString();
    const int port = output.mid(at + 23).split('\n').value(0).toInt();
    ASSERT_GT(port, 0);
    auto command = [&](const QByteArray& ACommand) {
      QFile channel(control);
      EXPECT_TRUE(channel.open(QIODevice::WriteOnly));
      channel.write(ACommand + '\n');
      channel.close();
      EXPECT_TRUE(sim.waitForReadyRead(10000));
      return sim.readLine().trimmed();
    };
    EXPECT_EQ(command("set 7 1800 -45"), QByteArray("ok -45"));
    if (QLatin1String(mode) == QLatin1String("--tcp")) {
      modbus_t* context = modbus_new_tcp("127.0.0.1", port);
      ASSERT_EQ(modbus_connect(context), 0);
      modbus_set_slave(context, 7);
      std::uint16_t value = 0;
      ASSERT_EQ(modbus_read_registers(context, 1800, 1, &value), 1);
      EXPECT_EQ(static_cast<std::int16_t>(value), -45);
      EXPECT_EQ(modbus_read_registers(context, 1000, 1, &value), -1);
      EXPECT_EQ(errno, EMBXILADD);
      modbus_close(context);
      modbus_free(context);
    } else {
      TDqComPort line;
      line.PortData().PortType = dqtRTUTCP;
      line.PortData().IPAddress = QStringLiteral("127.0.0.1");
      line.PortData().PortNumber = QString::number(port);
      line.SetFrameTransport(DqMakeNetTransport(line.PortData()));
      ASSERT_TRUE(line.Open(QString()));
      TModbusData modbus(&line);
      EXPECT_EQ(modbus.ReadHoldRegInt(7, 1800), -45);
      EXPECT_EQ(command("crc 7 on"), QByteArray("ok"));
      EXPECT_FALSE(modbus.ReadHoldReg(7, 1800, 1));
      EXPECT_EQ(modbus.Outcome, TModbusOutcome::Corrupt);
    }
    EXPECT_EQ(command("quit"), QByteArray("ok"));
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.exitCode(), 0);
  }
}

} // namespace
