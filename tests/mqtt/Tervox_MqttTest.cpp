// Publishing to a real Mosquitto broker: the topic tree and its payloads,
// store and forward across outages and restarts, the last will, and what a
// broken broker connection looks like, with simulated controllers on real
// pseudo-terminals and mosquitto_sub as the independent subscriber.
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "MqttTestSupport.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "StationTestSupport.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "mqtt/Tervox_Mqtt.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

using mqtt_test::Broker;
using mqtt_test::Message;
using mqtt_test::Subscriber;

namespace {

// ---------------------------------------------------------------- payloads

TEST(MqttTopicTest, ControllerNamesBecomeOneValidLevel) {
  const struct {
    const char* Name;
    const char* Level;
  } cases[] = {
      {"Oven", "Oven"},          {"a/b+#", "a_b__"},   {"", "_"},
      {"Line\n1\t", "Line_1_"},  {"x\x7Fy", "x_y"},    {"Kiln 2 (ซ้าย)", "Kiln 2 (ซ้าย)"},
  };
  for (const auto& c : cases) EXPECT_EQ(MqttTopicLevel(QString::fromUtf8(c.Name)), QString::fromUtf8(c.Level)) << c.Name;
}

TEST(MqttPayloadTest, ReadingCarriesScaledValuesAndNullForMissing) {
  const double time = EncodeDateTime(2026, 12, 1, 8, 30, 15, 250);
  struct Case {
    TMqttReading Reading;
    bool Replayed;
    const char* Expected; // after "time"
  };
  TMqttReading answered;
  answered.ReadTime = time;
  answered.Digit = 1;
  answered.PV = 123.4;
  answered.SV = 30;
  answered.Out1 = 55.5;
  answered.Out2 = 32767;
  answered.IsEV[0] = true;
  TMqttReading silent = answered;
  silent.PV = silent.SV = silent.Out1 = silent.Out2 = 32767;
  silent.IsEV[0] = false;
  TMqttReading twoDecimals = answered;
  twoDecimals.Digit = 2;
  twoDecimals.PV = -0.25;
  twoDecimals.SV = -32768; // below range stays what the history holds
  const Case cases[] = {
      {answered, false,
       R"("pv":123.4,"sv":30.0,"out1":55.5,"out2":null,"ev1":true,"ev2":false,"ev3":false,"decimals":1,"synchronized":true,"replayed":false})"},
      {silent, true,
       R"("pv":null,"sv":null,"out1":null,"out2":null,"ev1":false,"ev2":false,"ev3":false,"decimals":1,"synchronized":false,"replayed":true})"},
      {twoDecimals, false,
       R"("pv":-0.25,"sv":-32768.00,"out1":55.5,"out2":null,"ev1":true,"ev2":false,"ev3":false,"decimals":2,"synchronized":true,"replayed":false})"},
  };
  for (const Case& c : cases) {
    const QByteArray payload = MqttReadingPayload(c.Reading, c.Replayed);
    EXPECT_EQ(payload.toStdString(), ("{\"time\":\"" + MqttTimeText(time) + "\"," + c.Expected).toStdString());
    EXPECT_FALSE(QJsonDocument::fromJson(payload).isNull()) << payload.constData();
  }
}

TEST(MqttPayloadTest, TimeIsLocalWithItsOffset) {
  const double time = EncodeDateTime(2026, 7, 1, 23, 59, 59, 999);
  const QByteArray text = MqttTimeText(time);
  const QDateTime parsed = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs);
  ASSERT_TRUE(parsed.isValid()) << text.constData();
  EXPECT_EQ(parsed.toMSecsSinceEpoch(), DateTimeToQDateTime(time).toMSecsSinceEpoch());
  EXPECT_TRUE(text.startsWith("2026-07-01T23:59:59.999")) << text.constData();
  EXPECT_TRUE(text.endsWith('Z') || text.at(text.size() - 6) == '+' || text.at(text.size() - 6) == '-') << text.constData();
}

