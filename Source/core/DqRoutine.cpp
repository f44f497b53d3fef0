#include "DqRoutine.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

EDqException::EDqException(const QString& AMessage)
    : FMessage(AMessage), FWhat(AMessage.toStdString()) {}

TVariant TVariant::Null() {
  TVariant v;
  v.FKind = TVarKind::Null;
  return v;
}

QString ExceptionMessage(std::exception_ptr AException) {
  try {
    std::rethrow_exception(AException);
  } catch (const EDqException& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return QString::fromLocal8Bit(e.what());
  } catch (...) {
    return QStringLiteral("Unknown error");
  }
}

TVariant TVariant::FromDateTime(double ADateTime) {
  TVariant v(ADateTime);
  v.FKind = TVarKind::DateTime;
  return v;
}

bool TVariant::operator==(const TVariant& AOther) const {
  if (FKind != AOther.FKind) return false;
  switch (FKind) {
  case TVarKind::Empty:
  case TVarKind::Null: return true;
  case TVarKind::Integer:
  case TVarKind::Boolean: return FInt == AOther.FInt;
  case TVarKind::Float:
  case TVarKind::DateTime: return FFloat == AOther.FFloat;
  case TVarKind::Text: return FText == AOther.FText;
  }
  return false;
}

QString VarDebugText(const TVariant& AValue) {
  switch (AValue.Kind()) {
  case TVarKind::Empty: return QStringLiteral("<empty>");
  case TVarKind::Null: return QStringLiteral("<null>");
  case TVarKind::Integer: return QStringLiteral("int:%1").arg(AValue.IntValue());
  case TVarKind::Float: return QStringLiteral("float:") + FloatToStrExact(AValue.FloatValue());
  case TVarKind::DateTime: return QStringLiteral("datetime:") + FloatToStrExact(AValue.FloatValue());
  case TVarKind::Boolean: return AValue.BoolValue() ? QStringLiteral("bool:true") : QStringLiteral("bool:false");
  case TVarKind::Text: return QStringLiteral("text:'%1'").arg(AValue.TextValue());
  }
  return {};
}

// ---------------------------------------------------------------- locale

namespace {
QLocale& LocaleSlot() {
  static QLocale locale = QLocale::system();
  return locale;
}
} // namespace

const QLocale& UserLocale() { return LocaleSlot(); }
void SetUserLocale(const QLocale& ALocale) { LocaleSlot() = ALocale; }

// ---------------------------------------------------------------- numbers

QString FloatToStrGeneral(double AValue, int APrecision, QChar ADecimalPoint) {
  if (std::isnan(AValue)) return QStringLiteral("NAN");
  if (std::isinf(AValue)) return AValue < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
  if (AValue == 0.0) return QStringLiteral("0");

  // "%.*e" gives the correctly rounded significant digits and the exponent.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", APrecision - 1, AValue);
  QString text = QString::fromLatin1(buf);
  const bool negative = text.startsWith(QLatin1Char('-'));
  if (negative) text.remove(0, 1);
  const qsizetype ePos = text.indexOf(QLatin1Char('e'));
  const int exponent = text.mid(ePos + 1).toInt();
  QString digits = text.left(ePos);
  digits.remove(QLatin1Char('.'));
  while (digits.size() > 1 && digits.endsWith(QLatin1Char('0'))) digits.chop(1);

  QString out;
  if (exponent < -5 || exponent >= APrecision) {
    out = digits.left(1);
    if (digits.size() > 1) out += ADecimalPoint + digits.mid(1);
    out += QLatin1Char('E') + QString::number(exponent);
  } else if (exponent < 0) {
    out = QStringLiteral("0") + ADecimalPoint + QString(-exponent - 1, QLatin1Char('0')) + digits;
  } else {
    const int intDigits = exponent + 1;
    if (digits.size() <= intDigits) {
      out = digits + QString(intDigits - digits.size(), QLatin1Char('0'));
    } else {
      out = digits.left(intDigits) + ADecimalPoint + digits.mid(intDigits);
    }
  }
  return negative ? QLatin1Char('-') + out : out;
}

QString FloatToStrExact(double AValue) {
  QString text;
  for (int precision = 15; precision <= 17; ++precision) {
    text = FloatToStrGeneral(AValue, precision, QLatin1Char('.'));
    bool ok = false;
    if (QLocale::c().toDouble(text, &ok) == AValue && ok) break;
  }
  return text;
}

QString FloatToStrLocale(double AValue) {
  return FloatToStrGeneral(AValue, 15, UserLocale().decimalPoint().at(0));
}

