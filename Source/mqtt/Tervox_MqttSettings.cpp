#include "Tervox_Mqtt.h"

#include "store/DqSQLite.h"
#include "store/Tervox_Config.h"
#include "store/Main_Database.h"
#include "store/Tervox_Secrets.h"

#include <QSysInfo>

#include <mosquitto.h>

// ---------------------------------------------------------------- settings

namespace {

const QString kPasswordName = QStringLiteral("MQTTPassword");

} // namespace

TTervoxMqttSettings TTervoxMqttSettings::Load() {
  TTervoxConfig* config = Config();
  TTervoxMqttSettings settings;
  settings.Enabled = config->GetValueBoolDef(QStringLiteral("MQTTEnabled"), false);
  settings.Host = config->GetValues(QStringLiteral("MQTTHost")).trimmed();
  settings.TLS = config->GetValueBoolDef(QStringLiteral("MQTTTLS"), false);
  settings.Port = config->GetValueIntDef(QStringLiteral("MQTTPort"), settings.TLS ? 8883 : 1883);
  settings.CAFile = config->GetValues(QStringLiteral("MQTTCAFile"));
  settings.CertFile = config->GetValues(QStringLiteral("MQTTCertFile"));
  settings.KeyFile = config->GetValues(QStringLiteral("MQTTKeyFile"));
  settings.User = config->GetValues(QStringLiteral("MQTTUser"));
  // From the secrets file; one still in Config (its move failed at open)
  // keeps working until it moves.
  settings.Password = TervoxSecrets::Read(GetDatabase()->FileName(), kPasswordName);
  if (settings.Password.isEmpty()) settings.Password = config->GetValues(kPasswordName);
  settings.Topic = config->GetValues(QStringLiteral("MQTTTopic")).trimmed();
  while (settings.Topic.endsWith(QLatin1Char('/'))) settings.Topic.chop(1);
  if (settings.Topic.isEmpty()) settings.Topic = DefaultTopic();
  settings.QoS = config->GetValueIntDef(QStringLiteral("MQTTQoS"), 1) == 0 ? 0 : 1;
  return settings;
}

void TTervoxMqttSettings::Save() const {
  TTervoxConfig* config = Config();
  // The password first: when its file cannot be written nothing is saved.
  TervoxSecrets::Write(GetDatabase()->FileName(), kPasswordName, Password);
  TervoxSecrets::DropFromConfig(*GetDatabase(), kPasswordName);
  config->SetValueBool(QStringLiteral("MQTTEnabled"), Enabled);
  config->SetValues(QStringLiteral("MQTTHost"), Host);
  config->SetValueInt(QStringLiteral("MQTTPort"), Port);
  config->SetValueBool(QStringLiteral("MQTTTLS"), TLS);
  config->SetValues(QStringLiteral("MQTTCAFile"), CAFile);
  config->SetValues(QStringLiteral("MQTTCertFile"), CertFile);
  config->SetValues(QStringLiteral("MQTTKeyFile"), KeyFile);
  config->SetValues(QStringLiteral("MQTTUser"), User);
  config->SetValues(QStringLiteral("MQTTTopic"), Topic);
  config->SetValueInt(QStringLiteral("MQTTQoS"), QoS);
}

QString TTervoxMqttSettings::DefaultTopic() { return QStringLiteral("tervox/") + MqttTopicLevel(QSysInfo::machineHostName()); }

QString TTervoxMqttSettings::Problem() const {
  if (Host.trimmed().isEmpty()) return QStringLiteral("no broker host is set");
  if (Port < 1 || Port > 65535) return QStringLiteral("the port must be 1 to 65535");
  if (Topic.isEmpty()) return QStringLiteral("the topic prefix is empty");
  const QByteArray probe = Topic.toUtf8() + "/status";
  if (Topic.startsWith(QLatin1Char('/')) || mosquitto_pub_topic_check(probe.constData()) != MOSQ_ERR_SUCCESS ||
      Topic.contains(QLatin1String("//")))
    return QStringLiteral("the topic prefix must not hold '+', '#' or empty levels");
  if (TLS && CertFile.isEmpty() != KeyFile.isEmpty())
    return QStringLiteral("a client certificate needs its key file, and a key its certificate");
  return QString();
}

// ---------------------------------------------------------------- status

QString TTervoxMqttStatus::Text() const {
  switch (State) {
  case TMqttState::Off: return QStringLiteral("MQTT: off");
  case TMqttState::Connecting: return QStringLiteral("MQTT: connecting");
  case TMqttState::Online:
    return Backlog > 0 ? QStringLiteral("MQTT: online, sending %1 recorded readings").arg(Backlog)
                       : QStringLiteral("MQTT: online");
  case TMqttState::Offline: {
    QString text = QStringLiteral("MQTT: offline (%1)").arg(LastError);
    if (Backlog > 0) text += QStringLiteral(", %1 readings waiting").arg(Backlog);
    return text;
  }
  }
  return QString();
}