TEST(MqttPayloadTest, AlarmTextIsEscapedJson) {
  const QString text = QStringLiteral("Oven \"1\" \\ EV1 High Alarm\r\n12.5");
  const QByteArray payload = MqttAlarmPayload(EncodeDateTime(2026, 1, 2), QStringLiteral("ev1_on"), text, true);
  const QJsonObject json = QJsonDocument::fromJson(payload).object();
  EXPECT_EQ(json.value(QStringLiteral("text")).toString(), text);
  EXPECT_EQ(json.value(QStringLiteral("event")).toString(), QStringLiteral("ev1_on"));
  EXPECT_TRUE(json.value(QStringLiteral("replayed")).toBool());
}

// ---------------------------------------------------------------- settings

class MqttSettingsTest : public ::testing::Test {
protected:
  void SetUp() override { SetDatabaseFileName(dir.Path(QStringLiteral("settings.db"))); }
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  tervox_test::TempDir dir;
};

TEST_F(MqttSettingsTest, DefaultsAndScriptedValues) {
  TTervoxMqttSettings defaults = TTervoxMqttSettings::Load();
  EXPECT_FALSE(defaults.Enabled);
  EXPECT_EQ(defaults.Port, 1883);
  EXPECT_EQ(defaults.QoS, 1);
  EXPECT_EQ(defaults.Topic, QStringLiteral("tervox/") + MqttTopicLevel(QSysInfo::machineHostName()));

  // As a deployment script writes them, straight into the Config table.
  for (const char* row : {"('MQTTEnabled', '-1')", "('MQTTHost', ' broker.plant ')", "('MQTTTLS', 'True')",
                          "('MQTTTopic', 'site/hall 2/')", "('MQTTQoS', '0')", "('MQTTPassword', 's3cret')"})
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Config (Name, Value) VALUES ") + QString::fromLatin1(row));
  const TTervoxMqttSettings scripted = TTervoxMqttSettings::Load();
  EXPECT_TRUE(scripted.Enabled);
  EXPECT_EQ(scripted.Host, QStringLiteral("broker.plant"));
  EXPECT_EQ(scripted.Port, 8883) << "TLS without a port: the TLS port";
  EXPECT_EQ(scripted.Topic, QStringLiteral("site/hall 2"));
  EXPECT_EQ(scripted.QoS, 0);
  EXPECT_EQ(scripted.Password, QStringLiteral("s3cret"));

  TTervoxMqttSettings saved = scripted;
  saved.Port = 9883;
  saved.CAFile = QStringLiteral("/etc/tervox/ca.crt");
  saved.Save();
  const TTervoxMqttSettings loaded = TTervoxMqttSettings::Load();
  EXPECT_EQ(loaded.Port, 9883);
  EXPECT_EQ(loaded.CAFile, saved.CAFile);
  EXPECT_EQ(Config()->GetValues(QStringLiteral("MQTTTLS")), QStringLiteral("-1"));
}

TEST_F(MqttSettingsTest, UnusableSettingsAreNamed) {
  const struct {
    std::function<void(TTervoxMqttSettings&)> Change;
    const char* Problem;
  } cases[] = {
      {[](TTervoxMqttSettings&) {}, ""},
      {[](TTervoxMqttSettings& s) { s.Host = QStringLiteral(" "); }, "no broker host is set"},
      {[](TTervoxMqttSettings& s) { s.Port = 0; }, "the port must be 1 to 65535"},
      {[](TTervoxMqttSettings& s) { s.Topic = QStringLiteral("plant/+"); }, "the topic prefix must not hold '+', '#' or empty levels"},
      {[](TTervoxMqttSettings& s) { s.Topic = QStringLiteral("plant//a"); }, "the topic prefix must not hold '+', '#' or empty levels"},
      {[](TTervoxMqttSettings& s) { s.TLS = true; s.CertFile = QStringLiteral("c.pem"); },
       "a client certificate needs its key file, and a key its certificate"},
  };
  for (const auto& c : cases) {
    TTervoxMqttSettings settings;
    settings.Host = QStringLiteral("localhost");
    settings.Topic = QStringLiteral("plant/a");
    c.Change(settings);
    EXPECT_EQ(settings.Problem(), QString::fromLatin1(c.Problem));
  }
}

