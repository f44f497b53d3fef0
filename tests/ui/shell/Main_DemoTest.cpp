// The demonstration end to end: a group made on the Group page receives
// the next alarm's SMS through the simulated modem; the MODE key of a
// panel opens the controller's settings.
#include "ui/shell/Main_Demo.h"
#include "ui/dialogs/Form_EditDeviceGroup.h"
#include "ui/dialogs/Form_Mode.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "widgets/Tervox_Monitor.h"
#include "ui/dialogs/Frame_AddGroupDevice.h"
#include "ui/dialogs/Frame_AddGroupMobile.h"
#include "ui/dialogs/Frame_Mode1.h"
#include "ui/dialogs/Frame_ModeProgram.h"
#include "ui/pages/Frame_Device.h"
#include "ui/pages/Frame_Graph.h"
#include "ui/pages/Frame_Log.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/pages/Frame_Report.h"
#include "ui/pages/Frame_Trend.h"
#include "ui/dialogs/Frame_OptionGroup.h"
#include "ui/shell/Form_Login.h"
#include "ui/shell/Form_Main.h"
#include "ui/UiTestSupport.h"

#include "widgets/DqDrawGrid.h"
#include "graph/DqGraph.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include <QFile>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <functional>
#include <unistd.h>

using tervox_test::ModalAnswers;

namespace {

// Saves the window when TERVOX_SCREENSHOT_DIR is set.
void SaveScreenshot(QWidget* AWindow, const QString& AName) {
  const QString dir = qEnvironmentVariable("TERVOX_SCREENSHOT_DIR");
  if (!dir.isEmpty()) AWindow->grab().save(dir + QLatin1Char('/') + AName + QStringLiteral(".png"));
}

// The demonstration as `--demo` starts it, logged in as the login window
// offers (admin, 9372), on a main window of its own.
class MainDemo : public ::testing::Test {
protected:
  void SetUp() override {
    FPortDir = qgetenv("TERVOX_PORT_DIR");
    qunsetenv("TERVOX_PORT_DIR");
    FreeDatabase();
    demo = std::make_unique<TTervoxDemo>();
    QString error;
    ASSERT_TRUE(demo->Start(&error)) << error.toStdString();
    CurrentUser()->Clear();
    UserGroups()->LoadFromDB();
    demo->Seed();
    CreateEngineObjects();
    form = std::make_unique<TFormMain>();
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      auto* login = qobject_cast<TFormLogin*>(ADialog);
      ASSERT_NE(login, nullptr);
      EXPECT_EQ(login->UsernameEdit()->text(), QStringLiteral("admin"));
      EXPECT_EQ(login->PasswordEdit()->text(), QStringLiteral("9372"));
      tervox_test::Click(login->ButtonLogin());
    });
    ASSERT_TRUE(form->Login());
  }

  void TearDown() override {
    if (form) form->close();
    form.reset();
    FreeEngineObjects();
    FreeDatabase();
    demo.reset();
    SetDatabaseFileName(QString());
    CurrentUser()->Clear();
    if (FPortDir.isEmpty())
      qunsetenv("TERVOX_PORT_DIR");
    else
      qputenv("TERVOX_PORT_DIR", FPortDir);
  }

  std::unique_ptr<TTervoxDemo> demo;
  std::unique_ptr<TFormMain> form;

private:
  QByteArray FPortDir;
};

TEST_F(MainDemo, AGroupMadeOnTheGroupPageGetsTheNextAlarmsSMS) {
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
  ASSERT_EQ(demo->ControlLine(QStringLiteral("set 1 1281 0")), QStringList{QStringLiteral("ok 0")});
  // The modem's listing: "ok N", then "NUMBER TEXT" for each message sent.
  auto sentTo = [&](const QString& ANumber) {
    for (const QString& sms : demo->ControlModem(QStringLiteral("sent")).mid(1))
      if (sms.startsWith(ANumber + QLatin1Char(' ')) && sms.contains(QStringLiteral("Alarm"))) return true;
    return false;
  };
  EXPECT_TRUE(QTest::qWaitFor([&] { return sentTo(QStringLiteral("+0899000111")); }, 60000));
  EXPECT_TRUE(sentTo(QStringLiteral("+66810000001"))) << "and the demonstration's own group";
}

