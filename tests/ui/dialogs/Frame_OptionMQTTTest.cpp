// The MQTT options page: what it shows of the stored settings, what it
// stores, and what "Test connection" says against a real Mosquitto broker.
#include "TestSupport.h"
#include "mqtt/MqttTestSupport.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"
#include "store/Tervox_Secrets.h"
#include "mqtt/Tervox_Mqtt.h"
#include "ui/dialogs/Frame_OptionMQTT.h"
#include "ui/UiTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

TEST(FrameOptionMQTT, ShowsTheStoredSettingsButNeverThePassword) {
  TestDatabase database;
  {
    TFrameOptionMQTT page;
    EXPECT_FALSE(page.CheckEnabled()->isChecked());
    EXPECT_EQ(page.EditPort()->value(), 1883);
    EXPECT_EQ(page.ComboQoS()->currentIndex(), 1);
    EXPECT_TRUE(page.EditTopic()->text().isEmpty());
    EXPECT_EQ(page.EditTopic()->placeholderText(), TTervoxMqttSettings::DefaultTopic());
    EXPECT_TRUE(page.EditPassword()->placeholderText().isEmpty());
  }
  for (const char* row : {"('MQTTEnabled', '-1')", "('MQTTHost', 'broker.plant')", "('MQTTPort', '9883')",
                          "('MQTTTLS', '-1')", "('MQTTCAFile', '/etc/tervox/ca.crt')", "('MQTTUser', 'station')",
                          "('MQTTPassword', 's3cret')", "('MQTTTopic', 'site/hall2')", "('MQTTQoS', '0')"})
    TestDatabase::Exec(QStringLiteral("INSERT INTO Config (Name, Value) VALUES ") + QString::fromLatin1(row));
  TFrameOptionMQTT page;
  EXPECT_TRUE(page.CheckEnabled()->isChecked());
  EXPECT_EQ(page.EditHost()->text(), QStringLiteral("broker.plant"));
  EXPECT_EQ(page.EditPort()->value(), 9883);
  EXPECT_TRUE(page.CheckTLS()->isChecked());
  EXPECT_EQ(page.EditCAFile()->text(), QStringLiteral("/etc/tervox/ca.crt"));
  EXPECT_EQ(page.EditUser()->text(), QStringLiteral("station"));
  EXPECT_TRUE(page.EditPassword()->text().isEmpty());
  EXPECT_FALSE(page.EditPassword()->placeholderText().isEmpty()) << "says one is stored";
  EXPECT_EQ(page.EditTopic()->text(), QStringLiteral("site/hall2"));
  EXPECT_EQ(page.ComboQoS()->currentIndex(), 0);
}

TEST(FrameOptionMQTT, SaveStoresEverySettingAndKeepsAnUntypedPassword) {
  TestDatabase database;
  Config()->SetValues(QStringLiteral("MQTTPassword"), QStringLiteral("old"));
  TFrameOptionMQTT page;
  page.CheckEnabled()->setChecked(true);
  page.CheckTLS()->setChecked(true);
  EXPECT_EQ(page.EditPort()->value(), 8883) << "the TLS port follows the box";

  // Enabled without a host: refused, nothing stored.
  QTest::mouseClick(page.ButtonSave(), Qt::LeftButton);
  EXPECT_EQ(page.LabelResult()->text(), QStringLiteral("Not saved: no broker host is set."));
  EXPECT_TRUE(Config()->GetValues(QStringLiteral("MQTTEnabled")).isEmpty());

  page.EditHost()->setText(QStringLiteral(" broker.plant "));
  page.EditUser()->setText(QStringLiteral("station"));
  page.EditTopic()->setText(QStringLiteral("site/hall2/"));
  page.ComboQoS()->setCurrentIndex(0);
  QTest::mouseClick(page.ButtonSave(), Qt::LeftButton);
  EXPECT_EQ(page.LabelResult()->text(), QStringLiteral("Saved."));
  const struct {
    const char* Name;
    const char* Value;
  } stored[] = {{"MQTTEnabled", "-1"}, {"MQTTHost", "broker.plant"}, {"MQTTPort", "8883"},    {"MQTTTLS", "-1"},
                {"MQTTUser", "station"}, {"MQTTPassword", ""},        {"MQTTTopic", "site/hall2"}, {"MQTTQoS", "0"}};
  for (const auto& s : stored) EXPECT_EQ(Config()->GetValues(QString::fromLatin1(s.Name)), QString::fromLatin1(s.Value)) << s.Name;
  // The password left Config for the secrets file beside the database.
  const auto storedPassword = [] { return TervoxSecrets::Read(GetDatabaseFileName(), QStringLiteral("MQTTPassword")); };
  EXPECT_EQ(storedPassword(), QStringLiteral("old"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Config WHERE Name = 'MQTTPassword'")), 0);
  EXPECT_TRUE(page.EditPassword()->text().isEmpty());

  page.EditPassword()->setText(QStringLiteral("new"));
  page.EditTopic()->clear(); // back to the host's default, which follows a rename
  QTest::mouseClick(page.ButtonSave(), Qt::LeftButton);
  EXPECT_EQ(storedPassword(), QStringLiteral("new"));
  EXPECT_TRUE(Config()->GetValues(QStringLiteral("MQTTTopic")).isEmpty());
  EXPECT_TRUE(page.EditPassword()->text().isEmpty());
}

TEST(FrameOptionMQTT, TestConnectionSaysWhatHappenedWithoutHoldingTheWindow) {
  TestDatabase database;
  tervox_test::TempDir dir;
  ASSERT_EQ(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-b"), QStringLiteral("-c"), dir.Path(QStringLiteral("passwd")),
                               QStringLiteral("station"), QStringLiteral("right")}),
            0);
  mqtt_test::Broker broker(dir.Root(),
                           QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(dir.Path(QStringLiteral("passwd"))));
  ASSERT_TRUE(broker.Start()) << broker.Log().toStdString();
  Config()->SetValues(QStringLiteral("MQTTPassword"), QStringLiteral("right"));
  TFrameOptionMQTT page;
  page.EditHost()->setText(QStringLiteral("127.0.0.1"));
  page.EditPort()->setValue(broker.Port());
  page.EditUser()->setText(QStringLiteral("station"));
  const struct {
    const char* Typed; // empty: the stored password
    QString Said;
  } cases[] = {
      {"wrong", QStringLiteral("Refused: bad user name or password.")},
      {"", QStringLiteral("Connected to 127.0.0.1:%1.").arg(broker.Port())},
  };
  for (const auto& c : cases) {
    page.EditPassword()->setText(QString::fromLatin1(c.Typed));
    QTest::mouseClick(page.ButtonTest(), Qt::LeftButton);
    EXPECT_TRUE(page.LabelResult()->text().startsWith(QStringLiteral("Connecting to 127.0.0.1:")));
    EXPECT_FALSE(page.ButtonTest()->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return page.ButtonTest()->isEnabled(); }, 15000));
    EXPECT_EQ(page.LabelResult()->text(), c.Said);
  }
}

} // namespace
