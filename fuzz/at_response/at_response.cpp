// The modem driver's reading of what a GSM modem sends: answers, echoes,
// unsolicited lines and message listings, as one arriving chunk.
#include "comm/DqSMS.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  // No port: nothing is sent. One driver for many inputs (building one
  // starts a port worker); renewed now and then so that the messages it
  // collects do not pile up.
  static std::unique_ptr<TDqSMS> driver;
  static int uses = 0;
  if (!driver || ++uses % 20000 == 0) driver = std::make_unique<TDqSMS>(false);
  const QString text = QString::fromLatin1(reinterpret_cast<const char*>(AData), static_cast<qsizetype>(ASize));
  driver->ParseModemOutput(text);
  (void)driver->USSDText();
  (void)driver->ReceiveData();
  (void)TDqSMS::DecodeText(text);
  return 0;
}