// As the demonstration starts after logging in as admin: the MODE key of a
// panel opens "Mode Setting" on page 1 filled from that controller, and
// the program page follows the program the controller runs.
TEST_F(MainDemo, ModeKeyOpensModeSettingAndTheProgramPageFollowsTheRun) {
  auto* monitor = form->GetFrame<TFrameMonitor>();
  ASSERT_NE(monitor, nullptr);
  ASSERT_EQ(form->ActiveFrame(), monitor);

  struct TCase {
    const char* Name;
    const char* Lower; // SV limiter lower and upper limit, page 1
    const char* Upper;
  };
  // The demonstration runs both controllers' programs.
  const TCase cases[] = {{"Oven", "-200.0", "1372.0"}, {"Dryer", "-20.00", "137.20"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTervoxMonitor* panel = nullptr;
    for (int i = 0; i < monitor->Monitors()->Count(); ++i)
      if (TTervoxMonitor* m = monitor->Monitors()->Monitors(i);
          m && m->Device() && m->Device()->DeviceName() == QString::fromLatin1(c.Name))
        panel = m;
    ASSERT_NE(panel, nullptr);
    TTervoxDevice* device = panel->Device();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return device->Synchronized() && device->StatusReady() && device->InfoReaded(); },
        20000));
    QPoint modeKey;
    const TTervoxButton* modeButton = nullptr;
    for (int i = 0; i < panel->Buttons()->Count(); ++i)
      if (const TTervoxButton* key = panel->Buttons()->Buttons(i);
          key->Name() == QStringLiteral("BUTTON_MODE")) {
        modeKey = QPoint(key->Left() + 20, key->Top() + 15) * panel->Zoom() / 100;
        modeButton = key;
      }
    ASSERT_FALSE(modeKey.isNull()) << "admin may change modes: the panel has the MODE key";
    // The keys answer once the panel has been drawn with the controller in
    // sync, which may come a little after the device's own flag.
    ASSERT_TRUE(QTest::qWaitFor([&] { return modeButton->Enabled(); }, 20000));

    QString lower, upper, powerOn, title;
    QStringList shown; // step and step time, one a poll
    ModalAnswers answers;
    answers.Then([&](QWidget* ADialog) {
      auto* dialog = qobject_cast<TFormMode*>(ADialog);
      ASSERT_NE(dialog, nullptr);
      title = dialog->windowTitle();
      auto idle = [dialog](int AMode) {
        return dialog->ActiveMode() == AMode && dialog->ButtonOK()->isEnabled() &&
               !dialog->Changing();
      };
      EXPECT_TRUE(QTest::qWaitFor([&] { return idle(1); }, 20000));
      auto* page1 = static_cast<TFrameMode1*>(dialog->PageFrames(1));
      lower = page1->EditLower()->text();
      upper = page1->EditUpper()->text();
      powerOn = page1->ComboMode()->currentText();
      tervox_test::Click(dialog->ToolButtonMode(9));
      EXPECT_TRUE(QTest::qWaitFor([&] { return idle(9); }, 20000));
      auto* program = static_cast<TFrameModeProgram*>(dialog->PageFrames(9));
      auto now = [program] {
        return program->Display(2)->text() + QLatin1Char('/') + program->Display(4)->text();
      };
      shown << now();
      for (int poll = 0; poll < 3; ++poll) {
        // A program that stands still shows the same after the wait.
        static_cast<void>(QTest::qWaitFor([&] { return now() != shown.last(); }, 3000));
        shown << now();
      }
      tervox_test::Click(dialog->ButtonCancel());
    });
    QTest::mouseClick(panel, Qt::LeftButton, Qt::NoModifier, modeKey);
    EXPECT_EQ(title, QStringLiteral("Mode Setting"));
    EXPECT_EQ(lower, QString::fromLatin1(c.Lower));
    EXPECT_EQ(upper, QString::fromLatin1(c.Upper));
    EXPECT_EQ(powerOn, QStringLiteral("EEP"));
    ASSERT_EQ(shown.size(), 4);
    EXPECT_FALSE(shown.first().startsWith(QStringLiteral("0/"))) << "a step is running";
    EXPECT_EQ(QStringList(shown).removeDuplicates(), 0)
        << "the page moves with the program: " << shown.join(QLatin1Char(' ')).toStdString();
  }
}

