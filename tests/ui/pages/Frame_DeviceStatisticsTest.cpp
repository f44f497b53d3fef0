// The Device page's communication statistics, live: three controllers on a
// simulated line, one silent and one answering with bad CRCs.
#include "store/DqSQLite.h"
#include "sim/Sim_ControllerLine.h"
#include "plant/Tervox_Device.h"
#include "ui/pages/Frame_Device.h"
#include "ui/UiTestSupport.h"

#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

class DeviceStatistics : public ::testing::TestWithParam<TSimLineMode> {};

TEST_P(DeviceStatistics, ShowTimeOutsAndCRCErrorsForExactlyTheFaultyControllers) {
  TestDatabase db;
  tervox_test::TempDir dir;
  std::unique_ptr<TSimControllerLine> line =
      GetParam() == TSimLineMode::Pty
          ? std::make_unique<TSimControllerLine>(dir.Path(QStringLiteral("bus")), std::vector<int>{1, 2, 3})
          : std::make_unique<TSimControllerLine>(GetParam(), 0, std::vector<int>{1, 2, 3});
  ASSERT_TRUE(line->Start());
  TSQLiteParamList params;
  params.SetParamValues(":Type", GetParam() == TSimLineMode::Pty ? 1 : 3);
  params.SetParamValues(":Name", line->LinkPath());
  params.SetParamValues(":Port", QString::number(line->TcpPort()));
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, "
                                        "Parity, IPAddress, PortNumber, Enabled) VALUES ('Line', :Type, :Name, 9600, 8, "
                                        "0, 0, '127.0.0.1', :Port, 1)"),
                         &params);
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES ('Oven', 1, 1, 1), "
                                    "('Kiln', 1, 2, 1), ('Dryer', 1, 3, 1)"));
  line->SetFault(2, TSimFault::Silent, true);
  line->SetFault(3, TSimFault::CorruptCRC, true);
  TFrameDevice page;
  page.resize(1000, 600);
  page.show();
  TTervoxDevice::StartThread();
  QTableWidget* grid = page.GridStatistics();
  ASSERT_EQ(grid->rowCount(), 3);
  auto cell = [&](int ARow, int AColumn) {
    const QTableWidgetItem* item = grid->item(ARow, AColumn);
    return item ? item->text() : QString();
  };
  auto number = [&](int ARow, int AColumn) { return cell(ARow, AColumn).toInt(); };
  // Refreshed by the page itself, while polling goes on.
  ASSERT_TRUE(QTest::qWaitFor([&] { return number(0, 2) >= 10 && number(1, 3) >= 3 && number(2, 4) >= 3; }, 20000));
  TTervoxDevice::StopThread();
  page.RefreshStatistics();
  EXPECT_EQ(cell(0, 0), QStringLiteral("Oven"));
  EXPECT_EQ(cell(1, 0), QStringLiteral("Kiln"));
  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(row);
    const int requests = number(row, 1);
    EXPECT_GT(requests, 0);
    EXPECT_EQ(number(row, 3), row == 1 ? requests : 0) << "time-outs";
    EXPECT_EQ(number(row, 4), row == 2 ? requests : 0) << "CRC/framing";
    EXPECT_EQ(number(row, 2), row == 0 ? requests : 0) << "answers";
    EXPECT_EQ(number(row, 5), 0);
    EXPECT_EQ(cell(row, 6), QStringLiteral("0"));
    EXPECT_EQ(cell(row, 8).isEmpty(), row == 0) << cell(row, 8).toStdString();
    EXPECT_EQ(cell(row, 10).isEmpty(), row != 0);
  }
  EXPECT_TRUE(cell(2, 8).contains(QStringLiteral("CRC"))) << cell(2, 8).toStdString();
  EXPECT_TRUE(cell(1, 8).contains(QStringLiteral("time-out"))) << cell(1, 8).toStdString();
  EXPECT_FALSE(cell(0, 11).isEmpty()); // mean reply time
}

INSTANTIATE_TEST_SUITE_P(Lines, DeviceStatistics, ::testing::Values(TSimLineMode::Pty, TSimLineMode::RtuTcp),
                         [](const auto& AInfo) { return AInfo.param == TSimLineMode::Pty ? "Serial" : "RtuOverTcp"; });

} // namespace