bool TryStrToFloatLocale(const QString& AText, double& AValue) {
  static const QRegularExpression pattern(
      QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
  QString text = AText.trimmed();
  const QString point = UserLocale().decimalPoint();
  if (point != QLatin1String(".")) {
    if (text.contains(QLatin1Char('.'))) return false;
    text.replace(point, QStringLiteral("."));
  }
  if (!pattern.match(text).hasMatch()) return false;
  bool ok = false;
  const double value = QLocale::c().toDouble(text, &ok);
  if (!ok) return false;
  AValue = value;
  return true;
}

bool TryStrToInt(const QString& AText, std::int64_t& AValue) {
  static const QRegularExpression pattern(QStringLiteral("^[+-]?[0-9]+$"));
  const QString text = AText.trimmed();
  if (!pattern.match(text).hasMatch()) return false;
  bool ok = false;
  const qlonglong value = text.toLongLong(&ok);
  if (!ok) return false;
  AValue = value;
  return true;
}

bool TryStrToBool(const QString& AText, bool& AValue) {
  const QString text = AText.trimmed();
  if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
    AValue = true;
    return true;
  }
  if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
    AValue = false;
    return true;
  }
  double number = 0;
  if (!TryStrToFloatLocale(text, number)) return false;
  AValue = number != 0.0;
  return true;
}

// ---------------------------------------------------------------- variants

int VarAsInt(const TVariant& AValue, int ADefault) {
  switch (AValue.Kind()) {
  case TVarKind::Empty:
  case TVarKind::Null: return ADefault;
  case TVarKind::Integer: return static_cast<int>(AValue.IntValue());
  case TVarKind::Boolean: return AValue.BoolValue() ? -1 : 0;
  case TVarKind::Float:
  case TVarKind::DateTime: {
    const double rounded = std::nearbyint(AValue.FloatValue()); // ties to even
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) return ADefault;
    return static_cast<int>(rounded);
  }
  case TVarKind::Text: {
    std::int64_t value = 0;
    if (!TryStrToInt(AValue.TextValue(), value) || value < INT32_MIN || value > INT32_MAX) return ADefault;
    return static_cast<int>(value);
  }
  }
  return ADefault;
}

double VarAsFloat(const TVariant& AValue, double ADefault) {
  switch (AValue.Kind()) {
  case TVarKind::Empty:
  case TVarKind::Null: return ADefault;
  case TVarKind::Integer: return static_cast<double>(AValue.IntValue());
  case TVarKind::Boolean: return AValue.BoolValue() ? -1.0 : 0.0;
  case TVarKind::Float:
  case TVarKind::DateTime: return AValue.FloatValue();
  case TVarKind::Text: {
    double value = 0;
    return TryStrToFloatLocale(AValue.TextValue(), value) ? value : ADefault;
  }
  }
  return ADefault;
}

bool VarAsBool(const TVariant& AValue, bool ADefault) {
  switch (AValue.Kind()) {
  case TVarKind::Empty:
  case TVarKind::Null: return ADefault;
  case TVarKind::Integer:
  case TVarKind::Boolean: return AValue.IntValue() != 0;
  case TVarKind::Float:
  case TVarKind::DateTime: return AValue.FloatValue() != 0.0;
  case TVarKind::Text: {
    bool value = false;
    return TryStrToBool(AValue.TextValue(), value) ? value : ADefault;
  }
  }
  return ADefault;
}

double VarAsDateTime(const TVariant& AValue, double ADefault) {
  if (AValue.Kind() == TVarKind::Text) {
    double value = 0;
    return TryStrToDateTimeLocale(AValue.TextValue(), value) ? value : ADefault;
  }
  return VarAsFloat(AValue, ADefault);
}

namespace {
QString ShortDateFormat() {
  QString format = UserLocale().dateFormat(QLocale::ShortFormat);
  if (!format.contains(QLatin1String("yyyy"))) format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
  return format;
}
} // namespace

QString VarAsText(const TVariant& AValue, const QString& ADefault) {
  switch (AValue.Kind()) {
  case TVarKind::Empty:
  case TVarKind::Null: return ADefault;
  case TVarKind::Integer: return QString::number(AValue.IntValue());
  case TVarKind::Boolean: return AValue.BoolValue() ? QStringLiteral("True") : QStringLiteral("False");
  case TVarKind::Float: return FloatToStrLocale(AValue.FloatValue());
  case TVarKind::DateTime: {
    const QDateTime dt = DateTimeToQDateTime(AValue.FloatValue());
    QString text = dt.date().toString(ShortDateFormat());
    if (dt.time().msecsSinceStartOfDay() != 0) text += QLatin1Char(' ') + dt.time().toString(QStringLiteral("HH:mm:ss"));
    return text;
  }
  case TVarKind::Text: return AValue.TextValue();
  }
  return ADefault;
}

TVariant IfThenVar(bool AFlag, const TVariant& ATrue, const TVariant& AFalse) {
  return AFlag ? ATrue : AFalse;
}

// ---------------------------------------------------------------- date-time

namespace {
const QDate kDayZero(1899, 12, 30);
constexpr double kMsPerDay = 86400000.0;
} // namespace

