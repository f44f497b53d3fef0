// Small routines shared across the program: the exception classes, the
// tagged variant value, its conversions, date-time helpers, the clock and
// a few text routines.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

class QDateTime;
class QLocale;

// The program's general error: an English message for the user.
class EDqException : public std::exception {
public:
  explicit EDqException(const QString& AMessage);
  const QString& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FWhat.c_str(); }

private:
  QString FMessage;
  std::string FWhat;
};

// The text of an exception, as the user reads it ("Unknown error" for one
// that is neither an EDqException nor a std::exception).
QString ExceptionMessage(std::exception_ptr AException);

// Value kinds of the data store. DateTime is kept apart from Float so that
// a date-time never turns into a plain number on its way through.
enum class TVarKind : std::uint8_t { Empty, Null, Integer, Float, DateTime, Boolean, Text };

class TVariant {
public:
  TVariant() = default; // Empty
  TVariant(int AValue) : FKind(TVarKind::Integer), FInt(AValue) {}
  TVariant(unsigned AValue) : FKind(TVarKind::Integer), FInt(AValue) {}
  TVariant(long AValue) : FKind(TVarKind::Integer), FInt(AValue) {}
  TVariant(long long AValue) : FKind(TVarKind::Integer), FInt(AValue) {}
  TVariant(double AValue) : FKind(TVarKind::Float), FFloat(AValue) {}
  TVariant(bool AValue) : FKind(TVarKind::Boolean), FInt(AValue ? 1 : 0) {}
  TVariant(const QString& AValue) : FKind(TVarKind::Text), FText(AValue) {}
  TVariant(const char* AValue) : FKind(TVarKind::Text), FText(QString::fromUtf8(AValue)) {}

  static TVariant Null();
  static TVariant FromDateTime(double ADateTime);

  TVarKind Kind() const { return FKind; }
  bool IsEmpty() const { return FKind == TVarKind::Empty; }
  // Empty or Null: no value.
  bool IsNull() const { return FKind == TVarKind::Empty || FKind == TVarKind::Null; }
  bool IsNumeric() const { return FKind == TVarKind::Integer || FKind == TVarKind::Float || FKind == TVarKind::DateTime; }

  // Raw payloads; meaningful only for the matching kind.
  std::int64_t IntValue() const { return FInt; }
  double FloatValue() const { return FFloat; }
  bool BoolValue() const { return FInt != 0; }
  const QString& TextValue() const { return FText; }

  bool operator==(const TVariant& AOther) const;
  bool operator!=(const TVariant& AOther) const { return !(*this == AOther); }

private:
  TVarKind FKind = TVarKind::Empty;
  std::int64_t FInt = 0;
  double FFloat = 0.0;
  QString FText;
};

// Readable form for test output and debugging.
QString VarDebugText(const TVariant& AValue);

// ----- The user's locale: the one place that locale-bound formats come from.
const QLocale& UserLocale();
void SetUserLocale(const QLocale& ALocale);

// ----- Number formatting.
// General format: APrecision significant digits, no trailing zeros, the
// exponent form (1E-6, 1.5E20) only below 1E-5 or beyond APrecision integer
// digits.
QString FloatToStrGeneral(double AValue, int APrecision, QChar ADecimalPoint);
// General format with 15 digits, widened up to 17 when 15 do not give the
// exact value back; "." as decimal point. Used for lossless text.
QString FloatToStrExact(double AValue);
// 15-digit general format with the user's decimal separator.
QString FloatToStrLocale(double AValue);
// Parses with the user's decimal separator (digits, sign, exponent).
bool TryStrToFloatLocale(const QString& AText, double& AValue);
bool TryStrToInt(const QString& AText, std::int64_t& AValue);
// "True"/"False" in any letter case, or a number (true when not 0).
bool TryStrToBool(const QString& AText, bool& AValue);

// ----- Variant conversions: Null gives the default, numbers convert, text
// is parsed with the user's locale, the default when parsing fails.
int VarAsInt(const TVariant& AValue, int ADefault = 0);
double VarAsFloat(const TVariant& AValue, double ADefault = 0.0);
bool VarAsBool(const TVariant& AValue, bool ADefault = false);
double VarAsDateTime(const TVariant& AValue, double ADefault = 0.0);
QString VarAsText(const TVariant& AValue, const QString& ADefault = QString());
TVariant IfThenVar(bool AFlag, const TVariant& ATrue, const TVariant& AFalse);

// ----- Date-time values: days since 1899-12-30 00:00 local time, the
// fraction being the time of day.
double DateTimeFromQDateTime(const QDateTime& AValue);
QDateTime DateTimeToQDateTime(double AValue);
double EncodeDateTime(int AYear, int AMonth, int ADay, int AHour = 0, int AMinute = 0,
                      int ASecond = 0, int AMillisecond = 0);
// "dd/mm/yyyy - hh:nn:ss"
QString DateTimeToDisplayText(double AValue);
// Parses the user's short date (and optional time) format.
bool TryStrToDateTimeLocale(const QString& AText, double& AValue);

// The one clock of the program. Tests may replace it.
using TDqClock = std::function<double()>;
double Now();
void SetClock(TDqClock AClock); // an empty function restores the system clock

// ----- Program files.
// A data file of the program (ARelative, such as "Sound/Alarm.mp3"): the
// first that exists of beside the program (a build tree), ../share/tervox
// beside it (an installed tree, wherever it was installed) and the install
// prefix's data folder; the first of them when none exists. AProgramDir is
// the program's folder (the executable's when empty).
QString ProgramDataFile(const QString& ARelative, const QString& AProgramDir = QString());

// ----- Text routines.
std::int64_t DivFloor(std::int64_t A, std::int64_t B);
QString CutToken(const QString& ADelimiter, QString& AText);
QString ByteToHex(int AValue);
bool TextStartsWith(const QString& AText, const QString& APrefix);
// day/month/year hour:minute:second.millisecond, the year in the Buddhist era.
double ParseDateTimeText(const QString& AText);

// ----- Serial port names (built with the port layer, DqPort.cpp): the
// ports present, or with AvailabledOnly false also the usual names of the
// absent ones; sorted as text.
void ListComPorts(QStringList& AList, bool AvailabledOnly);
