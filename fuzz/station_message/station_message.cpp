// The station socket's decoder, fed what a peer could send: any bytes, in
// any pieces. Whatever it accepts must encode back to the bytes it took.
#include "station/Tervox_StationProtocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  using namespace TervoxStation;
  if (ASize == 0) return 0;
  // The first byte picks the piece size, as a socket hands data over.
  const std::size_t piece = 1 + AData[0] % 64;
  QByteArray buffer;
  for (std::size_t at = 1; at < ASize; at += piece) {
    buffer.append(reinterpret_cast<const char*>(AData) + at, static_cast<qsizetype>(std::min(piece, ASize - at)));
    for (;;) {
      const QByteArray before = buffer;
      TMessage message;
      const TDecode result = Decode(buffer, message);
      if (result == TDecode::Bad) return 0; // the peer is dropped
      if (result == TDecode::NeedMore) {
        if (buffer != before) __builtin_trap(); // NeedMore takes nothing
        break;
      }
      // What was accepted survives its own encoding unchanged.
      const QByteArray again = Encode(message);
      QByteArray copy = again;
      TMessage twice;
      if (Decode(copy, twice) != TDecode::Message || !copy.isEmpty() || !(twice == message)) __builtin_trap();
    }
  }
  return 0;
}