// ---------------------------------------------------------------- test connection

// One broker, four doors: anonymous, password, TLS, and TLS with a client
// certificate would be next; what "Test connection" says at each.
TEST(MqttTestConnectionTest, SaysPlainlyWhatHappened) {
  tervox_test::TempDir dir;
  ASSERT_TRUE(mqtt_test::MakeCertificates(dir.Root()));
  ASSERT_EQ(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-b"), QStringLiteral("-c"), dir.Path(QStringLiteral("passwd")),
                               QStringLiteral("station"), QStringLiteral("right")}),
            0);

  const int locked = mqtt_test::FreePort(), tls = mqtt_test::FreePort();
  const QString more = QStringLiteral("listener %1 127.0.0.1\nallow_anonymous false\npassword_file %3/passwd\n"
                                      "listener %2 127.0.0.1\nallow_anonymous true\ncafile %3/ca.crt\n"
                                      "certfile %3/server.crt\nkeyfile %3/server.key\n")
                           .arg(locked)
                           .arg(tls)
                           .arg(dir.Root());
  Broker broker(dir.Root(), QStringLiteral("allow_anonymous true\n"), more);
  ASSERT_TRUE(broker.Start()) << broker.Log().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return mqtt_test::Accepts(locked) && mqtt_test::Accepts(tls); }, 10000));
  const int open = broker.Port();
  const int nobody = mqtt_test::FreePort();

  const struct {
    int Port;
    const char* User;
    const char* Password;
    const char* CA; // empty: no TLS
    bool Connected;
    QString Text;
  } cases[] = {
      {open, "", "", "", true, QStringLiteral("connected to 127.0.0.1:%1").arg(open)},
      {locked, "station", "right", "", true, QStringLiteral("connected to 127.0.0.1:%1").arg(locked)},
      {locked, "station", "wrong", "", false, QStringLiteral("refused: bad user name or password")},
      {locked, "", "", "", false, QStringLiteral("refused: bad user name or password")},
      {tls, "", "", "ca.crt", true, QStringLiteral("connected to 127.0.0.1:%1 with TLS").arg(tls)},
      {tls, "", "", "other.crt", false, QStringLiteral("TLS error: certificate verify failed")},
      {tls, "", "", "missing.crt", false, QStringLiteral("TLS error: the CA, certificate or key file cannot be read")},
      {nobody, "", "", "", false, QStringLiteral("host unreachable: nothing accepts connections at 127.0.0.1:%1").arg(nobody)},
  };
  for (const auto& c : cases) {
    TTervoxMqttSettings settings;
    settings.Host = QStringLiteral("127.0.0.1");
    settings.Port = c.Port;
    settings.User = QString::fromLatin1(c.User);
    settings.Password = QString::fromLatin1(c.Password);
    settings.TLS = *c.CA != 0;
    if (settings.TLS) settings.CAFile = dir.Path(QString::fromLatin1(c.CA));
    settings.Topic = QStringLiteral("plant/test");
    const TMqttTestResult result = TestMqttConnection(settings, 5000);
    EXPECT_EQ(result.Connected, c.Connected) << c.Port << " " << c.User << " " << c.CA;
    EXPECT_EQ(result.Text, c.Text);
  }
}

// ---------------------------------------------------------------- the station

