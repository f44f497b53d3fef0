#include "Tervox_ReportText.h"

#include "Tervox_DeviceReport.h"

#include <QDate>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tervox_report {

namespace {
constexpr double kMsPerDay = 86400000.0;
} // namespace

void SplitDayTime(double AValue, std::int64_t& ADay, std::int64_t& AMs) {
  double days = std::trunc(AValue);
  AMs = std::llround(std::fabs(AValue - days) * kMsPerDay);
  if (AMs >= static_cast<std::int64_t>(kMsPerDay)) {
    AMs -= static_cast<std::int64_t>(kMsPerDay);
    days += AValue < 0 ? -1 : 1;
  }
  ADay = static_cast<std::int64_t>(days);
}

TDayTime DecodeDayTime(double AValue) {
  std::int64_t days = 0;
  std::int64_t ms = 0;
  SplitDayTime(AValue, days, ms);
  const QDate date = QDate(1899, 12, 30).addDays(days);
  TDayTime t;
  t.Year = date.year();
  t.Month = date.month();
  t.Day = date.day();
  t.Hour = static_cast<int>(ms / 3600000);
  t.Minute = static_cast<int>(ms / 60000 % 60);
  t.Second = static_cast<int>(ms / 1000 % 60);
  t.Millisecond = static_cast<int>(ms % 1000);
  return t;
}

bool IsNoValue(double AValue) { return AValue == kReportNoValue || std::isnan(AValue); }

void AppendNumber(QByteArray& AOut, double AValue, int ADigit) {
  char buffer[64];
  int digit = std::clamp(ADigit, 0, 9);
  static const double kPowers[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
  const double scaled = AValue * kPowers[digit];
  const double rounded = std::nearbyint(scaled);
  // Values recorded from the controllers are whole counts of their last
  // digit; anything else goes through printf.
  if (std::fabs(scaled - rounded) < 1e-6 && std::fabs(rounded) < 1e15) {
    std::int64_t n = static_cast<std::int64_t>(rounded);
    const bool negative = n < 0 || (n == 0 && std::signbit(AValue) && false);
    if (n < 0) n = -n;
    char* end = buffer + sizeof buffer;
    char* p = end;
    int written = 0;
    do {
      if (digit > 0 && written == digit) *--p = '.';
      *--p = static_cast<char>('0' + n % 10);
      n /= 10;
      ++written;
    } while (n > 0 || written <= digit);
    if (negative) *--p = '-';
    AOut.append(p, static_cast<qsizetype>(end - p));
    return;
  }
  const int length = std::snprintf(buffer, sizeof buffer, "%.*f", digit, AValue);
  AOut.append(buffer, length);
}

void AppendTwo(QByteArray& AOut, int AValue) {
  AOut.append(static_cast<char>('0' + AValue / 10 % 10));
  AOut.append(static_cast<char>('0' + AValue % 10));
}

void AppendCSVField(QByteArray& AOut, const QString& AText) {
  const QByteArray utf8 = AText.toUtf8();
  if (utf8.contains(',') || utf8.contains('"') || utf8.contains('\r') || utf8.contains('\n')) {
    AOut.append('"');
    for (char c : utf8) {
      if (c == '"') AOut.append('"');
      AOut.append(c);
    }
    AOut.append('"');
  } else {
    AOut.append(utf8);
  }
}

} // namespace tervox_report
