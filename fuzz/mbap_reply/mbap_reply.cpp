// The Modbus TCP reply parser: a byte stream as it may come from a network
// line, taken frame by frame as the transport takes it; each accepted frame
// goes on, as RTU bytes, through the Modbus reply check of the request the
// first six bytes pick (slave, function, address, count).
#include "comm/DqModbus.h"
#include "comm/DqNetLine.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize < 6) return 0;
  TModbusData modbus;
  modbus.SlaveID = AData[0];
  static const std::uint8_t functions[] = {1, 2, 3, 4, 5, 6, 15, 16};
  modbus.FunctionCode = functions[AData[1] % 8];
  modbus.DataAddress = static_cast<std::uint16_t>(AData[2] << 8 | AData[3]);
  modbus.DataCount = static_cast<std::uint16_t>(AData[4] << 8 | AData[5]);
  if (modbus.FunctionCode == 15 || modbus.FunctionCode == 16) modbus.SetDatas(modbus.DataCount % 8, 0x1234);
  modbus.Send(); // no port: builds the request only
  const QByteArray request = DqMbapRequest(modbus.LastSend(), 1);
  if (request.size() < 7) __builtin_trap();
  QByteArray stream(reinterpret_cast<const char*>(AData) + 6, static_cast<qsizetype>(ASize - 6));
  while (!stream.isEmpty()) {
    TDqMbapFrame frame;
    QString error;
    const TDqMbapCheck check = DqParseMbapReply(stream.constData(), static_cast<int>(stream.size()), frame, error);
    if (check != TDqMbapCheck::Complete) {
      if (check == TDqMbapCheck::Framing && error.isEmpty()) __builtin_trap();
      break;
    }
    // A frame takes what its length field says, never more than came.
    if (frame.Size < 8 || frame.Size > stream.size() || frame.Pdu.size() != frame.Size - 7) __builtin_trap();
    const QByteArray rtu = DqRtuFromMbap(frame);
    if (DqRtuReplyLength(rtu.constData(), static_cast<int>(rtu.size())) != rtu.size()) __builtin_trap();
    if (modbus.ReceiveFrom(rtu)) {
      if (modbus.SlaveID != AData[0]) __builtin_trap();
      if (modbus.DataText.size() != modbus.ByteCount) __builtin_trap();
    }
    stream.remove(0, frame.Size);
  }
  return 0;
}
