#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "DqPortTestSupport.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "sim/Sim_Pty.h"

#include <modbus/modbus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace tervox_test;
using namespace std::chrono_literals;

QByteArray WithCRC(QByteArray AFrame) {
  const std::uint16_t crc = TModbusData::ComputeCRC16(AFrame);
  AFrame.append(static_cast<char>(crc & 0xFF));
  AFrame.append(static_cast<char>(crc >> 8));
  return AFrame;
}

// Requests as the Modbus documents print them.
TEST(DqModbus, RequestFramesMatchTheProtocolsExamples) {
  PortDir dir;
  TSimPty peer(QStringLiteral("WIRE"));
  ASSERT_TRUE(peer.Open());
  TDqComPort port;
  ASSERT_TRUE(port.Open(QStringLiteral("WIRE")));
  TModbusData modbus(&port);
  modbus.ReadHoldReg(1, 0, 1);
  EXPECT_EQ(ReadPeer(peer.Handle(), 8).toHex(' '), QByteArray("01 03 00 00 00 01 84 0a"));

  struct Case {
    int Slave, Function, Address, Count;
    const char* Data;
    const char* Frame;
  };
  const Case cases[] = {
      {0x11, 1, 0x13, 0x25, "", "11 01 00 13 00 25 0e 84"},
      {0x11, 2, 0xC4, 0x16, "", "11 02 00 c4 00 16 ba a9"},
      {0x11, 3, 0x6B, 3, "", "11 03 00 6b 00 03 76 87"},
      {0x11, 4, 0x08, 1, "", "11 04 00 08 00 01 b2 98"},
      {0x11, 5, 0xAC, 0xFF00, "", "11 05 00 ac ff 00 4e 8b"},
      {0x11, 6, 0x01, 3, "", "11 06 00 01 00 03 9a 9b"},
      {0x11, 15, 0x13, 10, "cd01", "11 0f 00 13 00 0a 02 cd 01 bf 0b"},
      {0x11, 16, 0x01, 2, "000a0102", "11 10 00 01 00 02 04 00 0a 01 02 c6 f0"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Function);
    modbus.SlaveID = static_cast<std::uint8_t>(test.Slave);
    modbus.FunctionCode = static_cast<std::uint8_t>(test.Function);
    modbus.DataAddress = static_cast<std::uint16_t>(test.Address);
    modbus.DataCount = static_cast<std::uint16_t>(test.Count);
    modbus.DataText = QByteArray::fromHex(test.Data);
    EXPECT_TRUE(modbus.Send());
    EXPECT_EQ(modbus.LastSend().toHex(' '), QByteArray(test.Frame));
    EXPECT_EQ(ReadPeer(peer.Handle(), static_cast<int>(modbus.LastSend().size())).toHex(' '), QByteArray(test.Frame));
  }
  // An unknown function is not framed and nothing goes out.
  modbus.FunctionCode = 7;
  EXPECT_FALSE(modbus.Send());
  EXPECT_EQ(modbus.LastError(), QStringLiteral("Modbus: Invalid TX function code $07"));
  EXPECT_TRUE(modbus.LastSend().isEmpty());
  EXPECT_EQ(ReadPeer(peer.Handle(), 1, 50), QByteArray());
}