// Two simulated controllers on one line, recorded by the engine, published
// under plant/test: "Oven" (one decimal, SV 30.0, event 1 a high alarm far
// above) and one named "a/b+#".
class MqttStationTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetDatabaseFileName(dir.Path(QStringLiteral("station.db")));
    line = std::make_unique<TSimControllerLine>(dir.Path(QStringLiteral("line0")), std::vector<int>{1, 2});
    QString error;
    ASSERT_TRUE(line->Start(&error)) << error.toStdString();
    line->WithController(1, [](TSimController& c) {
      c.SetRegister(1799, 1);
      c.SetRegister(384, 1); // runs on FIX SV1
      c.SetRegister(768, 300);
      c.SetRegister(1280, 1); // EV1: high alarm at 3000.0
      c.SetRegister(1281, 30000);
      c.SetRegister(1288, 0);
      c.SetRegister(1296, 0);
    });
    line->WithController(2, [](TSimController& c) {
      for (std::uint16_t mode : {1280, 1288, 1296}) c.SetRegister(mode, 0);
    });
    tervox_test::WriteStation(line->LinkPath(), QStringLiteral("Line 1"),
                              {{QStringLiteral("Oven"), 1}, {QStringLiteral("a/b+#"), 2}});
    QDir().mkpath(dir.Path(QStringLiteral("broker")));
    broker = std::make_unique<Broker>(dir.Path(QStringLiteral("broker")));
    Configure();
  }

  void TearDown() override {
    FreeEngineObjects();
    broker.reset();
    line.reset();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }

  void Configure(const QString& AUser = QString(), const QString& APassword = QString()) {
    TTervoxMqttSettings settings;
    settings.Enabled = true;
    settings.Host = QStringLiteral("127.0.0.1");
    settings.Port = broker->Port();
    settings.Topic = kPrefix;
    settings.User = AUser;
    settings.Password = APassword;
    settings.Save();
  }

  void StartStation() {
    CreateEngineObjects();
    FollowRecordingWithMqtt();
    TTervoxDevice::StartThread();
  }

  // ReadTimes of a controller's history after AAfter, as published.
  std::vector<QString> Recorded(int ADeviceID, double AAfter = 0, double ABefore = 1e9) {
    std::vector<QString> times;
    auto table = GetDatabase()->GetTable(QStringLiteral("SELECT ReadTime FROM DeviceData WHERE DeviceID = %1 AND "
                                                        "ReadTime > %2 AND ReadTime < %3 ORDER BY ReadTime")
                                             .arg(ADeviceID)
                                             .arg(AAfter, 0, 'g', 17)
                                             .arg(ABefore, 0, 'g', 17));
    while (!table->Eof()) {
      times.push_back(QString::fromLatin1(MqttTimeText(table->GetFields(0)->AsFloat())));
      table->Next();
    }
    return times;
  }

  static QString Topic(const char* AController, const char* AKind) {
    return kPrefix + QLatin1Char('/') + QString::fromUtf8(AController) + QLatin1Char('/') + QString::fromLatin1(AKind);
  }
  static QString TimeOf(const Message& AMessage) { return AMessage.Json().value(QStringLiteral("time")).toString(); }

  static bool Online(Subscriber& ASubscriber) {
    const auto status = ASubscriber.On(kPrefix + QStringLiteral("/status"));
    return !status.empty() && status.back().Payload == "online";
  }

  static inline const QString kPrefix = QStringLiteral("plant/test");
  static constexpr const char* kControllers[2] = {"Oven", "a_b__"};
  tervox_test::TempDir dir;
  std::unique_ptr<TSimControllerLine> line;
  std::unique_ptr<Broker> broker;
};

