#include "Simulator/Sim_Controller.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

QByteArray Read(TSimController& AController, int AAddress, int ACount, double ANow) {
  QByteArray request;
  request.append('\x03').append(static_cast<char>(AAddress >> 8)).append(static_cast<char>(AAddress));
  request.append(static_cast<char>(ACount >> 8)).append(static_cast<char>(ACount));
  return AController.Process(request, ANow);
}

QByteArray Write(TSimController& AController, int AAddress, int AValue, double ANow) {
  QByteArray request;
  request.append('\x06').append(static_cast<char>(AAddress >> 8)).append(static_cast<char>(AAddress));
  request.append(static_cast<char>(AValue >> 8)).append(static_cast<char>(AValue));
  return AController.Process(request, ANow);
}

int Signed(TSimController& AController, int AAddress) {
  return static_cast<std::int16_t>(AController.Register(static_cast<std::uint16_t>(AAddress)));
}

TEST(SimController, ProcessValueFollowsTheSetValueUnderControl) {
  TSimController controller(1);
  controller.Advance(0.0);
  EXPECT_EQ(Signed(controller, 256), 250); // ambient 25.0
  EXPECT_EQ(Signed(controller, 257), 1000);
  controller.Advance(120.0);
  EXPECT_NEAR(Signed(controller, 256), 1000, 20); // within 2.0 of SV
  EXPECT_GT(Signed(controller, 258), 0);          // OUT1 holds it there
  EXPECT_EQ(Signed(controller, 260) & 4, 0);      // running

  // Stopped: outputs off, the process cools down.
  EXPECT_EQ(Write(controller, 390, 1, 120.0).toHex(), QByteArray("0601860001"));
  controller.Advance(240.0);
  EXPECT_EQ(Signed(controller, 258), 0);
  EXPECT_EQ(Signed(controller, 260) & 4, 4);
  EXPECT_LT(Signed(controller, 256), 500);

  // Manual: the written output drives the process.
  Write(controller, 390, 0, 240.0);
  Write(controller, 389, 1, 240.0);
  Write(controller, 386, 500, 240.0);
  controller.Advance(241.0);
  EXPECT_EQ(Signed(controller, 258), 500);
  EXPECT_EQ(Signed(controller, 260) & 2, 2);
  EXPECT_EQ(Signed(controller, 265), 60); // 6.0 A at half power

  // FIX SV number 2 selects SV2.
  Write(controller, 384, 2, 241.0);
  EXPECT_EQ(Signed(controller, 262), 2);
  EXPECT_EQ(Signed(controller, 257), 1500);
}

TEST(SimController, AutoTuningEndsByItself) {
  TSimController controller(1);
  controller.Advance(0.0);
  Write(controller, 388, 1, 0.0);
  controller.Advance(1.0);
  EXPECT_EQ(Signed(controller, 260) & 1, 1);
  controller.Advance(30.0);
  EXPECT_EQ(Signed(controller, 260) & 1, 0);
  EXPECT_EQ(Signed(controller, 388), 0);
}

TEST(SimController, EventOutputsFollowTheirOperationMode) {
  struct Case {
    int Mode, Point;
    bool On; // with PV 25.0 and SV 100.0
  };
  const Case cases[] = {{0, 0, false},   {1, 200, true},  {1, 300, false}, {2, 300, true},  {2, 200, false},
                        {3, 0, false},   {4, 100, false}, {5, 500, true},  {5, 800, false}, {6, 800, true},
                        {6, 700, false}, {7, 700, true},  {8, 0, true},    {9, 0, false}};
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << test.Mode << " " << test.Point);
    TSimController controller(1);
    controller.Advance(0.0);
    for (int k = 0; k < 3; ++k) controller.SetRegister(static_cast<std::uint16_t>(1280 + 8 * k), 0);
    controller.SetRegister(1288, static_cast<std::uint16_t>(test.Mode)); // EV2
    controller.SetRegister(1289, static_cast<std::uint16_t>(test.Point));
    EXPECT_EQ(Signed(controller, 261), test.On ? 2 : 0);
  }
}

TEST(SimController, ProgramRunsItsStepsAndSkipAdvances) {
  TSimController controller(1);
  controller.Advance(0.0);
  Write(controller, 2048, 1, 0.0);
  controller.Advance(1.0);
  EXPECT_EQ(Signed(controller, 288) & 1, 1);
  EXPECT_EQ(Signed(controller, 292), 1);
  EXPECT_EQ(Signed(controller, 257), 500); // step 1 SV
  controller.Advance(11.5);                // step 1 lasts 10 units
  EXPECT_EQ(Signed(controller, 292), 2);
  EXPECT_EQ(Signed(controller, 257), 1000);
  Write(controller, 402, 1, 11.5);
  controller.Advance(11.7);
  EXPECT_EQ(Signed(controller, 292), 3);
  controller.Advance(30.0); // past the end step: the program ends
  EXPECT_EQ(Signed(controller, 288) & 1, 0);
  EXPECT_EQ(Signed(controller, 2048), 0);

  // Steps are set through the selection registers.
  Write(controller, 2304, 2, 30.0);
  Write(controller, 2305, 4, 30.0);
  Write(controller, 2384, 777, 30.0);
  Write(controller, 2305, 1, 30.0);
  EXPECT_EQ(Signed(controller, 2384), 0);
  Write(controller, 2305, 4, 30.0);
  EXPECT_EQ(Signed(controller, 2384), 777);
}

TEST(SimController, AnswersLikeTheDevice) {
  TSimController controller(3);
  EXPECT_EQ(Read(controller, 64, 10, 0.0).mid(2), QByteArray("TVXBA-KR01302CDHT5P0"));
  EXPECT_EQ(Read(controller, 1799, 3, 0.0).toHex(), QByteArray("03060001f8303598"));
  struct Case {
    QByteArray Request;
    const char* Reply;
  };
  const Case cases[] = {{QByteArray::fromHex("0303e80001"), "8302"},   // no such register
                        {QByteArray::fromHex("03010000 7e"), "8303"},  // too many
                        {QByteArray::fromHex("0401000001"), "8401"},   // input registers
                        {QByteArray::fromHex("0601000005"), "8602"},   // PV is read-only
                        {QByteArray::fromHex("0601860002"), "8603"},   // 390 is 0 or 1
                        {QByteArray::fromHex("1001800001020001"), "9001"}};
  for (const Case& test : cases) EXPECT_EQ(controller.Process(test.Request, 0.0).toHex(), QByteArray(test.Reply));
}

} // namespace