// Replies the far end makes up byte by byte: exception, damage, a foreign
// slave, short replies.
TEST(DqModbus, RepliesAreCheckedAgainstTheRequest) {
  PortDir dir;
  TSimPty peer(QStringLiteral("WIRE"));
  ASSERT_TRUE(peer.Open());
  TDqComPort port;
  ASSERT_TRUE(port.Open(QStringLiteral("WIRE")));
  struct Case {
    const char* Name;
    QByteArray Reply;
    bool Ok;
    const char* Error;
  };
  const Case cases[] = {
      {"good", WithCRC(Hex("01 03 04 00 2A FF FE")), true, ""},
      {"exception", WithCRC(Hex("01 83 02")), false, "Illegal Data Address\r\nModbus: Receive error code from Slave device"},
      {"damaged CRC", Hex("01 03 04 00 2A FF FE 00 00"), false, "Modbus: Invalid RX CRC"},
      {"other slave", WithCRC(Hex("02 03 04 00 2A FF FE")), false, "Modbus: Invalid RX slave address $02"},
      {"other function", WithCRC(Hex("01 04 04 00 2A FF FE")), false, "Modbus: Invalid RX function code $04"},
      {"wrong count", WithCRC(Hex("01 03 02 00 2A")), false, "Modbus: Invalid RX data"},
      {"short", Hex("01 03 04 00"), false, "Modbus: Communication error"},
      {"nothing", QByteArray(), false, "Modbus: Communication error"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Name);
    TModbusData modbus(&port);
    std::thread slave([&] {
      ReadPeer(peer.Handle(), 8);
      WritePeer(peer.Handle(), test.Reply);
    });
    std::vector<std::uint16_t> values;
    EXPECT_EQ(modbus.ReadHoldRegArray(values, 1, 0x100, 2), test.Ok);
    slave.join();
    EXPECT_EQ(modbus.LastError(), QLatin1String(test.Error));
    if (test.Ok) {
      EXPECT_EQ(values, std::vector<std::uint16_t>({0x002A, 0xFFFE}));
      EXPECT_EQ(modbus.LastReceive(), test.Reply);
      EXPECT_EQ(modbus.GetDatas(5), 0);
    } else {
      // A failed reply never hands its bytes to the caller.
      EXPECT_EQ(values, std::vector<std::uint16_t>({0x7FFF, 0x7FFF}));
      EXPECT_EQ(modbus.GetDatas(0), 0);
    }
  }
  TModbusData modbus(&port);
  std::thread slave([&] {
    ReadPeer(peer.Handle(), 8);
    WritePeer(peer.Handle(), WithCRC(Hex("01 03 02 80 05")));
  });
  EXPECT_EQ(modbus.ReadHoldRegInt(1, 0x104), -32763);
  slave.join();
}

// A reply that reaches the port in pieces, with pauses shorter than the
// read interval, reads as one frame wherever it is cut; one whose last
// byte never comes fails.
TEST(DqModbus, ReplyInPiecesReadsAsOneFrame) {
  PortDir dir;
  TSimPty peer(QStringLiteral("WIRE"));
  ASSERT_TRUE(peer.Open());
  TDqComPort port;
  ASSERT_TRUE(port.Open(QStringLiteral("WIRE")));
  const QByteArray reply = WithCRC(Hex("01 03 04 00 2A FF FE"));
  struct Case {
    const char* Name;
    std::vector<int> Pieces;
    bool Ok;
  };
  const Case cases[] = {
      {"at each field", {1, 1, 1, 4, 2}, true},
      {"across fields", {2, 3, 3, 1}, true},
      {"byte by byte", {1, 1, 1, 1, 1, 1, 1, 1, 1}, true},
      {"last byte missing", {3, 5}, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Name);
    TModbusData modbus(&port);
    std::thread slave([&] {
      ReadPeer(peer.Handle(), 8);
      int at = 0;
      for (int size : test.Pieces) {
        std::this_thread::sleep_for(20ms);
        WritePeer(peer.Handle(), reply.mid(at, size));
        at += size;
      }
    });
    std::vector<std::uint16_t> values;
    EXPECT_EQ(modbus.ReadHoldRegArray(values, 1, 0x100, 2), test.Ok);
    slave.join();
    if (test.Ok) {
      EXPECT_EQ(modbus.LastError(), QString());
      EXPECT_EQ(modbus.LastReceive(), reply);
      EXPECT_EQ(values, std::vector<std::uint16_t>({0x002A, 0xFFFE}));
    } else {
      EXPECT_EQ(modbus.LastError(), QStringLiteral("Modbus: Communication error"));
      EXPECT_EQ(modbus.LastReceive(), reply.left(7));
      EXPECT_EQ(values, std::vector<std::uint16_t>({0x7FFF, 0x7FFF}));
    }
  }
}

// Controllers on one simulated line.
class ModbusLineTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(line.Start());
    ASSERT_TRUE(port.Open(QStringLiteral("BUS")));
    ASSERT_TRUE(port.Config(115200, 8, 0, 0));
    for (int address : {1, 2, 5})
      line.WithController(address, [&](TSimController& AController) { AController.SetRegister(1800, static_cast<std::uint16_t>(address * 1000)); });
  }

  PortDir dir;
  TSimControllerLine line{QStringLiteral("BUS"), {1, 2, 5}};
  TDqComPort port;
  TModbusData modbus{&port};
};

