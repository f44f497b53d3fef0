// Texts of the report shared by its files inside export: date-times
// split and decoded as the date-time helpers round them, values with the
// controller's decimals, CSV fields. Not for use outside export.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace tervox_report {

struct TDayTime {
  int Year, Month, Day, Hour, Minute, Second, Millisecond;
};

// Whole days and the milliseconds of the day, rounded as the date-time
// helpers round.
void SplitDayTime(double AValue, std::int64_t& ADay, std::int64_t& AMs);
TDayTime DecodeDayTime(double AValue);
bool IsNoValue(double AValue);
// Appends a value with ADigit decimals, as "%.*f" would write it.
void AppendNumber(QByteArray& AOut, double AValue, int ADigit);
void AppendTwo(QByteArray& AOut, int AValue);
// One CSV field, quoted when it must be (RFC 4180).
void AppendCSVField(QByteArray& AOut, const QString& AText);

} // namespace tervox_report