TEST_F(MqttStationTest, PublishesOnlineReadingsStateAndAlarms) {
  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  Subscriber all(broker->Port(), kPrefix + QStringLiteral("/#"));
  ASSERT_TRUE(all.Start());
  StartStation();
  ASSERT_TRUE(all.WaitFor([&] { return all.Count(Topic("Oven", "reading")) >= 5 && all.Count(Topic("a_b__", "reading")) >= 5; },
                          30000));
  EXPECT_TRUE(Online(all));
  EXPECT_EQ(MqttStatus().State, TMqttState::Online);

  // Every reading is a history row, with its values; together they are the
  // history of that span, second by second, in order.
  for (int id = 1; id <= 2; ++id) {
    const auto readings = all.On(Topic(kControllers[id - 1], "reading"));
    std::map<QString, QJsonObject> rows;
    auto table = GetDatabase()->GetTable(
        QStringLiteral("SELECT ReadTime, Digit, PV, SV, OUT1, OUT2, IsEV1, IsEV2, IsEV3 FROM DeviceData WHERE DeviceID = %1").arg(id));
    while (!table->Eof()) {
      TMqttReading row;
      row.ReadTime = table->GetFields(0)->AsFloat();
      row.Digit = table->GetFields(1)->AsInteger();
      row.PV = table->GetFields(2)->AsFloat();
      row.SV = table->GetFields(3)->AsFloat();
      row.Out1 = table->GetFields(4)->AsFloat();
      row.Out2 = table->GetFields(5)->AsFloat();
      for (int k = 0; k < 3; ++k) row.IsEV[k] = table->GetFields(6 + k)->AsBool();
      rows[QString::fromLatin1(MqttTimeText(row.ReadTime))] = QJsonDocument::fromJson(MqttReadingPayload(row, false)).object();
      table->Next();
    }
    table.reset();
    std::vector<QString> times;
    for (const Message& message : readings) {
      const QJsonObject json = message.Json();
      ASSERT_TRUE(rows.count(TimeOf(message))) << message.Payload.constData();
      EXPECT_EQ(json, rows[TimeOf(message)]) << message.Payload.constData();
      EXPECT_TRUE(json.value(QStringLiteral("synchronized")).toBool());
      times.push_back(TimeOf(message));
    }
    const std::vector<QString> recorded = Recorded(id);
    const auto first = std::find(recorded.begin(), recorded.end(), times.front());
    ASSERT_NE(first, recorded.end());
    EXPECT_EQ(times, std::vector<QString>(first, first + static_cast<std::ptrdiff_t>(times.size())));
  }
  const QJsonObject oven = all.On(Topic("Oven", "reading")).back().Json();
  EXPECT_EQ(oven.value(QStringLiteral("sv")).toDouble(), 30.0);
  EXPECT_EQ(oven.value(QStringLiteral("decimals")).toInt(), 1);
  EXPECT_FALSE(oven.value(QStringLiteral("replayed")).toBool());
  EXPECT_FALSE(oven.value(QStringLiteral("ev1")).toBool());

  // A dashboard connecting now gets the last state of each controller.
  Subscriber late(broker->Port(), kPrefix + QStringLiteral("/#"));
  ASSERT_TRUE(late.Start());
  for (const char* controller : kControllers) {
    const auto state = late.On(Topic(controller, "state"));
    ASSERT_FALSE(state.empty()) << controller;
    EXPECT_TRUE(state.front().Retained);
    EXPECT_TRUE(state.front().Json().contains(QStringLiteral("pv")));
  }
  const auto status = late.On(kPrefix + QStringLiteral("/status"));
  ASSERT_FALSE(status.empty());
  EXPECT_TRUE(status.front().Retained);
  EXPECT_EQ(status.front().Payload, "online");

  // Event 1 switches on: an alarm event with the alarm text.
  line->WithController(1, [](TSimController& c) { c.SetRegister(1281, 0); });
  ASSERT_TRUE(all.WaitFor([&] { return all.Count(Topic("Oven", "alarm")) >= 1; }, 20000));
  const QJsonObject alarm = all.On(Topic("Oven", "alarm")).front().Json();
  EXPECT_EQ(alarm.value(QStringLiteral("event")).toString(), QStringLiteral("ev1_on"));
  EXPECT_TRUE(alarm.value(QStringLiteral("text")).toString().startsWith(QStringLiteral("Oven EV1 High Alarm ")))
      << alarm.value(QStringLiteral("text")).toString().toStdString();
  EXPECT_TRUE(QDateTime::fromString(alarm.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs).isValid());
  ASSERT_TRUE(all.WaitFor([&] { return all.On(Topic("Oven", "reading")).back().Json().value(QStringLiteral("ev1")).toBool(); }, 20000));
  EXPECT_EQ(all.Count(Topic("a_b__", "alarm")), 0);
}

