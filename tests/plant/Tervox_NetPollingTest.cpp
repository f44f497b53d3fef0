// Polling and recording controllers behind the network: the simulator as a
// Modbus TCP gateway and as a serial device server in raw mode.
#include "comm/DqModbus.h"
#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"

#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

class NetPollingTest : public ::testing::TestWithParam<TSimLineMode> {
protected:
  void SetUp() override {
    SetDatabaseFileName(dir.Path(QStringLiteral("net.db")));
    line = std::make_unique<TSimControllerLine>(GetParam(), 0, std::vector<int>{1, 2, 3});
    QString error;
    ASSERT_TRUE(line->Start(&error)) << error.toStdString();
    for (int address : {1, 2, 3})
      line->WithController(address, [address](TSimController& c) {
        c.SetRegister(1799, 1);
        c.SetRegister(768, static_cast<std::uint16_t>(100 * address));
        c.SetRegister(384, 1);
      });
    TSQLiteParamList params;
    params.SetParamValues(":Type", GetParam() == TSimLineMode::Tcp ? 2 : 3);
    params.SetParamValues(":Port", QString::number(line->TcpPort()));
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, IPAddress, PortNumber, "
                                          "Enabled) VALUES ('Gateway', :Type, '', '127.0.0.1', :Port, 1)"),
                           &params);
    for (const char* row : {"('Oven', 1, 1, -1)", "('Kiln', 1, 2, -1)", "('Dryer', 1, 3, -1)"})
      GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES ") +
                             QString::fromLatin1(row));
    CreateEngineObjects();
  }
  void TearDown() override {
    FreeEngineObjects();
    line.reset();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  static int Rows(int ADeviceID, const QString& AWhere = QString()) {
    return static_cast<int>(GetDatabase()->GetTableValue(
        QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = %1 %2").arg(ADeviceID).arg(AWhere)));
  }

  tervox_test::TempDir dir;
  std::unique_ptr<TSimControllerLine> line;
};

TEST_P(NetPollingTest, RecordsRealReadings) {
  TTervoxDevice::StartThread();
  ASSERT_TRUE(QTest::qWaitFor([] { return Rows(1) >= 2 && Rows(2) >= 2 && Rows(3) >= 2; }, 20000));
  for (int id : {1, 2, 3}) {
    TTervoxDevice* device = DeviceList()->GetDeviceByID(id);
    EXPECT_TRUE(device->Synchronized()) << id;
    EXPECT_EQ(device->SV(), 100 * id);
    EXPECT_FALSE(device->DeviceData().Model.isEmpty());
    EXPECT_GE(Rows(id, QStringLiteral("AND SV = %1").arg(10.0 * id)), 1) << "the scaled set value is recorded";
  }
  const TModbusStatistics stats = ModbusStatistics(1, 2);
  EXPECT_GT(stats.Answers, 10);
  EXPECT_EQ(stats.Requests, stats.Answers);
  TTervoxDevice::StopThread();
}

// One controller silent, another answering with bad CRCs (Modbus TCP: a
// wrong length field): their statistics count exactly that, and the third
// controller keeps its readings.
TEST_P(NetPollingTest, StatisticsSingleOutTheFaultyControllers) {
  line->SetFault(2, TSimFault::Silent, true);
  line->SetFault(3, TSimFault::CorruptCRC, true);
  TTervoxDevice::StartThread();
  ASSERT_TRUE(QTest::qWaitFor(
      [] { return ModbusStatistics(1, 2).TimeOuts >= 3 && ModbusStatistics(1, 3).Corrupt >= 3 && Rows(1) >= 2; }, 20000));
  const TModbusStatistics good = ModbusStatistics(1, 1), silent = ModbusStatistics(1, 2), corrupt = ModbusStatistics(1, 3);
  EXPECT_EQ(good.TimeOuts + good.Corrupt + good.Foreign + good.Exceptions + good.NoLine, 0);
  EXPECT_GT(good.Answers, 0);
  EXPECT_EQ(silent.Answers, 0);
  EXPECT_EQ(silent.Corrupt, 0);
  EXPECT_EQ(silent.TimeOuts, silent.Requests);
  EXPECT_EQ(corrupt.Answers, 0);
  EXPECT_EQ(corrupt.TimeOuts, 0);
  EXPECT_EQ(corrupt.Corrupt, corrupt.Requests);
  EXPECT_TRUE(DeviceList()->GetDeviceByID(1)->Synchronized());
  EXPECT_EQ(DeviceList()->GetDeviceByID(2)->PV(), 32767);
  EXPECT_EQ(DeviceList()->GetDeviceByID(3)->PV(), 32767);
  TTervoxDevice::StopThread();
}

// The gateway goes away and comes back: readings resume within 5 s of its
// return, with no Refresh.
TEST_P(NetPollingTest, ReadingsResumeAfterTheGatewayReturns) {
  TTervoxDevice::StartThread();
  TTervoxDevice* oven = DeviceList()->GetDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized(); }, 20000));
  line->Unplug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !oven->Synchronized(); }, 10000));
  QTest::qWait(2500); // a few failed connections: the back-off at its longest
  line->Replug();
  const auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized(); }, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::seconds(5));
  EXPECT_GE(ModbusStatistics(1, 1).NoLine, 1);
  TTervoxDevice::StopThread();
}

INSTANTIATE_TEST_SUITE_P(Modes, NetPollingTest, ::testing::Values(TSimLineMode::Tcp, TSimLineMode::RtuTcp),
                         [](const auto& AInfo) { return AInfo.param == TSimLineMode::Tcp ? "Tcp" : "RtuTcp"; });

} // namespace
