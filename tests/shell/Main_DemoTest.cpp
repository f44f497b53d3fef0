// The demonstration end to end: a group made on the Group page receives
// the next alarm's SMS through the simulated modem.
#include "Simulator/Sim_Controller.h"
#include "Simulator/Sim_ControllerLine.h"
#include "Simulator/Sim_Modem.h"
#include "dialogs/Form_EditDeviceGroup.h"
#include "domain/Tervox_Config.h"
#include "pages/Frame_AddGroupDevice.h"
#include "pages/Frame_AddGroupMobile.h"
#include "pages/Frame_OptionGroup.h"
#include "shell/Form_Login.h"
#include "shell/Form_Main.h"
#include "shell/Main_Demo.h"
#include "shell/UiTestSupport.h"
#include "domain/Tervox_Engine.h"

#include <QLineEdit>
#include <QListWidget>
#include <QToolButton>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;

namespace {

TEST(MainDemo, AGroupMadeOnTheGroupPageGetsTheNextAlarmsSMS) {
  const QByteArray portDir = qgetenv("TERVOX_PORT_DIR");
  qunsetenv("TERVOX_PORT_DIR");
  FreeDatabase();
  auto demo = std::make_unique<TTervoxDemo>();
  QString error;
  ASSERT_TRUE(demo->Start(&error)) << error.toStdString();
  CurrentUser()->Clear();
  UserGroups()->LoadFromDB();
  demo->Seed();
  CreateEngineObjects();
  {
    TFormMain form;
    {
      ModalAnswers answers;
      answers.Then([](QWidget* ADialog) {
        auto* login = qobject_cast<TFormLogin*>(ADialog);
        ASSERT_NE(login, nullptr);
        tervox_test::Click(login->ButtonLogin());
      });
      ASSERT_TRUE(form.Login());
    }
    ASSERT_NE(SMSModem(), nullptr) << "the demonstration alerts by SMS";
    {
      TFrameOptionGroup page;
      ModalAnswers answers;
      answers.Then([](QWidget* ADialog) {
        auto* editor = qobject_cast<TFormEditDeviceGroup*>(ADialog);
        ASSERT_NE(editor, nullptr);
        editor->EditName()->setText(QStringLiteral("Maintenance"));
        tervox_test::Click(editor->ButtonAddDevice());
        editor->FrameAddGroupDevice()->ListBoxDevice()->setCurrentRow(0); // Oven
        tervox_test::Click(editor->FrameAddGroupDevice()->ButtonAdd());
        tervox_test::Click(editor->ButtonAddMobile());
        editor->FrameAddGroupMobile()->EditName()->setText(QStringLiteral("Fitter"));
        editor->FrameAddGroupMobile()->EditMobile()->setText(QStringLiteral("0899000111"));
        tervox_test::Click(editor->FrameAddGroupMobile()->ButtonSave());
        tervox_test::Click(editor->ButtonSave());
      });
      tervox_test::Click(page.ButtonAdd());
    }
    // The oven's high alarm point drops below its temperature: the alarm.
    demo->Line()->WithController(1, [](TSimController& AController) { AController.SetRegister(1281, 0); });
    auto sentTo = [&](const QString& ANumber) {
      for (const TSimSentSMS& sms : demo->Modem()->Sent())
        if (sms.Number == ANumber && sms.Text.contains(QStringLiteral("Alarm"))) return true;
      return false;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return sentTo(QStringLiteral("+0899000111")); }, 60000));
    EXPECT_TRUE(sentTo(QStringLiteral("+66810000001"))) << "and the demonstration's own group";
    form.close();
  }
  FreeEngineObjects();
  FreeDatabase();
  demo.reset();
  SetDatabaseFileName(QString());
  CurrentUser()->Clear();
  if (portDir.isEmpty()) qunsetenv("TERVOX_PORT_DIR");
  else qputenv("TERVOX_PORT_DIR", portDir);
}

} // namespace
