#include "Tervox_Mqtt.h"
#include "Tervox_MqttInternal.h"

#include "core/DqRoutine.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

using TervoxMqtt::kMissing;

namespace {

void AppendJsonString(QByteArray& AOut, const QString& AText) {
  AOut += '"';
  for (const char c : AText.toUtf8()) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      AOut += '\\';
      AOut += c;
    } else if (byte < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      AOut += "\\u00";
      AOut += kHex[byte >> 4];
      AOut += kHex[byte & 15];
    } else {
      AOut += c;
    }
  }
  AOut += '"';
}

void AppendJsonNumber(QByteArray& AOut, double AValue, int ADecimals) {
  if (AValue == kMissing || !std::isfinite(AValue))
    AOut += "null";
  else
    AOut += QByteArray::number(AValue, 'f', std::clamp(ADecimals, 0, 6));
}

} // namespace

// ---------------------------------------------------------------- payloads

QString MqttTopicLevel(const QString& AName) {
  QString level = AName;
  for (QChar& c : level) {
    const char16_t u = c.unicode();
    if (u == u'+' || u == u'#' || u == u'/' || u < 0x20 || (u >= 0x7F && u < 0xA0)) c = QLatin1Char('_');
  }
  return level.isEmpty() ? QStringLiteral("_") : level;
}

bool TMqttReading::Synchronized() const { return !(PV == kMissing && SV == kMissing && Out1 == kMissing); }

QByteArray MqttTimeText(double ADateTime) {
  const QDateTime local = DateTimeToQDateTime(ADateTime);
  return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toLatin1();
}

QByteArray MqttReadingPayload(const TMqttReading& AReading, bool AReplayed) {
  QByteArray out;
  out.reserve(200);
  out += "{\"time\":\"";
  out += MqttTimeText(AReading.ReadTime);
  out += "\",\"pv\":";
  AppendJsonNumber(out, AReading.PV, AReading.Digit);
  out += ",\"sv\":";
  AppendJsonNumber(out, AReading.SV, AReading.Digit);
  // Outputs are kept in tenths of a percent.
  out += ",\"out1\":";
  AppendJsonNumber(out, AReading.Out1, 1);
  out += ",\"out2\":";
  AppendJsonNumber(out, AReading.Out2, 1);
  for (int k = 0; k < 3; ++k) {
    out += ",\"ev";
    out += char('1' + k);
    out += "\":";
    out += AReading.IsEV[k] ? "true" : "false";
  }
  out += ",\"decimals\":";
  out += QByteArray::number(AReading.Digit);
  out += ",\"synchronized\":";
  out += AReading.Synchronized() ? "true" : "false";
  out += ",\"replayed\":";
  out += AReplayed ? "true" : "false";
  out += '}';
  return out;
}

QByteArray MqttAlarmPayload(double ATime, const QString& AEvent, const QString& AText, bool AReplayed) {
  QByteArray out = "{\"time\":\"" + MqttTimeText(ATime) + "\",\"event\":";
  AppendJsonString(out, AEvent);
  out += ",\"text\":";
  AppendJsonString(out, AText);
  out += ",\"replayed\":";
  out += AReplayed ? "true" : "false";
  out += '}';
  return out;
}