TEST_F(ModbusLineTest, EveryReadAndWriteFormWorksWithEachSlave) {
  std::vector<std::uint16_t> values;
  for (int address : {1, 2, 5}) {
    SCOPED_TRACE(address);
    const auto slave = static_cast<std::uint8_t>(address);
    EXPECT_EQ(modbus.ReadHoldRegInt(slave, 1800), address * 1000);
    ASSERT_TRUE(modbus.ReadHoldRegArray(values, slave, 64, 10));
    QByteArray ident;
    for (std::uint16_t value : values) ident.append(static_cast<char>(value >> 8)).append(static_cast<char>(value));
    EXPECT_EQ(ident, QByteArray("TVXBA-KR01302CDHT5P0"));
    ASSERT_TRUE(modbus.ReadHoldRegArray(values, slave, {1799, 1800, 2048}));
    EXPECT_EQ(values, std::vector<std::uint16_t>({1, static_cast<std::uint16_t>(address * 1000), 0}));
    EXPECT_TRUE(modbus.ReadHoldReg(slave, 256, 6));
    EXPECT_EQ(modbus.ByteCount, 12);
    EXPECT_EQ(modbus.GetDatas(1), 1000); // SV: FIX SV1, 100.0

    modbus.WriteHoldReg(slave, 390, 1); // stop
    EXPECT_EQ(modbus.LastError(), QString());
    EXPECT_EQ(modbus.ReadHoldRegBit(slave, 260, 2, 1), 1);
    modbus.WriteHoldReg(slave, 390, 0); // run
    EXPECT_EQ(modbus.ReadHoldRegBit(slave, 260, 2, 1), 0);
    modbus.WriteHoldRegExist(slave, 768, 1234);
    EXPECT_EQ(modbus.ReadHoldRegInt(slave, 768), 1234);
    const QByteArray lastSend = modbus.LastSend();
    const int answered = line.FramesAnswered();
    modbus.WriteHoldRegExist(slave, 768, 0x7FFF); // leave unchanged: nothing sent
    EXPECT_EQ(modbus.LastSend(), lastSend);
    EXPECT_EQ(line.FramesAnswered(), answered);
    EXPECT_EQ(modbus.ReadHoldRegInt(slave, 768), 1234);
  }
  // The controllers answer only 03 and 06.
  EXPECT_EQ(modbus.ReadInputRegInt(1, 256), 0);
  EXPECT_EQ(modbus.LastError(), QStringLiteral("Illegal Function\r\nModbus: Receive error code from Slave device"));
  modbus.WriteHoldRegArray({1, 2}, 1, 768, 2);
  EXPECT_TRUE(modbus.LastError().startsWith(QLatin1String("Illegal Function")));
  EXPECT_FALSE(modbus.ReadHoldReg(1, 1000, 1));
  EXPECT_EQ(modbus.LastError(), QStringLiteral("Illegal Data Address\r\nModbus: Receive error code from Slave device"));
  modbus.WriteHoldReg(1, 390, 7);
  EXPECT_TRUE(modbus.LastError().startsWith(QLatin1String("Illegal Data Value")));
}

TEST_F(ModbusLineTest, FaultsFailTheReadAndTheNextTransactionSucceeds) {
  struct Case {
    const char* Name;
    TSimFault Fault;
    const char* Error;
  };
  const Case cases[] = {{"silent", TSimFault::Silent, "Modbus: Communication error"},
                        {"crc", TSimFault::CorruptCRC, "Modbus: Invalid RX CRC"},
                        {"address", TSimFault::WrongSlave, "Modbus: Invalid RX slave address $03"},
                        {"slow", TSimFault::Slow, "Modbus: Communication error"}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Name);
    line.SetFault(2, test.Fault, true);
    std::vector<std::uint16_t> values;
    EXPECT_FALSE(modbus.ReadHoldRegArray(values, 2, 1799, 3));
    EXPECT_EQ(values, std::vector<std::uint16_t>(3, 0x7FFF));
    EXPECT_TRUE(modbus.LastError().contains(QLatin1String(test.Error))) << qPrintable(modbus.LastError());
    EXPECT_EQ(modbus.ReadHoldRegBit(2, 260, 0, 3), -1);
    EXPECT_EQ(modbus.ReadHoldRegInt(2, 1800), 0);
    line.SetFault(2, test.Fault, false);
    // A late answer may still be on its way: it is dropped, not taken for
    // the next reply.
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(modbus.ReadHoldRegInt(2, 1800), 2000);
    EXPECT_EQ(modbus.ReadHoldRegInt(1, 1800), 1000);
  }
}

