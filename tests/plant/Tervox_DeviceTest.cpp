#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "store/Main_Database.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

TTervoxModelType Identification(const char* AText) {
  TTervoxModelType type;
  std::memcpy(type.Data.data(), AText, std::min<std::size_t>(std::strlen(AText), 20));
  return type;
}

TEST(DeviceConversions, MarkersPassThroughAndScalingRoundsToEven) {
  EXPECT_EQ(GetFloatDigit(32767, 2), 32767.0);
  EXPECT_EQ(GetFloatDigit(-32768, 1), -32768.0);
  EXPECT_DOUBLE_EQ(GetFloatDigit(32766, 1), 3276.6);
  EXPECT_DOUBLE_EQ(GetFloatDigit(-1234, 3), -1.234);
  EXPECT_EQ(GetIntDigit(0.25, 1), 2);
  EXPECT_EQ(GetIntDigit(0.75, 1), 8);
  EXPECT_EQ(GetIntDigit(32767, 3), 32767);
  EXPECT_EQ(GetIntDigit(-32768, 2), -32768);
  EXPECT_EQ(GetIntDigit(25.34, 2), 2534);

  TTervoxDevice device;
  device.SetDigit(1);
  EXPECT_EQ(device.PV(), 32767); // no value until read
  EXPECT_EQ(device.PV_Float(), 32767.0);
  device.SetPV_Float(25.3);
  EXPECT_EQ(device.PV(), 253);
  device.SetPV(32766);
  EXPECT_DOUBLE_EQ(device.PV_Float(), 3276.6);

  EXPECT_EQ(TTervoxDevice::OutFloat(1000), 100.0);
  EXPECT_EQ(TTervoxDevice::OutFloat(32767), 32767.0);
  EXPECT_DOUBLE_EQ(TTervoxDevice::OutFloat(-32767), -3276.7);
  EXPECT_EQ(TTervoxDevice::OutFloat(-32768), -32768.0);
  device.SetOut1_Float(55.55);
  EXPECT_EQ(device.Out1(), 556);
  device.SetOut2_Float(32767);
  EXPECT_EQ(device.Out2(), 32767);
}

TEST(DeviceIdentification, CapabilitiesVersionAndModelCode) {
  TTervoxDevice blank;
  EXPECT_FALSE(blank.HaveEV() || blank.HaveOUT2() || blank.HaveDI() || blank.HaveCT() || blank.HaveAnalog() ||
               blank.HavePrg());
  EXPECT_EQ(blank.Version(), 0.0);

  //                          0123456789012345678 9
  TTervoxDevice full;
  full.SetModelType(Identification("TRXBANKR0130ECDHTRP0"));
  EXPECT_EQ(full.VersionString(), QStringLiteral("1.30"));
  EXPECT_DOUBLE_EQ(full.Version(), 1.3);
  EXPECT_TRUE(full.HaveEV());
  EXPECT_TRUE(full.HaveOUT2());
  EXPECT_TRUE(full.HaveDI());
  EXPECT_TRUE(full.HaveCT());
  EXPECT_TRUE(full.HaveAnalog());
  EXPECT_TRUE(full.HavePrg());
  EXPECT_EQ(full.InputSpec(), 'K');
  EXPECT_EQ(full.ModelName(), QStringLiteral("TRXBA/B"));
  // Unknown power shows both letters.
  EXPECT_EQ(full.DeviceData().Model, QStringLiteral("TRXBA/B-KRF/L-EC-DHTRP"));
  full.SetModelDimension(QStringLiteral("B"));
  full.SetModelPower(QStringLiteral("L"));
  EXPECT_EQ(full.ModelCode(), QStringLiteral("TRXBB-KRL-EC-DHTRP"));
  full.SetModelPower(QStringLiteral("X"));
  EXPECT_EQ(full.ModelCode(), QStringLiteral("TRXBB-KRF/L-EC-DHTRP"));

  // The version is read with "." whatever the user's locale.
  SetUserLocale(QLocale(QLocale::German));
  EXPECT_DOUBLE_EQ(full.Version(), 1.3);
  SetUserLocale(QLocale::c());

  TTervoxDevice compact;
  compact.SetModelType(Identification("TRXAAN1R0105E5N00000"));
  compact.SetModelDimension(QStringLiteral("E"));
  EXPECT_EQ(compact.ModelName(), QStringLiteral("TRX10A/B/C/D"));
  compact.SetModelDimension(QStringLiteral("c"));
  EXPECT_EQ(compact.ModelName(), QStringLiteral("TRX10A/B/C/D"));
  compact.SetModelDimension(QStringLiteral("C"));
  EXPECT_EQ(compact.ModelCode(), QStringLiteral("TRX10C-1RF-E5"));
  EXPECT_TRUE(compact.InfomationText().endsWith(QStringLiteral("\r\nEvent Output: E\r\nCommunication: 5")));

  TTervoxDevice dimensionD;
  dimensionD.SetModelType(Identification("TRXBD"));
  EXPECT_EQ(dimensionD.ModelName(), QStringLiteral("TRXBC/D"));
  dimensionD.SetModelDimension(QStringLiteral("D"));
  EXPECT_EQ(dimensionD.ModelName(), QStringLiteral("TRXBD"));

  const struct {
    const char* id;
    bool out2;
    bool prg;
  } cases[] = {{"TRXBANKR0130ENNNNNP1", false, false}, {"TRXBANKR01302NNNNNN0", true, false},
               {"TRXBANKR0130NSNNNNP0", true, true}};
  for (const auto& c : cases) {
    TTervoxDevice device;
    device.SetModelType(Identification(c.id));
    EXPECT_EQ(device.HaveOUT2(), c.out2) << c.id;
    EXPECT_EQ(device.HavePrg(), c.prg) << c.id;
  }
}

