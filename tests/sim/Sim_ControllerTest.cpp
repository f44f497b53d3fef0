#include "sim/Sim_Controller.h"

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

  // Steps are set through the selection registers (two patterns).
  Write(controller, 2072, 2, 30.0);
  Write(controller, 2304, 2, 30.0);
  Write(controller, 2305, 4, 30.0);
  Write(controller, 2384, 777, 30.0);
  Write(controller, 2305, 1, 30.0);
  EXPECT_EQ(Signed(controller, 2384), 0);
  Write(controller, 2305, 4, 30.0);
  EXPECT_EQ(Signed(controller, 2384), 777);
}

TEST(SimController, PatternsShareFortyStepsFromVersionOneThirty) {
  TSimController controller(1);
  EXPECT_EQ(controller.Version100(), 130);
  EXPECT_EQ(controller.StepsPerPattern(), 40);
  EXPECT_EQ(Write(controller, 2304, 2, 0.0).toHex(), QByteArray("8603")); // one pattern so far
  Write(controller, 2072, 4, 0.0);
  EXPECT_EQ(controller.StepsPerPattern(), 10);
  EXPECT_EQ(Write(controller, 2305, 11, 0.0).toHex(), QByteArray("8603"));
  // Pattern 2 step 1 is step 11 of the shared memory.
  Write(controller, 2304, 1, 0.0);
  Write(controller, 2305, 10, 0.0); // untouched so far
  Write(controller, 2304, 2, 0.0);
  Write(controller, 2305, 1, 0.0);
  Write(controller, 2384, 444, 0.0);
  Write(controller, 2072, 2, 0.0); // 20 steps each: that memory is pattern 1 step 11
  Write(controller, 2304, 1, 0.0);
  Write(controller, 2305, 11, 0.0);
  EXPECT_EQ(Signed(controller, 2384), 444);

  // Older software: one pattern of 25 steps, no pattern selection or count.
  TSimController older(2);
  older.SetIdentification("TVXBA-KR01202CDHT5P0");
  EXPECT_EQ(older.Version100(), 120);
  EXPECT_EQ(Write(older, 2050, 1, 0.0).toHex(), QByteArray("8602"));
  EXPECT_EQ(Read(older, 2072, 1, 0.0).toHex(), QByteArray("8302"));
  EXPECT_EQ(Write(older, 2305, 25, 0.0).toHex(), QByteArray("0609010019"));
  EXPECT_EQ(Write(older, 2305, 26, 0.0).toHex(), QByteArray("8603"));
  EXPECT_EQ(Read(older, 2073, 1, 0.0).toHex(), QByteArray("03020000"));
}

TEST(SimController, LatchingEventsHoldUntilReleasedAndTheJournalShowsTheWire) {
  TSimController controller(1);
  controller.TakeJournal();
  // EV1: high alarm at 30.0, latching.
  Write(controller, 1281, 300, 0.0);
  Write(controller, 1285, 0x0100, 0.0);
  controller.Advance(0.0);
  EXPECT_EQ(Signed(controller, 261) & 1, 0);
  controller.Advance(10.0); // heating past 30.0
  EXPECT_EQ(Signed(controller, 261) & 1, 1);
  Write(controller, 768, 100, 10.0); // SV 10.0: it cools below the point
  controller.Advance(200.0);
  EXPECT_LT(Signed(controller, 256), 300);
  EXPECT_EQ(Signed(controller, 261) & 1, 1); // still on: latched
  Write(controller, 408, 4, 200.0);          // release all
  EXPECT_EQ(Signed(controller, 261) & 1, 0);

  Read(controller, 256, 2, 200.0);
  Write(controller, 2083, 9, 200.0); // PID numbers are 1 to 3
  const std::vector<TSimAccess> journal = controller.TakeJournal();
  ASSERT_EQ(journal.size(), 6u);
  EXPECT_EQ(journal[0].Function, 6);
  EXPECT_EQ(journal[0].Address, 1281);
  EXPECT_EQ(journal[0].Value, 300);
  EXPECT_EQ(journal[4].Function, 3);
  EXPECT_EQ(journal[4].Value, 2);
  EXPECT_FALSE(journal[5].Accepted);
  EXPECT_TRUE(controller.TakeJournal().empty());

  // CT input off: no current is seen.
  Write(controller, 1431, 0, 200.0);
  EXPECT_EQ(Signed(controller, 265), 0);
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

// The settings of a missing option board do not exist: the controller
// refuses them as it refuses any unknown register.
TEST(SimController, OptionRegistersExistOnlyWithTheirBoard) {
  struct Case {
    int IdentByte;
    int Address;
    int Count;
  };
  const Case cases[] = {{14, 1408, 4}, {15, 1429, 1}, {15, 1439, 1}, {16, 1440, 3}, {16, 1460, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "character " << c.IdentByte << " register " << c.Address);
    TSimController controller(1);
    EXPECT_EQ(Read(controller, c.Address, c.Count, 0.0).size(), 2 + 2 * c.Count); // fitted: answered
    QByteArray ident("TVXBA-KR01302CDHT5P0");
    ident[c.IdentByte] = 'N';
    controller.SetIdentification(ident);
    EXPECT_EQ(Read(controller, c.Address, c.Count, 0.0).toHex(), QByteArray("8302"));
    EXPECT_EQ(Write(controller, c.Address, 1, 0.0).toHex(), QByteArray("8602"));
  }
  // Without CT inputs no current is seen, whatever the heater draws.
  TSimController plain(1);
  plain.SetIdentification("TVXBD-KR01101NNNN5N0");
  plain.Advance(0.0);
  plain.Advance(5.0);
  EXPECT_GT(Signed(plain, 258), 0);
  EXPECT_EQ(Signed(plain, 265), 0);
}

} // namespace
