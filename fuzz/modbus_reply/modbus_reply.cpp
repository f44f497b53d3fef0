// The Modbus reply check: the first six bytes pick the request (slave,
// function, address, count), the rest is the reply as it came off the wire.
#include "comm/DqModbus.h"

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
  const QByteArray reply(reinterpret_cast<const char*>(AData) + 6, static_cast<qsizetype>(ASize - 6));
  const bool ok = modbus.ReceiveFrom(reply);
  if (ok) {
    // An accepted reply answers the request and carries its data in full.
    if (modbus.SlaveID != AData[0]) __builtin_trap();
    if (modbus.DataText.size() != modbus.ByteCount) __builtin_trap();
    for (int i = 0; i < modbus.DataCount; ++i) (void)modbus.GetDatas(i);
  }
  (void)modbus.LastError();
  return 0;
}