TEST(DeviceState, FlagsFromBitsRunWindowAndLock) {
  tervox_test::FixedClock clock(45000.0);
  TTervoxDevice device;
  device.SetOperationBits(0b110);
  EXPECT_FALSE(device.IsRun());
  EXPECT_TRUE(device.IsManual());
  EXPECT_FALSE(device.IsAT());
  device.SetEventBits(0b101);
  EXPECT_TRUE(device.IsEV1());
  EXPECT_FALSE(device.IsEV2());
  EXPECT_TRUE(device.IsEV3());
  device.SetProgramBits(0b1001);
  EXPECT_TRUE(device.IsSkip());
  EXPECT_FALSE(device.IsHold());
  EXPECT_TRUE(device.IsPrgRun());

  EXPECT_TRUE(device.RunChanged());
  device.SetRunChanged(false);
  clock.Advance(1999.0 / 86400000.0);
  EXPECT_TRUE(device.RunChanged());
  clock.Advance(2.0 / 86400000.0);
  EXPECT_FALSE(device.RunChanged());

  device.Lock();
  try {
    device.Lock();
    FAIL() << "second lock succeeded";
  } catch (const EDqException& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("Lock exceed"));
  }
  EXPECT_EQ(device.LockCount(), 1);
  device.Unlock();
  device.Unlock(); // never below zero
  EXPECT_EQ(device.LockCount(), 0);
  device.Lock();
  device.Unlock();
}

class DeviceDbTest : public ::testing::Test {
protected:
  void SetUp() override {
    db = std::make_unique<TSQLiteDatabase>(dir.Path(QStringLiteral("d.db")));
    db->SetHeader(QStringLiteral("TERVOX_SQLITE"));
    db->ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  }
  tervox_test::TempDir dir;
  std::unique_ptr<TSQLiteDatabase> db;
};

TEST_F(DeviceDbTest, DeviceRowsRoundTripAndListFindsThem) {
  TTervoxDeviceList list;
  list.LoadFromDB(*db, QStringLiteral("Device"));
  EXPECT_EQ(list.Count(), 0);
  for (int id : {0, -1, 1}) EXPECT_EQ(list.GetDeviceByID(id), nullptr);

  TTervoxDeviceData data;
  data.Name = QStringLiteral("Oven 1");
  data.SlaveID = 5;
  data.Model = QStringLiteral("TRXBA-KR");
  data.Enabled = true;
  data.InsertToDB(*db); // no port: stored as NULL
  data.Name = QStringLiteral("Oven 2");
  data.DevicePortID = 3;
  data.Enabled = false;
  data.InsertToDB(*db);
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT count(*) FROM Device WHERE DevicePortID IS NULL")), 1);

  list.LoadFromDB(*db, QStringLiteral("Device"));
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetDevices(2), nullptr);
  TTervoxDevice* first = list.GetDevices(0);
  EXPECT_EQ(first->DeviceName(), QStringLiteral("Oven 1"));
  const TTervoxDeviceData loaded = first->DeviceData();
  EXPECT_EQ(loaded.DevicePortID, -1);
  EXPECT_EQ(loaded.SlaveID, 5);
  EXPECT_TRUE(loaded.Enabled);
  EXPECT_EQ(list.GetDeviceByID(2)->DeviceData().DevicePortID, 3);

  TTervoxDeviceData changed = loaded;
  changed.Name = QStringLiteral("Oven 1'");
  changed.Dimension = QStringLiteral("B");
  changed.UpdateDB(*db);
  list.LoadFromDB(*db, QStringLiteral("Device"));
  EXPECT_EQ(list.GetDeviceByID(1)->DeviceName(), QStringLiteral("Oven 1'"));
  EXPECT_EQ(list.GetDeviceByID(1)->ModelDimension(), QStringLiteral("B"));

  // A device still in use survives the list being cleared.
  std::shared_ptr<TTervoxDevice> held = list.SharedDeviceByID(1);
  list.Clear();
  EXPECT_EQ(held->DeviceName(), QStringLiteral("Oven 1'"));

  try {
    list.SetDevices(0, held);
    FAIL() << "no error";
  } catch (const EDqException& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("Device list index [0] out of bound (0)"));
  }
}

