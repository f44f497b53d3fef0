// Pieces shared by the files of the MQTT publisher: the client as both the
// publisher and "Test connection" make it, and the value of a missing cell.
#pragma once

#include "plant/Tervox_Device.h"

#include <QByteArray>
#include <QString>

struct mosquitto;
struct TTervoxMqttSettings;

namespace TervoxMqtt {

// A missing value in a history column and in a payload.
inline constexpr double kMissing = kNoValue;
inline constexpr int kKeepAlive = 15; // s: a silent broker is noticed within about 20 s

QByteArray ClientId(const TTervoxMqttSettings& ASettings);
// The words of a failed connection, the same for the status bar and the
// "Test connection" button.
QString FailureText(int ACode, int AConnack, int AErrno, const QString& ATls, bool ATimedOut,
                    const TTervoxMqttSettings& ASettings);
// The last OpenSSL complaint of a log line, without its codes.
QString TlsComplaint(const char* ALine);
// A client with the settings' credentials and TLS; nullptr and AError
// when the certificate files cannot be used.
mosquitto* NewClient(const TTervoxMqttSettings& ASettings, const QByteArray& AClientId, void* AObject,
                     const QByteArray& AWillTopic, QString& AError);

} // namespace TervoxMqtt