TEST_F(MqttStationTest, AMinuteWithoutTheBrokerArrivesCompleteAndInOrder) {
  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  // A session of its own: the broker keeps what arrives while it reconnects.
  Subscriber all(broker->Port(), kPrefix + QStringLiteral("/#"), QStringLiteral("outage-watcher"));
  ASSERT_TRUE(all.Start());
  StartStation();
  ASSERT_TRUE(all.WaitFor([&] { return all.Count(Topic("Oven", "reading")) >= 2 && all.Count(Topic("a_b__", "reading")) >= 2; },
                          30000));

  broker->Stop();
  const double stopped = Now();
  ASSERT_TRUE(QTest::qWaitFor([] { return MqttStatus().State == TMqttState::Offline; }, 30000));
  QTest::qWait(60000);
  EXPECT_GT(MqttStatus().Backlog, 0);
  EXPECT_TRUE(MqttStatus().Text().startsWith(QStringLiteral("MQTT: offline (host unreachable: "))) << MqttStatus().Text().toStdString();
  const double restarted = Now();
  std::size_t before[2];
  for (int i = 0; i < 2; ++i) before[i] = all.On(Topic(kControllers[i], "reading")).size();
  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();

  for (int id = 1; id <= 2; ++id) {
    const QString topic = Topic(kControllers[id - 1], "reading");
    const std::vector<QString> missed = Recorded(id, stopped, restarted);
    EXPECT_GE(missed.size(), 30u) << "recording went on";
    ASSERT_TRUE(all.WaitFor(
        [&] {
          const auto received = all.On(topic);
          return received.size() > before[id - 1] && TimeOf(received.back()) >= missed.back();
        },
        60000))
        << kControllers[id - 1];
    // What arrived since the broker came back: increasing, each recorded
    // second once, marked as replayed.
    const auto received = all.On(topic);
    std::vector<QString> times;
    for (std::size_t i = before[id - 1]; i < received.size(); ++i) times.push_back(TimeOf(received[i]));
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end()) << "sent twice in one connection";
    for (const QString& time : missed) {
      const auto count = std::count(times.begin(), times.end(), time);
      EXPECT_EQ(count, 1) << kControllers[id - 1] << " " << time.toStdString();
    }
    for (std::size_t i = before[id - 1]; i < received.size(); ++i) {
      if (TimeOf(received[i]) <= missed.back()) {
        EXPECT_TRUE(received[i].Json().value(QStringLiteral("replayed")).toBool());
      }
    }
  }
  ASSERT_TRUE(QTest::qWaitFor([] { return MqttStatus().State == TMqttState::Online && MqttStatus().Backlog < 10; }, 30000));
}

TEST_F(MqttStationTest, AKilledRecorderLeavesItsLastWill) {
  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  Subscriber all(broker->Port(), kPrefix + QStringLiteral("/#"));
  ASSERT_TRUE(all.Start());
  FreeDatabase(); // the recorder is the only one writing
  QProcess recorder;
  recorder.start(QDir(qEnvironmentVariable("TERVOX_BIN_DIR")).filePath(QStringLiteral("tervox_test_recorder")),
                 {dir.Path(QStringLiteral("station.db"))});
  ASSERT_TRUE(recorder.waitForStarted(10000));
  ASSERT_TRUE(all.WaitFor([&] { return Online(all) && all.Count(Topic("Oven", "reading")) >= 2; }, 30000));
  recorder.kill();
  recorder.waitForFinished(10000);
  ASSERT_TRUE(all.WaitFor([&] { return all.On(kPrefix + QStringLiteral("/status")).back().Payload == "offline"; }, 60000));
  // And a dashboard connecting later sees it too.
  Subscriber late(broker->Port(), kPrefix + QStringLiteral("/#"));
  ASSERT_TRUE(late.Start());
  ASSERT_FALSE(late.On(kPrefix + QStringLiteral("/status")).empty());
  EXPECT_EQ(late.On(kPrefix + QStringLiteral("/status")).front().Payload, "offline");
}

