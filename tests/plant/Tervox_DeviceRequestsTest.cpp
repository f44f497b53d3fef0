// Settings reads and writes against simulated controllers on a real
// pseudo-terminal, checked on the wire through the simulator's journal.
#include "core/DqEvent.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "StationTestSupport.h"
#include "TestSupport.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceRequests.h"
#include "plant/Tervox_DeviceSettings.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_User.h"
#include "trust/Tervox_Audit.h"

#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace {

using TWrite = std::pair<int, int>; // register, signed value

class DeviceRequestsTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetDatabaseFileName(dir.Path(QStringLiteral("requests.db")));
    line = std::make_unique<TSimControllerLine>(dir.Path(QStringLiteral("line0")), std::vector<int>{1, 2});
    QString error;
    ASSERT_TRUE(line->Start(&error)) << error.toStdString();
    // Controller 2: older software, one pattern of 25 steps.
    line->Execute(QStringLiteral("ident 2 TVXBA-KR01202CDHT5P0"));
    tervox_test::WriteStation(line->LinkPath(), QStringLiteral("Line 1"),
                              {{QStringLiteral("Oven"), 1}, {QStringLiteral("Kiln"), 2}});
    CreateEngineObjects();
    // The devices without polling: only the requests under test reach the wire.
    TTervoxDevice::InitialPort();
    DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
    oven = DeviceList()->SharedDeviceByID(1);
    kiln = DeviceList()->SharedDeviceByID(2);
    for (const auto& device : {oven, kiln}) {
      bool done = false;
      device->ReadInformation([&] { done = true; });
      ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
      ASSERT_TRUE(device->InfoReaded());
    }
    Journal(1);
    Journal(2);
  }

  void TearDown() override {
    oven.reset();
    kiln.reset();
    FreeEngineObjects();
    line.reset();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }

  std::vector<TSimAccess> Journal(int AAddress) {
    std::vector<TSimAccess> journal;
    line->WithController(AAddress, [&](TSimController& c) { journal = c.TakeJournal(); });
    return journal;
  }

  static std::vector<TWrite> Writes(const std::vector<TSimAccess>& AJournal) {
    std::vector<TWrite> writes;
    for (const TSimAccess& a : AJournal)
      if (a.Function == 6) writes.emplace_back(a.Address, static_cast<std::int16_t>(a.Value));
    return writes;
  }

  int Reg(int AAddress, int ARegister) {
    int value = 0;
    line->WithController(AAddress, [&](TSimController& c) {
      value = static_cast<std::int16_t>(c.Register(static_cast<std::uint16_t>(ARegister)));
    });
    return value;
  }

  void Set(int AAddress, int ARegister, int AValue) {
    line->Execute(QStringLiteral("set %1 %2 %3").arg(AAddress).arg(ARegister).arg(AValue));
  }

  void WaitRead(const std::function<void(TTervoxReadNotify)>& ARead) {
    bool done = false;
    ARead([&] { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
  }

  TTervoxWriteResult WaitWrite(const std::function<void(TTervoxWriteNotify)>& AWrite) {
    std::optional<TTervoxWriteResult> result;
    AWrite([&](const TTervoxWriteResult& AResult) { result = AResult; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 20000));
    return result.value_or(TTervoxWriteResult{});
  }

  tervox_test::TempDir dir;
  std::unique_ptr<TSimControllerLine> line;
  std::shared_ptr<TTervoxDevice> oven, kiln;
};

TEST_F(DeviceRequestsTest, Mode1WritesOnlyTheChangedRegister) {
  WaitRead([&](auto ACallback) { ReadMode(*oven, 1, ACallback); });
  auto read = oven->Settings().Mode1.Get();
  ASSERT_TRUE(read);
  EXPECT_DOUBLE_EQ(read->SVUpperLimit, 1372.0);
  TTervoxMode1Data copy = *read;
  copy.SVUpperLimit = 500.5;
  copy.DiffData(*read);
  Journal(1);
  const TTervoxWriteResult result = WaitWrite([&](auto ACallback) { WriteMode(*oven, copy, ACallback); });
  EXPECT_TRUE(result.Success);
  EXPECT_EQ(Writes(Journal(1)), (std::vector<TWrite>{{779, 5005}}));

  // Nothing changed: nothing on the wire, still a success.
  TTervoxMode1Data same = *read;
  same.DiffData(*read);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteMode(*oven, same, ACallback); }).Success);
  EXPECT_TRUE(Writes(Journal(1)).empty());
  EXPECT_THROW(ReadMode(*oven, 9, {}), EDqException);
}