// A slow controller answers while the master already talks to another one:
// its late reply must never pass for the other's.
TEST_F(ModbusLineTest, LateAnswerOfAnotherSlaveIsNeverTakenAsTheReply) {
  line.SetSlowDelay(2, 300);
  line.SetFault(2, TSimFault::Slow, true);
  int wrong = 0, failed = 0;
  for (int i = 0; i < 4; ++i) {
    // Usually a time-out; on a loaded machine the late reply to the
    // previous, identical question may arrive in its window instead, and
    // that one carries the right value.
    const int slow = modbus.ReadHoldRegInt(2, 1800);
    EXPECT_TRUE(slow == 0 || slow == 2000) << slow;
    const int value = modbus.ReadHoldRegInt(1, 1800);
    if (value == 2000) ++wrong;
    if (value == 0) {
      ++failed;
      EXPECT_FALSE(modbus.LastError().isEmpty());
    }
  }
  EXPECT_EQ(wrong, 0);
  RecordProperty("CollidedReads", failed);
  line.SetFault(2, TSimFault::Slow, false);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(modbus.ReadHoldRegInt(1, 1800), 1000);
  EXPECT_EQ(modbus.ReadHoldRegInt(2, 1800), 2000);
}

TEST_F(ModbusLineTest, FramesForOtherSlavesAndStrayBytesDoNotDisturbTheNextFrame) {
  const int ignored = line.FramesIgnored();
  EXPECT_FALSE(modbus.ReadHoldReg(9, 1800, 1)); // nobody at 9
  EXPECT_EQ(line.FramesIgnored(), ignored + 1);
  EXPECT_EQ(modbus.ReadHoldRegInt(5, 1800), 5000);
  // Half a frame and garbage on the line, then a proper request.
  const QByteArray junk = Hex("05 03 07");
  port.WriteBlock(junk.constData(), static_cast<int>(junk.size()));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(modbus.ReadHoldRegInt(5, 1800), 5000);
}

TEST_F(ModbusLineTest, UnpluggedLineClosesThePortAndReopensByItsPath) {
  port.PortData().PortName = QStringLiteral("BUS");
  line.Unplug();
  EXPECT_FALSE(modbus.ReadHoldReg(1, 1800, 1));
  // The hang-up closed the port: the vanished terminal is not kept open.
  EXPECT_FALSE(port.Active());
  EXPECT_FALSE(modbus.Receive());
  EXPECT_EQ(modbus.LastError(), QStringLiteral("Modbus: No assigned comport, data could not be receive"));
  EXPECT_FALSE(port.Reopen()); // the device node is gone
  line.Replug();
  // Back by its path once the back-off step has passed.
  ASSERT_TRUE(WaitFor([&] { return port.Reopen(); }));
  EXPECT_EQ(modbus.ReadHoldRegInt(1, 1800), 1000);
}

TEST(DqModbus, ExceptionTextsAndRegisterData) {
  const std::pair<int, const char*> texts[] = {{1, "Illegal Function"},
                                               {2, "Illegal Data Address"},
                                               {3, "Illegal Data Value"},
                                               {4, "Slave Device Failure"},
                                               {5, "Acknowledge"},
                                               {6, "Slave Device Busy"},
                                               {7, "Negative Acknowledge"},
                                               {8, "Memory Parity Error"},
                                               {9, "Error Code 9"},
                                               {10, "Gateway Path Unavailable"},
                                               {11, "Gateway Target Device Failed to Respond"},
                                               {0, "Error Code 0"},
                                               {12, "Error Code 12"}};
  for (const auto& [code, text] : texts) EXPECT_EQ(TModbusData::ExceptionText(code), QLatin1String(text));
  TModbusData data;
  data.SetDatas(2, 0xBEEF);
  EXPECT_EQ(data.DataText.toHex(), QByteArray("00000000beef"));
  EXPECT_EQ(data.GetDatas(2), 0xBEEF);
  EXPECT_EQ(data.GetDatas(3), 0);
  data.DataCount = 9;
  data.SlaveID = 4;
  data.Clear();
  EXPECT_EQ(data.DataCount, 9);
  EXPECT_EQ(data.SlaveID, 0);
  EXPECT_TRUE(data.DataText.isEmpty());
}