TEST_F(MqttStationTest, StoppingSaysOfflineAndARestartResumesAtTheMark) {
  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  Subscriber all(broker->Port(), kPrefix + QStringLiteral("/#"), QStringLiteral("restart-watcher"));
  ASSERT_TRUE(all.Start());
  StartStation();
  ASSERT_TRUE(all.WaitFor([&] { return all.Count(Topic("Oven", "reading")) >= 3; }, 30000));
  FreeEngineObjects();
  ASSERT_TRUE(all.WaitFor([&] { return all.On(kPrefix + QStringLiteral("/status")).back().Payload == "offline"; }, 10000));
  EXPECT_EQ(MqttStatus().State, TMqttState::Off);
  const QString lastSent = TimeOf(all.On(Topic("Oven", "reading")).back());
  const std::size_t before = all.On(Topic("Oven", "reading")).size();

  // Recorded while the broker is away, then the program ends.
  broker->Stop();
  StartStation();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Recorded(1).size() >= before + 4; }, 30000));
  FreeEngineObjects();
  const std::vector<QString> waiting = Recorded(1, 0, Now());

  ASSERT_TRUE(broker->Start());
  StartStation();
  ASSERT_TRUE(all.WaitFor([&] {
    const auto received = all.On(Topic("Oven", "reading"));
    return received.size() > before && TimeOf(received.back()) >= waiting.back();
  }, 60000));
  const auto received = all.On(Topic("Oven", "reading"));
  std::vector<QString> resumed;
  for (std::size_t i = before; i < received.size() && TimeOf(received[i]) <= waiting.back(); ++i) resumed.push_back(TimeOf(received[i]));
  // Everything after the last reading acknowledged, nothing before it.
  std::vector<QString> expected;
  for (const QString& time : waiting)
    if (time > lastSent) expected.push_back(time);
  EXPECT_EQ(resumed, expected);
}

TEST_F(MqttStationTest, ABrokerThatKeepsDroppingTheConnectionLosesNothing) {
  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  Subscriber all(broker->Port(), kPrefix + QStringLiteral("/#"), QStringLiteral("flap-watcher"));
  ASSERT_TRUE(all.Start());
  StartStation();
  ASSERT_TRUE(all.WaitFor([&] { return all.Count(Topic("Oven", "reading")) >= 2 && all.Count(Topic("a_b__", "reading")) >= 2; },
                          30000));
  const double first = Now();
  for (int drop = 0; drop < 4; ++drop) {
    QTest::qWait(3000);
    broker->Stop();
    QTest::qWait(500);
    ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  }
  const double healthy = Now();
  for (int id = 1; id <= 2; ++id) {
    const QString topic = Topic(kControllers[id - 1], "reading");
    const std::vector<QString> recorded = Recorded(id, first, healthy);
    ASSERT_FALSE(recorded.empty());
    ASSERT_TRUE(all.WaitFor([&] { return TimeOf(all.On(topic).back()) >= recorded.back(); }, 60000)) << kControllers[id - 1];
    std::vector<QString> times;
    for (const Message& message : all.On(topic)) times.push_back(TimeOf(message));
    // At least once: a reading in flight when the connection dropped may
    // come again on the next one.
    for (const QString& time : recorded) EXPECT_GE(std::count(times.begin(), times.end(), time), 1) << time.toStdString();
  }
  ASSERT_TRUE(QTest::qWaitFor([] { return MqttStatus().State == TMqttState::Online; }, 30000));
}

