#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Tervox_Config.h"
#include "store/Main_Database.h"

#include <QLocale>

#include <gtest/gtest.h>

namespace {

class ConfigTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetDatabaseFileName(dir.Path(QStringLiteral("Tervox.db")));
    config = Config();
  }
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
    SetUserLocale(QLocale::c());
  }
  int Rows(const QString& AName) {
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT count(*) FROM Config WHERE Name = :Name"));
    table.SetParamValues(":Name", AName);
    table.Open();
    return table.GetFields(0)->AsInteger();
  }

  tervox_test::TempDir dir;
  TTervoxConfig* config = nullptr;
};

TEST_F(ConfigTest, TypedValuesWithDefaults) {
  EXPECT_EQ(config->GetValues(QStringLiteral("DatabaseVersion")), QStringLiteral("591021"));
  EXPECT_EQ(config->GetValueIntDef(QStringLiteral("StartupState"), 1), 1);
  config->SetValueInt(QStringLiteral("StartupState"), 3);
  EXPECT_EQ(config->GetValueIntDef(QStringLiteral("StartupState"), 1), 3);
  config->SetValueInt(QStringLiteral("WindowLeft"), -20);
  EXPECT_EQ(config->GetValues(QStringLiteral("WindowLeft")), QStringLiteral("-20"));

  config->SetValueFloat(QStringLiteral("ReportMarginLeft"), 12.5);
  EXPECT_EQ(config->GetValueFloatDef(QStringLiteral("ReportMarginLeft"), 10), 12.5);
  config->SetValueDateTime(QStringLiteral("When"), 42374.25);
  EXPECT_EQ(config->GetValueDateTime(QStringLiteral("When")), 42374.25);

  // Unparseable values fall back to the caller's default.
  config->SetValues(QStringLiteral("StartupState"), QStringLiteral("three"));
  EXPECT_EQ(config->GetValueIntDef(QStringLiteral("StartupState"), 1), 1);
  EXPECT_EQ(config->GetValueInt(QStringLiteral("StartupState")), 0);
}

TEST_F(ConfigTest, BooleansAcceptNumbersAndWords) {
  config->SetValueBool(QStringLiteral("SMSAlert"), true);
  EXPECT_EQ(config->GetValues(QStringLiteral("SMSAlert")), QStringLiteral("-1"));
  config->SetValueBool(QStringLiteral("SMSAlert"), false);
  EXPECT_EQ(config->GetValues(QStringLiteral("SMSAlert")), QStringLiteral("0"));
  const struct {
    const char* stored;
    bool expected;
  } cases[] = {{"True", true}, {"tRUE", true}, {"1", true}, {"-1", true}, {"0", false}, {"false", false}, {"abc", true}};
  for (const auto& c : cases) {
    config->SetValues(QStringLiteral("AlertEV1"), QString::fromLatin1(c.stored));
    EXPECT_EQ(config->GetValueBoolDef(QStringLiteral("AlertEV1"), true), c.expected) << c.stored;
  }
  EXPECT_FALSE(config->GetValueBool(QStringLiteral("NeverWritten")));
}

TEST_F(ConfigTest, UpsertKeepsOneRowAndNamesAreCaseSensitive) {
  config->SetValues(QStringLiteral("SMSPort"), QStringLiteral("/dev/ttyUSB0"));
  config->SetValues(QStringLiteral("SMSPort"), QStringLiteral("/dev/ttyUSB1"));
  EXPECT_EQ(Rows(QStringLiteral("SMSPort")), 1);
  EXPECT_EQ(config->GetValues(QStringLiteral("SMSPort")), QStringLiteral("/dev/ttyUSB1"));
  EXPECT_EQ(config->GetValues(QStringLiteral("smsport")), QString());
  // Text holding quotes and parameters markers is stored as it is.
  config->SetValues(QStringLiteral("SMSMessage"), QStringLiteral("it's :Name; \"hot\""));
  EXPECT_EQ(config->GetValues(QStringLiteral("SMSMessage")), QStringLiteral("it's :Name; \"hot\""));
}

TEST_F(ConfigTest, FloatsFollowTheUserLocale) {
  SetUserLocale(QLocale(QLocale::German, QLocale::Germany));
  config->SetValueFloat(QStringLiteral("GraphPaperWidth"), 297.5);
  EXPECT_EQ(config->GetValues(QStringLiteral("GraphPaperWidth")), QStringLiteral("297,5"));
  EXPECT_EQ(config->GetValueFloatDef(QStringLiteral("GraphPaperWidth"), 1), 297.5);
  SetUserLocale(QLocale::c());
  // Written with the other separator: the default.
  EXPECT_EQ(config->GetValueFloatDef(QStringLiteral("GraphPaperWidth"), 210), 210);
}

} // namespace