TEST_F(DeviceDbTest, ValueTypeNames) {
  TTervoxValueTypes types;
  types.LoadFromDB(*db, QStringLiteral("ValueType"));
  QStringList names;
  types.GetNameList(names, false);
  EXPECT_EQ(names.join(QLatin1Char(',')), QStringLiteral("PV,SV,OUT1,OUT2,EV1,EV2,EV3"));
  types.GetNameList(names, true);
  EXPECT_EQ(names.first(), QStringLiteral("NONE"));
  EXPECT_EQ(types.GetNames(3), QStringLiteral("OUT1"));
  EXPECT_EQ(types.IndexOfID(7), 7);
  EXPECT_EQ(types.IndexOfID(8), -1);
}

} // namespace

namespace {

TEST(DeviceHistory, OneRowPerReadingWithScaledValues) {
  tervox_test::TempDir dir;
  SetDatabaseFileName(dir.Path(QStringLiteral("h.db")));
  tervox_test::FixedClock clock(45000.5);
  TTervoxDevice device;
  TTervoxDeviceData data;
  data.ID = 7;
  device.SetDeviceData(data);
  device.SetDigit(2);
  device.SetPV(2534);
  device.SetOut1(555);
  device.SetEV1(123);
  device.SetEventBits(0b010);
  device.SaveStatusToDB();
  device.SaveStatusToDB(); // same instant: kept, a millisecond later

  auto rows = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM DeviceData ORDER BY ReadTime"));
  EXPECT_EQ(rows->FieldByName(QStringLiteral("DeviceID"))->AsInteger(), 7);
  EXPECT_EQ(rows->FieldByName(QStringLiteral("ReadTime"))->Value(), TVariant::FromDateTime(45000.5));
  EXPECT_EQ(rows->FieldByName(QStringLiteral("Digit"))->AsInteger(), 2);
  EXPECT_DOUBLE_EQ(rows->FieldByName(QStringLiteral("PV"))->AsFloat(), 25.34);
  EXPECT_EQ(rows->FieldByName(QStringLiteral("SV"))->AsFloat(), 32767.0); // no value stays unscaled
  EXPECT_DOUBLE_EQ(rows->FieldByName(QStringLiteral("OUT1"))->AsFloat(), 55.5);
  EXPECT_DOUBLE_EQ(rows->FieldByName(QStringLiteral("EV1"))->AsFloat(), 12.3); // fixed /10
  EXPECT_FALSE(rows->FieldByName(QStringLiteral("IsEV1"))->AsBool());
  EXPECT_TRUE(rows->FieldByName(QStringLiteral("IsEV2"))->AsBool());
  ASSERT_TRUE(rows->Next());
  EXPECT_GT(rows->FieldByName(QStringLiteral("ReadTime"))->AsFloat(), 45000.5);
  EXPECT_FALSE(rows->Next());
  rows.reset();
  FreeDatabase();
  SetDatabaseFileName(QString());
}

} // namespace

TEST(DeviceAlarms, AlarmTextKeepsTheControllersNameAsTyped) {
  // A name with a place marker of its own must not take the event number.
  TTervoxDevice device;
  TTervoxDeviceData data;
  data.Name = QStringLiteral("Oven %1 %2");
  device.SetDeviceData(data);
  device.SetDigit(1);
  device.SetPV(1234);
  EXPECT_EQ(device.AlarmText(1, 1), QStringLiteral("Oven %1 %2 EV2 High Alarm 123.4"));
  EXPECT_EQ(device.AlarmText(8, 0), QString());
}