TEST_F(MqttStationTest, OverTLSOnlyWithTheRightAuthority) {
  ASSERT_TRUE(mqtt_test::MakeCertificates(dir.Path(QStringLiteral("broker"))));
  broker = std::make_unique<Broker>(dir.Path(QStringLiteral("broker")),
                                    QStringLiteral("allow_anonymous true\ncafile %1/ca.crt\ncertfile %1/server.crt\n"
                                                   "keyfile %1/server.key\n")
                                        .arg(dir.Path(QStringLiteral("broker"))));
  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  TTervoxMqttSettings settings = TTervoxMqttSettings::Load();
  settings.Port = broker->Port();
  settings.TLS = true;
  settings.CAFile = dir.Path(QStringLiteral("broker/other.crt"));
  settings.Save();
  StartStation();
  ASSERT_TRUE(QTest::qWaitFor([] { return MqttStatus().LastError == QStringLiteral("TLS error: certificate verify failed"); }, 30000))
      << MqttStatus().Text().toStdString();
  const std::size_t recorded = Recorded(1).size();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Recorded(1).size() >= recorded + 2; }, 30000)) << "recording goes on";

  settings.CAFile = dir.Path(QStringLiteral("broker/ca.crt"));
  settings.Save();
  StartMqttPublisher();
  ASSERT_TRUE(QTest::qWaitFor([] { return MqttStatus().State == TMqttState::Online; }, 30000)) << MqttStatus().Text().toStdString();
  // The broker acknowledges readings: the mark moves on.
  const QString marks = Config()->GetValues(QStringLiteral("MQTTPublishedUpTo"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Config()->GetValues(QStringLiteral("MQTTPublishedUpTo")) != marks; }, 20000));
}

TEST_F(MqttStationTest, BrokerDownAtStartThenAWrongPasswordThenHealthy) {
  ASSERT_EQ(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-b"), QStringLiteral("-c"), dir.Path(QStringLiteral("broker/passwd")),
                               QStringLiteral("station"), QStringLiteral("right")}),
            0);
  broker = std::make_unique<Broker>(
      dir.Path(QStringLiteral("broker")),
      QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(dir.Path(QStringLiteral("broker/passwd"))));
  Configure(QStringLiteral("station"), QStringLiteral("wrong"));

  StartStation();
  ASSERT_TRUE(QTest::qWaitFor([] { return MqttStatus().State == TMqttState::Offline; }, 30000));
  EXPECT_TRUE(MqttStatus().LastError.startsWith(QStringLiteral("host unreachable: nothing accepts connections")))
      << MqttStatus().LastError.toStdString();
  const std::size_t recorded = Recorded(1).size();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Recorded(1).size() >= recorded + 3; }, 30000)) << "recording goes on";

  ASSERT_TRUE(broker->Start()) << broker->Log().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([] { return MqttStatus().LastError == QStringLiteral("refused: bad user name or password"); }, 30000))
      << MqttStatus().LastError.toStdString();
  EXPECT_EQ(MqttStatus().State, TMqttState::Offline);
  EXPECT_TRUE(MqttStatus().Text().startsWith(QStringLiteral("MQTT: offline (refused: bad user name or password)")));
  const std::size_t recordedWhileRefused = Recorded(1).size();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Recorded(1).size() >= recordedWhileRefused + 2; }, 30000));

  // A watcher with a session of its own, then the right password, as the
  // options page restarts the publisher: every reading recorded since the
  // start arrives.
  Subscriber all(broker->Port(), kPrefix + QStringLiteral("/#"), QStringLiteral("password-watcher"),
                 QStringLiteral("station"), QStringLiteral("right"));
  ASSERT_TRUE(all.Start());
  Configure(QStringLiteral("station"), QStringLiteral("right"));
  const std::vector<QString> waiting = Recorded(1, 0, Now());
  ASSERT_GE(waiting.size(), 5u);
  StartMqttPublisher();
  ASSERT_TRUE(all.WaitFor([&] {
    const auto received = all.On(Topic("Oven", "reading"));
    return !received.empty() && TimeOf(received.back()) >= waiting.back();
  }, 60000)) << MqttStatus().Text().toStdString();
  std::vector<QString> times;
  for (const Message& message : all.On(Topic("Oven", "reading"))) times.push_back(TimeOf(message));
  // The first reading may have been the newest when publishing first
  // started: a controller never published starts there.
  for (std::size_t i = 1; i < waiting.size(); ++i)
    EXPECT_EQ(std::count(times.begin(), times.end(), waiting[i]), 1) << waiting[i].toStdString();
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  EXPECT_EQ(MqttStatus().State, TMqttState::Online);
}

} // namespace
