#include "store/Tervox_Config.h"
#include "ui/dialogs/Frame_OptionGeneral.h"
#include "ui/dialogs/Form_ChangePassword.h"
#include "ui/UiTestSupport.h"

#include <QButtonGroup>
#include <QRadioButton>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

TEST(FrameOptionGeneral, ShowsTheStoredChoicesWithTheirDefaults) {
  TestDatabase database;
  struct Case {
    QString Startup, Display; // stored texts; empty: never written
    int ShownStartup, ShownDisplay;
  } const cases[] = {
      {QString(), QString(), 1, 2}, {QStringLiteral("2"), QStringLiteral("1"), 2, 1},
      {QStringLiteral("3"), QStringLiteral("2"), 3, 2}, {QStringLiteral("7"), QStringLiteral("5"), 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Startup.toStdString() + "/" + c.Display.toStdString());
    TestDatabase::Exec(QStringLiteral("DELETE FROM Config WHERE Name IN ('StartupState', 'DeviceDisplayMode')"));
    if (!c.Startup.isEmpty()) Config()->SetValues(QStringLiteral("StartupState"), c.Startup);
    if (!c.Display.isEmpty()) Config()->SetValues(QStringLiteral("DeviceDisplayMode"), c.Display);
    TFrameOptionGeneral page;
    EXPECT_EQ(page.StartupState()->checkedId(), c.ShownStartup);
    EXPECT_EQ(page.DisplayMode()->checkedId(), c.ShownDisplay);
  }
}

TEST(FrameOptionGeneral, ClickingAChoiceStoresItAtOnce) {
  TestDatabase database;
  TFrameOptionGeneral page;
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  const struct {
    const char* Radio;
    const char* Key;
    int Value;
    const char* Caption;
  } clicks[] = {{"RadioStartup3", "StartupState", 3, "Full screen"},
                {"RadioStartup2", "StartupState", 2, "Last state used"},
                {"RadioDisplay1", "DeviceDisplayMode", 1, "LED"},
                {"RadioDisplay2", "DeviceDisplayMode", 2, "Value"}};
  for (const auto& click : clicks) {
    auto* radio = page.findChild<QRadioButton*>(QString::fromLatin1(click.Radio));
    ASSERT_NE(radio, nullptr);
    EXPECT_EQ(radio->text(), QString::fromLatin1(click.Caption));
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(8, radio->height() / 2));
    EXPECT_EQ(Config()->GetValueInt(QString::fromLatin1(click.Key)), click.Value) << click.Radio;
  }
}

TEST(FrameOptionGeneral, ChangePasswordButtonOpensTheDialog) {
  TestDatabase database;
  TFrameOptionGeneral page;
  ModalAnswers answers;
  answers.Then([](QWidget* ADialog) {
    EXPECT_NE(qobject_cast<TFormChangePassword*>(ADialog), nullptr);
    static_cast<QDialog*>(ADialog)->reject();
  });
  tervox_test::Click(page.ButtonChangePassword());
  EXPECT_EQ(answers.Texts, QStringList{QStringLiteral("Change password")});
}

} // namespace