// The Graph page opens on the demonstration's seeded hours with its
// history profile, and the lines show readings at once.
TEST_F(MainDemo, GraphPageOpensOnTheSeededHours) {
  form->SelectPage<TFrameGraph>();
  auto* page = form->GetFrame<TFrameGraph>();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->ComboGraph()->currentText(), QStringLiteral("Demo history"));
  const double from = std::trunc(Now()) - 1 + 8.0 / 24;
  const double pickers[] = {page->PickerFirstDate()->Value(), page->PickerFirstTime()->Value(),
                            page->PickerLastDate()->Value(), page->PickerLastTime()->Value()};
  EXPECT_DOUBLE_EQ(std::trunc(pickers[0]), std::trunc(from));
  EXPECT_NEAR(pickers[1] - std::trunc(pickers[1]), 8.0 / 24, 1e-9);
  EXPECT_DOUBLE_EQ(std::trunc(pickers[2]), std::trunc(from));
  EXPECT_NEAR(pickers[3] - std::trunc(pickers[3]), 16.0 / 24, 1e-9);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !page->Reading(); }, 20000));
  TDqTrendGraph* graph = page->ActiveGraph();
  ASSERT_NE(graph, nullptr);
  // Every line has readings in the window.
  ASSERT_EQ(graph->LineCount(), 3);
  for (int i = 0; i < graph->LineCount(); ++i) {
    const QString value = graph->GetLines(i)->LastGraphText();
    EXPECT_TRUE(!value.isEmpty() && value != QLatin1String("HHHH")) << graph->GetLines(i)->Name.toStdString() << "=" << value.toStdString();
  }
  SaveScreenshot(form.get(), QStringLiteral("demo-graph"));
}

// The Device page lists the model codes the controllers report, as their
// panels show them.
TEST_F(MainDemo, DevicePageShowsTheReportedModels) {
  TTervoxDeviceList* devices = DeviceList();
  ASSERT_NE(devices, nullptr);
  ASSERT_EQ(devices->Count(), 3);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (int i = 0; i < devices->Count(); ++i)
          if (!devices->GetDevices(i)->InfoReaded()) return false;
        return true;
      },
      20000));
  // Stored on the worker after the identification read.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM Device WHERE Model <> ''")) == 3; },
      10000));
  form->SelectPage<TFrameDevice>();
  auto* page = form->GetFrame<TFrameDevice>();
  ASSERT_NE(page, nullptr);
  ASSERT_EQ(page->GridDevice()->RowCount(), 4);
  for (int row = 1; row < page->GridDevice()->RowCount(); ++row) {
    const QString name = page->TableDevice()->CellText(page->GridDevice(), 1, row - 1);
    const QString model = page->TableDevice()->CellText(page->GridDevice(), 4, row - 1);
    TTervoxDevice* device = nullptr;
    for (int i = 0; i < devices->Count(); ++i)
      if (devices->GetDevices(i)->DeviceName() == name) device = devices->GetDevices(i);
    ASSERT_NE(device, nullptr) << name.toStdString();
    EXPECT_FALSE(model.isEmpty()) << name.toStdString();
    EXPECT_EQ(model, device->ModelCode()) << name.toStdString();
  }
  SaveScreenshot(form.get(), QStringLiteral("demo-device"));
}