TEST_F(DeviceRequestsTest, Mode2WritesGainOffsetAndFilterReadBackFirst) {
  Set(1, 1792, 103);
  Set(1, 1793, -15);
  Set(1, 1794, 7);
  WaitRead([&](auto ACallback) { ReadMode(*oven, 2, ACallback); });
  auto read = oven->Settings().Mode2.Get();
  ASSERT_TRUE(read);
  EXPECT_DOUBLE_EQ(read->PVGain, 1.03);
  EXPECT_DOUBLE_EQ(read->PVOffset, -1.5);
  TTervoxMode2Data copy = *read;
  copy.PVRange = 5;
  copy.DiffData(*read);
  Journal(1);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteMode(*oven, copy, ACallback); }).Success);
  const std::vector<TSimAccess> journal = Journal(1);
  EXPECT_EQ(Writes(journal), (std::vector<TWrite>{{1797, 5}, {1792, 103}, {1793, -15}, {1794, 7}}));
  // Each of the three was read before anything was written (and then the
  // value the first write replaces, for the audit trail).
  std::vector<int> reads;
  for (const TSimAccess& a : journal) {
    if (a.Function == 6) break;
    reads.push_back(a.Address);
  }
  EXPECT_EQ(reads, (std::vector<int>{1792, 1793, 1794, 1797}));
}

TEST_F(DeviceRequestsTest, Mode2ReadGivesUpOnASilentControllerAndLeavesEverythingUnchanged) {
  line->SetFault(1, TSimFault::Silent, true);
  WaitRead([&](auto ACallback) { ReadMode(*oven, 2, ACallback); });
  auto read = oven->Settings().Mode2.Get();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->PVRange, kUnchanged);
  EXPECT_EQ(read->DecimalPoint, kUnchanged);
  EXPECT_DOUBLE_EQ(read->PVGain, kUnchangedFloat);
  // The page's copy of a failed read changes nothing on the controller
  // (no value not read is written back as 0).
  line->SetFault(1, TSimFault::Silent, false);
  Set(1, 1793, 12);
  std::vector<int> before;
  for (int r = 1792; r <= 1807; ++r) before.push_back(Reg(1, r));
  TTervoxMode2Data copy = *read;
  copy.DiffData(*read);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteMode(*oven, copy, ACallback); }).Success);
  std::vector<int> after;
  for (int r = 1792; r <= 1807; ++r) after.push_back(Reg(1, r));
  EXPECT_EQ(after, before);
}

TEST_F(DeviceRequestsTest, Mode5KeepsTheOtherByteOfTheSharedRegister) {
  Set(1, 1293, (1 << 8) | 2); // event 2: latching, characteristics 2
  WaitRead([&](auto ACallback) { ReadMode(*oven, 5, ACallback); });
  auto read = oven->Settings().Mode5.Get();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->EV[1].Latch, 1);
  EXPECT_EQ(read->EV[1].OutChar, 2);
  TTervoxMode5Data copy = *read;
  copy.EV[1].OutChar = 0;
  copy.DiffData(*read);
  Set(1, 1293, (3 << 8) | 2); // the latch changed on the controller meanwhile
  Journal(1);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteMode(*oven, copy, ACallback); }).Success);
  const std::vector<TSimAccess> journal = Journal(1);
  EXPECT_EQ(Writes(journal), (std::vector<TWrite>{{1293, 3 << 8}}));
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.front().Function, 3);
  EXPECT_EQ(journal.front().Address, 1293);
}