double DateTimeFromQDateTime(const QDateTime& AValue) {
  const QDateTime local = AValue.toLocalTime();
  const qint64 days = kDayZero.daysTo(local.date());
  const double fraction = local.time().msecsSinceStartOfDay() / kMsPerDay;
  // Before day zero the fraction still counts forward from midnight.
  return days >= 0 ? days + fraction : days - fraction;
}

QDateTime DateTimeToQDateTime(double AValue) {
  if (!std::isfinite(AValue)) return {};
  double days = std::trunc(AValue);
  qint64 ms = std::llround(std::fabs(AValue - days) * kMsPerDay);
  if (ms >= qint64(kMsPerDay)) {
    ms -= qint64(kMsPerDay);
    days += AValue < 0 ? -1 : 1;
  }
  const QDate date = kDayZero.addDays(static_cast<qint64>(days));
  return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
}

double EncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond,
                      int AMillisecond) {
  const QDate date(AYear, AMonth, ADay);
  const double fraction = (((AHour * 60.0 + AMinute) * 60.0 + ASecond) * 1000.0 + AMillisecond) / kMsPerDay;
  const qint64 days = kDayZero.daysTo(date);
  return days >= 0 ? days + fraction : days - fraction;
}

QString DateTimeToDisplayText(double AValue) {
  return DateTimeToQDateTime(AValue).toString(QStringLiteral("dd/MM/yyyy - HH:mm:ss"));
}

bool TryStrToDateTimeLocale(const QString& AText, double& AValue) {
  const QString text = AText.trimmed();
  const QString dateFormat = ShortDateFormat();
  for (const QString& timeFormat : {QStringLiteral(" HH:mm:ss"), QStringLiteral(" HH:mm"), QString()}) {
    const QDateTime dt = QDateTime::fromString(text, dateFormat + timeFormat);
    if (dt.isValid()) {
      AValue = DateTimeFromQDateTime(dt);
      return true;
    }
  }
  return false;
}

namespace {
std::mutex gClockMutex;
TDqClock gClock;
} // namespace

double Now() {
  {
    std::lock_guard<std::mutex> guard(gClockMutex);
    if (gClock) return gClock();
  }
  return DateTimeFromQDateTime(QDateTime::currentDateTime());
}

void SetClock(TDqClock AClock) {
  std::lock_guard<std::mutex> guard(gClockMutex);
  gClock = std::move(AClock);
}

// ---------------------------------------------------------------- text

std::int64_t DivFloor(std::int64_t A, std::int64_t B) {
  if (B == 0) return 0;
  std::int64_t q = A / B;
  if ((A % B != 0) && ((A < 0) != (B < 0))) --q;
  return q;
}

QString ProgramDataFile(const QString& ARelative, const QString& AProgramDir) {
  const QString program = AProgramDir.isEmpty() ? QCoreApplication::applicationDirPath() : AProgramDir;
  const QString candidates[] = {
      QDir(program).filePath(ARelative),
      QDir::cleanPath(program + QStringLiteral("/../share/tervox/") + ARelative),
      QStringLiteral(TERVOX_INSTALL_DATADIR "/") + ARelative,
  };
  for (const QString& candidate : candidates)
    if (QFileInfo::exists(candidate)) return candidate;
  return candidates[0];
}

QString CutToken(const QString& ADelimiter, QString& AText) {
  const qsizetype pos = ADelimiter.isEmpty() ? -1 : AText.indexOf(ADelimiter);
  if (pos < 0) {
    QString all = AText;
    AText.clear();
    return all;
  }
  QString token = AText.left(pos);
  AText.remove(0, pos + ADelimiter.size());
  return token;
}

QString ByteToHex(int AValue) {
  return QStringLiteral("%1").arg(AValue & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

bool TextStartsWith(const QString& AText, const QString& APrefix) {
  return AText.startsWith(APrefix, Qt::CaseInsensitive);
}

double ParseDateTimeText(const QString& AText) {
  QString rest = AText.trimmed();
  QString datePart = CutToken(QStringLiteral(" "), rest);
  QString timePart = rest.trimmed();
  const int day = CutToken(QStringLiteral("/"), datePart).toInt();
  const int month = CutToken(QStringLiteral("/"), datePart).toInt();
  int year = datePart.toInt() - 543;
  if (year < 0) year += 543 + 1957; // two-digit Buddhist years
  const int hour = CutToken(QStringLiteral(":"), timePart).toInt();
  const int minute = CutToken(QStringLiteral(":"), timePart).toInt();
  const int second = CutToken(QStringLiteral("."), timePart).toInt();
  const int millisecond = timePart.toInt();
  if (!QDate::isValid(year, month, day)) return 0.0;
  return EncodeDateTime(year, month, day, hour, minute, second, millisecond);
}