// At the main window's first size every page shows each of its controls
// whole: inside the page and not narrower than the control needs.
TEST_F(MainDemo, EveryPageFitsTheFirstWindowSize) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_EQ(form->size(), QSize(931, 671));
  const struct {
    const char* name;
    std::function<void()> select;
  } pages[] = {
      {"monitor", [&] { form->SelectPage<TFrameMonitor>(); }}, {"device", [&] { form->SelectPage<TFrameDevice>(); }},
      {"trend", [&] { form->SelectPage<TFrameTrend>(); }},     {"graph", [&] { form->SelectPage<TFrameGraph>(); }},
      {"report", [&] { form->SelectPage<TFrameReport>(); }},   {"log", [&] { form->SelectPage<TFrameLog>(); }},
  };
  for (const auto& p : pages) {
    SCOPED_TRACE(p.name);
    p.select();
    QWidget* page = form->ActiveFrame();
    ASSERT_NE(page, nullptr);
    QTest::qWait(50);
    const QRect area = page->rect();
    for (QWidget* control : page->findChildren<QWidget*>()) {
      const bool plain = qobject_cast<QAbstractButton*>(control) || qobject_cast<QLabel*>(control) ||
                         qobject_cast<QComboBox*>(control) || qobject_cast<QLineEdit*>(control) ||
                         qobject_cast<QAbstractSpinBox*>(control);
      if (!plain || !control->isVisibleTo(page) || qobject_cast<QLineEdit*>(control->parentWidget()) ||
          qobject_cast<QAbstractSpinBox*>(control->parentWidget()) || qobject_cast<QComboBox*>(control->parentWidget()))
        continue;
      // Controls inside a scrolled area are reached by scrolling.
      bool scrolled = false;
      for (QWidget* w = control->parentWidget(); w && w != page; w = w->parentWidget())
        scrolled = scrolled || qobject_cast<QAbstractScrollArea*>(w);
      if (scrolled) continue;
      const QRect where(control->mapTo(page, QPoint(0, 0)), control->size());
      auto* button = qobject_cast<QAbstractButton*>(control);
      auto* label = qobject_cast<QLabel*>(control);
      const QString what = QString::fromLatin1(control->metaObject()->className()) + QLatin1Char(' ') +
                           control->objectName() + QStringLiteral(" \"") +
                           (button ? button->text() : label ? label->text() : QString()) + QLatin1Char('"');
      EXPECT_TRUE(area.contains(where)) << what.toStdString() << " at " << where.x() << "," << where.y() << " "
                                        << where.width() << "x" << where.height() << " outside " << area.width() << "x"
                                        << area.height();
      // A button's text with a little room (styles ask buttons for more
      // than their text); anything else as wide as it asks to be.
      const int needed = button && !button->text().isEmpty()
                             ? button->fontMetrics().horizontalAdvance(button->text()) + 4 +
                                   (qobject_cast<QCheckBox*>(control) ? button->iconSize().width() + 4 : 0)
                             : control->minimumSizeHint().width();
      EXPECT_GE(control->width(), needed) << what.toStdString() << " is cut: " << control->width() << " < " << needed;
    }
    SaveScreenshot(form.get(), QStringLiteral("page-%1").arg(QLatin1String(p.name)));
  }
}

// The simulator runs as the demonstration's child, answers its control
// commands, and ends with it; when it is missing or never gets ready, Start
// says so.
class DemoSimulator : public ::testing::Test {
protected:
  void SetUp() override { FPortDir = qgetenv("TERVOX_PORT_DIR"); }
  void TearDown() override {
    SetDatabaseFileName(QString());
    if (FPortDir.isEmpty())
      qunsetenv("TERVOX_PORT_DIR");
    else
      qputenv("TERVOX_PORT_DIR", FPortDir);
  }

private:
  QByteArray FPortDir;
};

TEST_F(DemoSimulator, RunsAsAChildUntilTheDemonstrationEnds) {
  auto demo = std::make_unique<TTervoxDemo>();
  QString error;
  ASSERT_TRUE(demo->Start(&error)) << error.toStdString();
  const qint64 pid = demo->SimulatorProcessId();
  ASSERT_GT(pid, 0);
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  ASSERT_TRUE(stat.open(QIODevice::ReadOnly));
  const QByteArray fields = stat.readAll();
  EXPECT_TRUE(fields.contains("(tervox-sim) ")) << fields.constData();
  EXPECT_EQ(fields.mid(fields.lastIndexOf(')') + 2).split(' ').value(1).toLongLong(), ::getpid());
  struct TCase {
    bool Modem;
    const char* Command;
    QStringList Answer;
  };
  const TCase cases[] = {
      {false, "get 5 1799", {QStringLiteral("ok 2")}},
      {false, "get 3 1799", {QStringLiteral("error: no slave 3")}},
      {true, "sent", {QStringLiteral("ok 0")}},
      {true, "signal 9", {QStringLiteral("ok")}},
  };
  for (const TCase& c : cases) {
    const QString command = QString::fromLatin1(c.Command);
    EXPECT_EQ(c.Modem ? demo->ControlModem(command) : demo->ControlLine(command), c.Answer) << c.Command;
  }
  demo.reset();
  EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), -1);
  EXPECT_EQ(errno, ESRCH) << "ended and reaped";
}

TEST_F(DemoSimulator, SaysWhyItCannotStart) {
  const struct {
    const char* Simulator;
    const char* Says;
  } cases[] = {
      {"/nonexistent/tervox-sim", "The simulator /nonexistent/tervox-sim is missing"},
      {"/bin/true", "The simulator /bin/true ended before it was ready"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Simulator);
    TTervoxDemo demo{QString::fromLatin1(c.Simulator)};
    QString error;
    EXPECT_FALSE(demo.Start(&error));
    EXPECT_TRUE(error.startsWith(QLatin1String(c.Says))) << error.toStdString();
    EXPECT_EQ(demo.SimulatorProcessId(), 0);
    EXPECT_EQ(demo.ControlLine(QStringLiteral("get 1 1799")), QStringList());
  }
}

} // namespace