// An independent slave: libmodbus's RTU server, joined to the port through
// two pseudo-terminals and a byte pump.
TEST(DqModbus, WorksAgainstLibmodbusAsSlave) {
  PortDir dir;
  TSimPty ours(QStringLiteral("MASTER")), theirs(QStringLiteral("SLAVE"));
  ASSERT_TRUE(ours.Open());
  ASSERT_TRUE(theirs.Open());
  std::atomic<bool> stop{false};
  std::thread pump([&] {
    char buffer[256];
    while (!stop) {
      pollfd descriptors[2] = {{ours.Handle(), POLLIN, 0}, {theirs.Handle(), POLLIN, 0}};
      if (poll(descriptors, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(descriptors[i].revents & POLLIN)) continue;
        const ssize_t count = ::read(descriptors[i].fd, buffer, sizeof buffer);
        if (count > 0) WritePeer(descriptors[1 - i].fd, QByteArray(buffer, static_cast<int>(count)));
      }
    }
  });
  modbus_t* context = modbus_new_rtu(theirs.LinkPath().toLocal8Bit().constData(), 115200, 'N', 8, 1);
  ASSERT_NE(context, nullptr);
  modbus_set_slave(context, 7);
  ASSERT_EQ(modbus_connect(context), 0);
  modbus_flush(context);
  modbus_set_indication_timeout(context, 0, 50000);
  modbus_mapping_t* mapping = modbus_mapping_new(64, 64, 200, 200);
  mapping->tab_registers[100] = 0x1234;
  mapping->tab_input_registers[5] = 0x0BAD;
  mapping->tab_bits[3] = 1;
  mapping->tab_input_bits[9] = 1;
  std::thread server([&] {
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop) {
      const int length = modbus_receive(context, query);
      if (length > 0) modbus_reply(context, query, length, mapping);
    }
  });

  TDqComPort port;
  ASSERT_TRUE(port.Open(QStringLiteral("MASTER")));
  TModbusData modbus(&port);
  std::vector<std::uint16_t> values;
  ASSERT_TRUE(modbus.ReadHoldRegArray(values, 7, 99, 3)) << qPrintable(modbus.LastError());
  EXPECT_EQ(values, std::vector<std::uint16_t>({0, 0x1234, 0}));
  modbus.WriteHoldReg(7, 101, 0xCAFE);
  EXPECT_EQ(modbus.LastError(), QString());
  modbus.WriteHoldRegArray({0x1111, 0x2222, 0x3333}, 7, 150, 3);
  EXPECT_EQ(modbus.LastError(), QString());
  EXPECT_EQ(modbus.ReadInputRegInt(7, 5), 0x0BAD);

  struct Case {
    int Function, Address, Count;
    const char* Data;
    const char* Reply; // the data bytes of the reply
  };
  const Case cases[] = {{1, 0, 8, "", "08"},          {2, 8, 2, "", "02"},    {5, 12, 0xFF00, "", "ff00"},
                        {15, 20, 10, "ff03", "000a"}, {1, 20, 10, "", "ff03"}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Function);
    modbus.SlaveID = 7;
    modbus.FunctionCode = static_cast<std::uint8_t>(test.Function);
    modbus.DataAddress = static_cast<std::uint16_t>(test.Address);
    modbus.DataCount = static_cast<std::uint16_t>(test.Count);
    modbus.DataText = QByteArray::fromHex(test.Data);
    ASSERT_TRUE(modbus.Send());
    EXPECT_TRUE(modbus.Receive()) << qPrintable(modbus.LastError());
    EXPECT_EQ(modbus.DataText.toHex(), QByteArray(test.Reply));
  }
  // Another slave address: libmodbus keeps quiet, the read fails cleanly.
  EXPECT_FALSE(modbus.ReadHoldReg(8, 100, 1));
  stop = true;
  server.join();
  pump.join();
  EXPECT_EQ(mapping->tab_registers[101], 0xCAFE);
  EXPECT_EQ(mapping->tab_registers[151], 0x2222);
  EXPECT_EQ(mapping->tab_bits[12], 1);
  modbus_mapping_free(mapping);
  modbus_close(context);
  modbus_free(context);
}

} // namespace