TEST_F(DeviceRequestsTest, FixWriteOutcomeReachesTheCallback) {
  WaitRead([&](auto ACallback) { ReadFix(*oven, ACallback); });
  auto read = oven->Settings().ModeFix.Get();
  ASSERT_TRUE(read);
  EXPECT_DOUBLE_EQ(read->SV[1].SV, 150.0);
  TTervoxFixData copy = *read;
  copy.SV[0].SV = 42.5;
  copy.SV[2].PIDOut2 = 2; // a PID number changed on its own is written too
  copy.DiffData(*read);
  Journal(1);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteFix(*oven, copy, ACallback); }).Success);
  EXPECT_EQ(Writes(Journal(1)), (std::vector<TWrite>{{768, 425}, {2086, 2}}));

  // Not acknowledged: a failure naming the register, never a success.
  line->SetFault(1, TSimFault::Silent, true);
  const TTervoxWriteResult silent = WaitWrite([&](auto ACallback) { WriteFix(*oven, copy, ACallback); });
  EXPECT_FALSE(silent.Success);
  EXPECT_EQ(silent.FailedAddress, 768);
  EXPECT_EQ(silent.Message(), QStringLiteral("Failed to write to the controller: register 768."));
  line->SetFault(1, TSimFault::Silent, false);

  // Refused by the controller (a PID number it does not have).
  TTervoxFixData bad = *read;
  bad.SV[3].PIDOut1 = 7;
  bad.DiffData(*read);
  const TTervoxWriteResult refused = WaitWrite([&](auto ACallback) { WriteFix(*oven, bad, ACallback); });
  EXPECT_FALSE(refused.Success);
  EXPECT_EQ(refused.FailedAddress, 2083);
}

TEST_F(DeviceRequestsTest, SettingsWrittenReachTheAuditTrailWithTheValuesTheyReplaced) {
  SetActingUser(QStringLiteral("engineer"));
  WaitRead([&](auto ACallback) { ReadFix(*oven, ACallback); });
  TTervoxFixData copy = *oven->Settings().ModeFix.Get();
  TTervoxFixData read = copy;
  copy.SV[1].SV = 120.5;
  copy.DiffData(read);
  // Changed on the controller's own keys since the page read it: the
  // entry has what was there just before the write.
  Set(1, 769, 1400);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteFix(*oven, copy, ACallback); }).Success);
  line->SetFault(1, TSimFault::Silent, true);
  EXPECT_FALSE(WaitWrite([&](auto ACallback) { WriteFix(*oven, copy, ACallback); }).Success);
  line->SetFault(1, TSimFault::Silent, false);
  kiln->ToggleRun();
  std::vector<TervoxAudit::TStored> entries;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        TervoxAudit::Flush();
        entries = TervoxAudit::Entries(*GetDatabase(), 0, 1e9);
        return entries.size() >= 3;
      },
      20000));
  SetActingUser(QString());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Entry.User, QStringLiteral("engineer"));
  EXPECT_EQ(entries[0].Entry.Target, QStringLiteral("Oven"));
  EXPECT_EQ(entries[0].Entry.TargetID, 1);
  EXPECT_EQ(entries[0].Entry.Action, QStringLiteral("settings written (WriteFix)"));
  EXPECT_EQ(entries[0].Entry.Changes, (std::vector<TervoxAudit::TChange>{
                                          {QStringLiteral("FIX-SV2 (register 769)"), QStringLiteral("140.0"),
                                           QStringLiteral("120.5")}}));
  EXPECT_EQ(entries[1].Entry.Action, QStringLiteral("settings written, not all acknowledged (WriteFix)"));
  ASSERT_EQ(entries[1].Entry.Changes.size(), 1u);
  EXPECT_EQ(entries[1].Entry.Changes[0].Old, QStringLiteral("(not read)"));
  EXPECT_EQ(entries[1].Entry.Changes[0].New, QStringLiteral("120.5 (not acknowledged)"));
  EXPECT_EQ(entries[2].Entry.Target, QStringLiteral("Kiln"));
  EXPECT_EQ(entries[2].Entry.Changes.size(), 1u);
  EXPECT_TRUE(entries[2].Entry.Changes[0].Field.startsWith(QStringLiteral("RUN (register 390)")));
  EXPECT_TRUE(TervoxAudit::CheckChain(*GetDatabase()).Intact);
}

