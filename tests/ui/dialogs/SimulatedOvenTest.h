// One controller, "Oven" at address 1 on a simulated line, its
// identification read: the fixture of the settings dialogs' tests, with the
// journal of what reached the controller's registers.
#pragma once

#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "ui/UiTestSupport.h"

#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class SimulatedOvenTest : public ::testing::Test {
protected:
  using TWrite = std::pair<int, int>; // register, value written

  void SetUp() override {
    line = std::make_unique<TSimControllerLine>(dir.Path(QStringLiteral("line0")), std::vector<int>{1});
    QString error;
    ASSERT_TRUE(line->Start(&error)) << error.toStdString();
    PrepareController();
    TSQLiteParamList params;
    params.SetParamValues(":PortName", line->LinkPath());
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, "
                                          "StopBits, Parity) VALUES ('Line 1', 1, :PortName, 9600, 8, 0, 0)"),
                           &params);
    GetDatabase()->ExecSQL(
        QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES ('Oven', 1, 1, -1)"));
    TTervoxDevice::InitialPort();
    DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
    oven = DeviceList()->SharedDeviceByID(1);
    bool done = false;
    oven->ReadInformation([&] { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
    ASSERT_TRUE(oven->Synchronized());
    Writes();
  }

  void TearDown() override { oven.reset(); }

  // Registers the controller holds before its identification is read.
  virtual void PrepareController() {}

  // The single-register writes since the last call, in order.
  std::vector<TWrite> Writes() {
    std::vector<TWrite> writes;
    line->WithController(1, [&](TSimController& c) {
      for (const TSimAccess& a : c.TakeJournal())
        if (a.Function == 6) writes.emplace_back(a.Address, static_cast<std::int16_t>(a.Value));
    });
    return writes;
  }

  // Types into an edit as a user would, ending with Return.
  static void Type(QLineEdit* AEdit, const QString& AText) {
    AEdit->setFocus();
    AEdit->selectAll();
    QTest::keyClicks(AEdit, AText);
    QTest::keyClick(AEdit, Qt::Key_Return);
  }

  tervox_test::TestDatabase database;
  tervox_test::TempDir dir;
  std::unique_ptr<TSimControllerLine> line;
  std::shared_ptr<TTervoxDevice> oven;
};
