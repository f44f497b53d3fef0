#include "Tervox_Mqtt.h"
#include "Tervox_MqttInternal.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

using namespace TervoxMqtt;

namespace {

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

namespace TervoxMqtt {

QByteArray ClientId(const TTervoxMqttSettings& ASettings) { return "tervox:" + ASettings.Topic.toUtf8(); }

QString FailureText(int ACode, int AConnack, int AErrno, const QString& ATls, bool ATimedOut,
                    const TTervoxMqttSettings& ASettings) {
  const QString where = QStringLiteral("%1:%2").arg(ASettings.Host).arg(ASettings.Port);
  if (AConnack == 4 || AConnack == 5) return QStringLiteral("refused: bad user name or password");
  if (AConnack > 0) return QStringLiteral("refused by the broker: %1").arg(QString::fromUtf8(mosquitto_connack_string(AConnack)));
  if (!ATls.isEmpty()) return QStringLiteral("TLS error: %1").arg(ATls);
  if (ACode == MOSQ_ERR_TLS || ACode == MOSQ_ERR_TLS_HANDSHAKE)
    return QStringLiteral("TLS error: %1").arg(QString::fromUtf8(mosquitto_strerror(ACode)));
  if (ATimedOut) return QStringLiteral("host unreachable: no answer from %1").arg(where);
  if (ACode == MOSQ_ERR_EAI || ACode == MOSQ_ERR_LOOKUP)
    return QStringLiteral("host unreachable: no host named %1").arg(ASettings.Host);
  if (ACode == MOSQ_ERR_ERRNO) {
    if (AErrno == ECONNREFUSED) return QStringLiteral("host unreachable: nothing accepts connections at %1").arg(where);
    return QStringLiteral("host unreachable: %1 (%2)").arg(QString::fromLocal8Bit(std::strerror(AErrno)), where);
  }
  if (ACode == MOSQ_ERR_CONN_LOST || ACode == MOSQ_ERR_NO_CONN || ACode == MOSQ_ERR_KEEPALIVE)
    return QStringLiteral("connection to %1 lost").arg(where);
  return QString::fromUtf8(mosquitto_strerror(ACode));
}

QString TlsComplaint(const char* ALine) {
  const QString line = QString::fromUtf8(ALine);
  if (!line.contains(QLatin1String("OpenSSL"))) return QString();
  const qsizetype colon = line.lastIndexOf(QLatin1Char(':'));
  return (colon >= 0 ? line.mid(colon + 1) : line).trimmed();
}

mosquitto* NewClient(const TTervoxMqttSettings& ASettings, const QByteArray& AClientId, void* AObject,
                     const QByteArray& AWillTopic, QString& AError) {
  InitLibrary();
  mosquitto* client = mosquitto_new(AClientId.constData(), true, AObject);
  if (!client) {
    AError = QStringLiteral("the MQTT client cannot be created");
    return nullptr;
  }
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // Our own window bounds what is unacknowledged.
  mosquitto_max_inflight_messages_set(client, 0);
  if (!ASettings.User.isEmpty()) {
    const QByteArray user = ASettings.User.toUtf8();
    const QByteArray password = ASettings.Password.toUtf8();
    mosquitto_username_pw_set(client, user.constData(), ASettings.Password.isEmpty() ? nullptr : password.constData());
  }
  if (ASettings.TLS) {
    const QByteArray ca = ASettings.CAFile.toLocal8Bit();
    const QByteArray cert = ASettings.CertFile.toLocal8Bit();
    const QByteArray key = ASettings.KeyFile.toLocal8Bit();
    const int rc = mosquitto_tls_set(client, ca.isEmpty() ? nullptr : ca.constData(),
                                     ca.isEmpty() ? "/etc/ssl/certs" : nullptr, cert.isEmpty() ? nullptr : cert.constData(),
                                     key.isEmpty() ? nullptr : key.constData(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      AError = QStringLiteral("TLS error: the CA, certificate or key file cannot be read");
      mosquitto_destroy(client);
      return nullptr;
    }
  }
  if (!AWillTopic.isEmpty()) mosquitto_will_set(client, AWillTopic.constData(), 7, "offline", 1, true);
  return client;
}

} // namespace TervoxMqtt

// ---------------------------------------------------------------- test

TMqttTestResult TestMqttConnection(const TTervoxMqttSettings& ASettings, int ATimeOut, const std::atomic<bool>* ACancel) {
  TMqttTestResult result;
  if (const QString problem = ASettings.Problem(); !problem.isEmpty()) {
    result.Text = problem;
    return result;
  }
  struct TProbe {
    int Connack = -1;
    QString Tls;
  } probe;
  QString error;
  mosquitto* client = NewClient(ASettings, ClientId(ASettings) + ":test", &probe, QByteArray(), error);
  if (!client) {
    result.Text = error;
    return result;
  }
  mosquitto_connect_callback_set(client, [](mosquitto*, void* AObject, int ARc) { static_cast<TProbe*>(AObject)->Connack = ARc; });
  mosquitto_log_callback_set(client, [](mosquitto*, void* AObject, int ALevel, const char* AText) {
    if (!(ALevel & MOSQ_LOG_ERR)) return;
    const QString complaint = TlsComplaint(AText);
    if (!complaint.isEmpty()) static_cast<TProbe*>(AObject)->Tls = complaint;
  });
  const QByteArray host = ASettings.Host.toUtf8();
  int rc = mosquitto_connect_async(client, host.constData(), ASettings.Port, kKeepAlive);
  int savedErrno = errno;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeOut);
  while (rc == MOSQ_ERR_SUCCESS && probe.Connack < 0 && std::chrono::steady_clock::now() < deadline &&
         !(ACancel && *ACancel)) {
    rc = mosquitto_loop(client, 100, 1);
    savedErrno = errno;
  }
  if (probe.Connack == 0) {
    result.Connected = true;
    result.Text = QStringLiteral("connected to %1:%2%3")
                      .arg(ASettings.Host)
                      .arg(ASettings.Port)
                      .arg(ASettings.TLS ? QStringLiteral(" with TLS") : QString());
    mosquitto_disconnect(client);
    mosquitto_loop(client, 100, 1);
  } else {
    const bool timedOut = rc == MOSQ_ERR_SUCCESS && probe.Connack < 0;
    result.Text = FailureText(rc, probe.Connack, savedErrno, probe.Tls, timedOut, ASettings);
  }
  mosquitto_destroy(client);
  return result;
}