TEST_F(DeviceRequestsTest, ScaledValuesThatDoNotFitARegisterAreRefusedBeforeAnythingIsSent) {
  TTervoxFixData data;
  data.DiffData(data); // all unchanged
  data.SV[0].SV = 9999.0; // 99990 at one decimal
  Journal(1);
  try {
    WriteFix(*oven, data, {});
    FAIL() << "no refusal";
  } catch (const EDqException& e) {
    EXPECT_TRUE(e.Message().startsWith(QStringLiteral("FIX-SV1:"))) << e.Message().toStdString();
  }
  // 3276.7 would read as "leave unchanged" on the wire: refused too.
  data.SV[0].SV = 3276.7;
  EXPECT_THROW(WriteFix(*oven, data, {}), EDqException);
  data.SV[0].SV = 3276.6;
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteFix(*oven, data, ACallback); }).Success);
  EXPECT_EQ(Writes(Journal(1)), (std::vector<TWrite>{{768, 32766}}));
}

TEST_F(DeviceRequestsTest, ManualWrites) {
  WaitRead([&](auto ACallback) { ReadManual(*oven, ACallback); });
  auto read = oven->Settings().Manual.Get();
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->IsManual);
  TTervoxManualData manual{true, 40.0, 12.5};
  Journal(1);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteManual(*oven, manual, ACallback); }).Success);
  EXPECT_EQ(Writes(Journal(1)), (std::vector<TWrite>{{389, 1}, {386, 400}, {387, 125}}));
  manual.IsManual = false;
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteManual(*oven, manual, ACallback); }).Success);
  EXPECT_EQ(Writes(Journal(1)), (std::vector<TWrite>{{389, 0}}));
}

TEST_F(DeviceRequestsTest, ControlWritesAndToggles) {
  ASSERT_EQ(Reg(1, 390), 0); // running
  oven->ToggleRun();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Reg(1, 390) == 1; }, 20000));
  EXPECT_EQ(Writes(Journal(1)), (std::vector<TWrite>{{390, 1}}));

  bool notified = false;
  oven->SetOnChanged([&](TTervoxDevice*) { notified = true; });
  oven->SetIsRun(true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return notified; }, 20000));
  const std::vector<TSimAccess> journal = Journal(1);
  EXPECT_EQ(Writes(journal), (std::vector<TWrite>{{390, 0}}));
  bool statusAfter = false, written = false;
  for (const TSimAccess& a : journal) {
    if (a.Function == 6) written = true;
    if (written && a.Function == 3 && a.Address == 256) statusAfter = true;
  }
  EXPECT_TRUE(statusAfter);
  EXPECT_TRUE(oven->IsRun());
}

TEST_F(DeviceRequestsTest, OlderSoftwareHasOnePatternOfTwentyFiveSteps) {
  WaitRead([&](auto ACallback) { ReadPattern(*kiln, 3, ACallback); });
  auto pattern = kiln->Settings().Pattern.Get();
  ASSERT_TRUE(pattern);
  EXPECT_EQ(pattern->MaxPattern, 1);
  EXPECT_EQ(pattern->MaxStep, 25);
  EXPECT_EQ(pattern->PatternIndex, 1);
  for (const TWrite& w : Writes(Journal(2))) EXPECT_NE(w.first, 2050);

  // From 1.30: the count decides the steps of each pattern.
  Set(1, 2072, 2);
  WaitRead([&](auto ACallback) { ReadPattern(*oven, 2, ACallback); });
  pattern = oven->Settings().Pattern.Get();
  ASSERT_TRUE(pattern);
  EXPECT_EQ(pattern->MaxPattern, 4);
  EXPECT_EQ(pattern->PatternCount, 2);
  EXPECT_EQ(pattern->MaxStep, 20);
  EXPECT_EQ(pattern->PatternIndex, 2);
}

