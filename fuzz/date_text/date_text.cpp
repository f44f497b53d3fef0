// The date-time text of stored values and reports:
// day/month/year hour:minute:second.millisecond, the year Buddhist.
#include "core/DqRoutine.h"

#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(AData), static_cast<qsizetype>(ASize));
  try {
    const double value = ParseDateTimeText(text);
    if (std::isnan(value)) __builtin_trap();
  } catch (const EDqException&) {
  }
  return 0;
}
