// The SMS page against the simulated modem on a pseudo-terminal.
#include "comm/DqSMS.h"
#include "sim/Sim_Modem.h"
#include "store/Tervox_Config.h"
#include "ui/dialogs/Frame_OptionSMS.h"
#include "ui/UiTestSupport.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_Alerts.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

class FrameOptionSMS : public ::testing::Test {
protected:
  void SetUp() override {
    qputenv("TERVOX_PORT_DIR", FPorts.Root().toLocal8Bit());
    FModem = std::make_unique<TSimModem>(FPorts.Path(QStringLiteral("ttyGSM")));
    ASSERT_TRUE(FModem->Start());
    Config()->SetValues(QStringLiteral("SMSPort"), FModem->LinkPath());
    Config()->SetValues(QStringLiteral("SMSProvider"), QStringLiteral("DTAC"));
  }
  void TearDown() override {
    TTervoxDevice::CloseSMS();
    FModem.reset();
    qunsetenv("TERVOX_PORT_DIR");
  }
  static bool WaitFor(const std::function<bool()>& APredicate) { return QTest::qWaitFor(APredicate, 20000); }

  TestDatabase FDatabase;
  tervox_test::TempDir FPorts;
  std::unique_ptr<TSimModem> FModem;
};

TEST_F(FrameOptionSMS, ProviderSignalBalanceAndLeaving) {
  FModem->SetSignal(17, 99);
  auto page = std::make_unique<TFrameOptionSMS>();
  EXPECT_EQ(page->ComboSMSPort()->currentText(), FModem->LinkPath());
  EXPECT_EQ(page->ComboProvider()->count(), 3);
  EXPECT_EQ(page->ComboProvider()->currentText(), QStringLiteral("DTAC"));
  EXPECT_EQ(page->LabelBalance()->text(), QStringLiteral("Click to check balance information."));
  EXPECT_EQ(page->TimerSignal()->interval(), 1000);
  EXPECT_TRUE(WaitFor([&] { return page->ProgressSignal()->value() == 17; })) << "signal read and shown";

  page->ComboProvider()->setCurrentIndex(1);
  emit page->ComboProvider()->activated(1);
  EXPECT_EQ(Config()->GetValues(QStringLiteral("SMSProvider")), QStringLiteral("AIS"));
  EXPECT_TRUE(WaitFor([&] { return FModem->Commands().contains(QStringLiteral("AT+CSCA=\"+66818110888\"")); }))
      << FModem->Commands().join(QLatin1Char('|')).toStdString();

  // A balance answer goes to the label, any other USSD answer to the log.
  FModem->SetUSSDAnswer(QStringLiteral("Balance 25 THB"), false);
  tervox_test::Click(page->ButtonCheckBalance());
  EXPECT_EQ(page->LabelBalance()->text(),
            QStringLiteral("Retrieving balance infomation from mobile network, please wait ..."));
  EXPECT_TRUE(WaitFor([&] { return page->LabelBalance()->text() == QStringLiteral("Balance 25 THB"); }));
  FModem->SetUSSDAnswer(QStringLiteral("Refilled"), false);
  page->EditRefillCode()->setText(QStringLiteral("1234"));
  tervox_test::Click(page->ButtonRefill());
  EXPECT_TRUE(WaitFor([&] { return page->MemoReport()->toPlainText().contains(QStringLiteral("Refilled")); }));
  EXPECT_EQ(page->LabelBalance()->text(), QStringLiteral("Balance 25 THB"));

  page->MemoMessage()->setPlainText(QStringLiteral("Test from TERVOX"));
  EXPECT_EQ(Config()->GetValues(QStringLiteral("SMSMessage")), QStringLiteral("Test from TERVOX"));
  page->MemoMobileNumber()->setText(QStringLiteral("0811111111"));
  tervox_test::Click(page->ButtonSend());
  EXPECT_TRUE(WaitFor([&] { return !FModem->Sent().empty(); }));
  EXPECT_EQ(FModem->Sent().front().Text, QStringLiteral("Test from TERVOX"));

  // "abc" in the repeat interval stores 0 on leaving; SMS alerting is off,
  // so the page lets the driver go, but a send holding it keeps it alive.
  TervoxAlerts::SetSMSSendAgain(5);
  page->EditSendAgain()->setText(QStringLiteral("abc"));
  const std::shared_ptr<TDqSMS> held = SMSModem();
  ASSERT_NE(held, nullptr);
  page.reset();
  EXPECT_EQ(Config()->GetValues(QStringLiteral("SMSSendAgain")), QStringLiteral("0"));
  EXPECT_EQ(TervoxAlerts::SMSSendAgain(), 0);
  EXPECT_EQ(SMSModem(), nullptr);
  EXPECT_EQ(held.use_count(), 1);
  held->ReadSignal(); // still a whole driver
}

TEST_F(FrameOptionSMS, AnAbsentPortLeavesTheDriverClosedUntilChosen) {
  Config()->SetValues(QStringLiteral("SMSPort"), FPorts.Path(QStringLiteral("ttyGone")));
  Config()->SetValueBool(QStringLiteral("SMSAlert"), true);
  {
    TFrameOptionSMS page;
    EXPECT_EQ(page.ComboSMSPort()->currentIndex(), -1);
    EXPECT_FALSE(page.Modem()->Active());
    page.EditSendAgain()->setText(QStringLiteral("12.6"));
    emit page.EditSendAgain()->editingFinished();
    EXPECT_EQ(Config()->GetValues(QStringLiteral("SMSSendAgain")), QStringLiteral("13"));
    const int index = page.ComboSMSPort()->findText(FModem->LinkPath());
    ASSERT_GE(index, 0);
    page.ComboSMSPort()->setCurrentIndex(index);
    emit page.ComboSMSPort()->activated(index);
    EXPECT_TRUE(page.Modem()->Active());
    EXPECT_EQ(Config()->GetValues(QStringLiteral("SMSPort")), FModem->LinkPath());
  }
  EXPECT_NE(SMSModem(), nullptr) << "SMS alerting keeps its driver";
}

// A window attached to a recorder: the recorder holds the modem, so the
// page neither talks to it nor offers what would wait for its answers.
TEST_F(FrameOptionSMS, AttachedToARecorderThePageLeavesTheModemAlone) {
  struct TRecorderElsewhere : TTervoxRemoteStation {
    std::shared_ptr<TDqFrameTransport> LineTransport(int) override { return nullptr; }
    void RequestStatus(int) override {}
    void SilenceLossAlert(int) override {}
    void AcknowledgeAlarm(int, int) override {}
  } station;
  SetRemoteStation(&station);
  {
    TFrameOptionSMS page;
    for (QPushButton* button : {page.ButtonCheckBalance(), page.ButtonRefill(), page.ButtonSend()})
      EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    EXPECT_TRUE(page.LabelBalance()->text().startsWith(QStringLiteral("The recorder holds the modem")));
    EXPECT_FALSE(page.TimerSignal()->isActive());
    EXPECT_FALSE(page.Modem()->Active());
    QTest::qWait(300);
  }
  SetRemoteStation(nullptr);
  EXPECT_TRUE(FModem->Commands().isEmpty()) << FModem->Commands().join(QLatin1Char('|')).toStdString();
}

} // namespace
