#include "core/DqRoutine.h"
#include "widgets/DqSound.h"
#include "ui/dialogs/Form_Alert.h"
#include "ui/dialogs/Form_DialogAlarm.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Alerts.h"
#include "ui/UiTestSupport.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

TEST(FormDialogAlarm, ConfirmingAcknowledgesTheEventAndCloses) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name, Enabled) VALUES ('Oven', -1)"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  TTervoxDevice* oven = DeviceList()->GetDeviceByID(1);

  const struct {
    int Key;
    int Slot;
  } cases[] = {{Qt::Key_Return, 0}, {Qt::Key_Escape, 2}, {0, 1}};
  for (const auto& c : cases) {
    oven->SetAlarming(c.Slot, 1);
    QPointer<TFormDialogAlarm> dialog = new TFormDialogAlarm;
    dialog->DeviceID = 1;
    dialog->Slot = c.Slot;
    dialog->SetText(QStringLiteral("Oven EV1 High Alarm 120.5\r\nTime  05/01/16 04:37"));
    EXPECT_EQ(dialog->width(), 400);
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.data()));
    EXPECT_FALSE(dialog->isModal());
    if (c.Key)
      QTest::keyClick(dialog.data(), static_cast<Qt::Key>(c.Key));
    else
      tervox_test::Click(dialog->ButtonOK());
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, 5000)) << "the window frees itself when closed";
    EXPECT_EQ(oven->Alarming(c.Slot), 2) << c.Slot;
    EXPECT_EQ(SoundPlayer(), nullptr) << "closing stops the sound";
  }

  // A long text widens the window to fit it.
  TFormDialogAlarm wide;
  wide.SetText(QString(120, QLatin1Char('W')));
  EXPECT_GT(wide.width(), 400);
}

TEST(FormAlert, EachButtonSilencesForItsTime) {
  TestDatabase database;
  tervox_test::FixedClock clock(45000.25);
  const struct {
    const char* Button;
    int Seconds;
  } cases[] = {{"Button1Min", 60}, {"Button5Min", 300}, {"Button10Min", 600}};
  for (const auto& c : cases) {
    TervoxAlerts::SetLossAlertShowing(true);
    TervoxAlerts::SetLastLossAlertTime(0);
    {
      TFormAlert alert(QStringLiteral("Kiln"));
      EXPECT_EQ(alert.windowTitle(), QStringLiteral("Alert"));
      EXPECT_EQ(alert.LabelDevice()->text(), QStringLiteral("Kiln"));
      EXPECT_NE(alert.findChild<QLabel*>(QStringLiteral("LabelMessage")), nullptr);
      QTimer::singleShot(0, &alert, [&] {
        tervox_test::Click(alert.findChild<QPushButton*>(QString::fromLatin1(c.Button)));
      });
      EXPECT_EQ(alert.exec(), QDialog::Accepted);
    }
    EXPECT_EQ(TervoxAlerts::LossAlertSilence(), c.Seconds);
    EXPECT_EQ(TervoxAlerts::LastLossAlertTime(), 45000.25);
    EXPECT_FALSE(TervoxAlerts::LossAlertShowing()) << "closing the alert clears the flag";
  }
  // Escape does not close it: only the three buttons do.
  TFormAlert alert(QStringLiteral("Kiln"));
  alert.show();
  QTest::keyClick(&alert, Qt::Key_Escape);
  EXPECT_TRUE(alert.isVisible());
}

} // namespace