TEST_F(DeviceRequestsTest, ProgramStatusOfAStepBeyondFortyIsZero) {
  line->WithController(1, [](TSimController& c) { c.ForceStatus(292, 41); });
  WaitRead([&](auto ACallback) { ReadProgram(*oven, ACallback); });
  auto program = oven->Settings().ModeProgram.Get();
  ASSERT_TRUE(program);
  EXPECT_TRUE(program->Have);
  EXPECT_EQ(program->Step, 0);
  EXPECT_EQ(program->StepTimeNext, 0);
  EXPECT_EQ(program->StepMax, 0);

  line->WithController(1, [](TSimController& c) { c.ForceStatus(292, 2); });
  WaitRead([&](auto ACallback) { ReadProgram(*oven, ACallback); });
  program = oven->Settings().ModeProgram.Get();
  EXPECT_EQ(program->Step, 2);
  EXPECT_EQ(program->StepMax, 3);      // pattern 1 ends at step 3
  EXPECT_EQ(program->StepTimeNext, 20); // step 2 of the demo program
}

TEST_F(DeviceRequestsTest, StepWriteSelectsTheUsersStepInTheSameRequest) {
  WaitRead([&](auto ACallback) { ReadPattern(*oven, 1, ACallback); });
  WaitRead([&](auto ACallback) { ReadStep(*oven, 1, 2, ACallback); });
  auto read = oven->Settings().Step.Get();
  ASSERT_TRUE(read);
  EXPECT_DOUBLE_EQ(read->SV, 100.0);
  EXPECT_EQ(read->StepTime, 20);
  // The running program's poll selects step 3 meanwhile.
  Set(1, 2305, 3);
  TTervoxStepData copy = *read;
  copy.SV = 80.0;
  copy.DiffData(*read);
  Journal(1);
  EXPECT_TRUE(WaitWrite([&](auto ACallback) { WriteStep(*oven, 1, 2, copy, ACallback); }).Success);
  EXPECT_EQ(Writes(Journal(1)), (std::vector<TWrite>{{2304, 1}, {2305, 2}, {2384, 800}}));
  WaitRead([&](auto ACallback) { ReadStep(*oven, 1, 3, ACallback); });
  EXPECT_DOUBLE_EQ(oven->Settings().Step.Get()->SV, 30.0); // step 3 untouched
  WaitRead([&](auto ACallback) { ReadStep(*oven, 1, 2, ACallback); });
  EXPECT_DOUBLE_EQ(oven->Settings().Step.Get()->SV, 80.0);
}

TEST_F(DeviceRequestsTest, ACallbackWhoseContextIsGoneIsDropped) {
  auto context = std::make_unique<QObject>();
  bool called = false;
  line->SetFault(1, TSimFault::Slow, true);
  ReadFix(*oven, [&] { called = true; }, context.get());
  context.reset();
  EXPECT_EQ(WaitLinesIdle(20000), 0u);
  QTest::qWait(50);
  EXPECT_FALSE(called);
}

// A line that fails as soon as a request begins on it.
class TRefusingTransport : public TDqFrameTransport {
public:
  bool Transact(const QByteArray&, QByteArray&, QString& AError) override {
    AError = QStringLiteral("refused");
    return false;
  }
  void BeginRequest(const QString&) override { throw EDqException(QStringLiteral("The line refused the request")); }
};

// A request that fails while it opens, after it took the device, lets the
// device go: the next request on it runs.
TEST_F(DeviceRequestsTest, ARequestThatFailsWhileOpeningLeavesTheDeviceFree) {
  const std::shared_ptr<TDqComPort> port = oven->SharedPort();
  ASSERT_TRUE(port);
  port->SetFrameTransport(std::make_shared<TRefusingTransport>());
  WaitRead([&](auto ACallback) { ReadMode(*oven, 1, ACallback); });
  EXPECT_FALSE(oven->Settings().Mode1.Get());
  EXPECT_EQ(oven->LockCount(), 0);

  port->SetFrameTransport(nullptr);
  WaitRead([&](auto ACallback) { ReadMode(*oven, 1, ACallback); });
  ASSERT_TRUE(oven->Settings().Mode1.Get());
  EXPECT_DOUBLE_EQ(oven->Settings().Mode1.Get()->SVUpperLimit, 1372.0);
}

} // namespace
