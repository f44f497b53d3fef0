#include "core/DqClock.h"
#include "store/DqSQLite.h"
#include "store/Tervox_Config.h"
#include "mqtt/Tervox_Mqtt.h"
#include "plant/Tervox_Retention.h"
#include "store/DqHistorySummary.h"
#include "ui/pages/Frame_Device.h"
#include "ui/pages/Frame_Log.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/pages/Frame_Trend.h"
#include "ui/shell/Form_Login.h"
#include "ui/shell/Form_Main.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"
#include "ui/LoginTestSupport.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using tervox_test::LoginAs;
using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

QToolButton* PageButton(TFormMain& AForm, const char* AName) {
  return AForm.findChild<QToolButton*>(QString::fromLatin1(AName));
}

QStringList UsageLines() {
  QStringList lines;
  auto table = GetDatabase()->GetTable(QStringLiteral("SELECT Detail, EVStatus, DeviceName FROM UsageLog ORDER BY LogTime"));
  for (; !table->Eof(); table->Next())
    lines << table->GetFields(0)->AsString() + QLatin1Char('|') + table->GetFields(1)->AsString() + QLatin1Char('|') +
                 table->GetFields(2)->AsString();
  return lines;
}

TEST(FormMain, FirstStartCreatesTheDatabaseBeforeTheLoginShows) {
  tervox_test::TempDir dir;
  FreeDatabase();
  const QString file = dir.Path(QStringLiteral("new/dir/Tervox.db"));
  SetDatabaseFileName(file);
  UserGroups()->LoadFromDB(); // start-up's first database use
  TFormMain form;
  bool existedAtLogin = false;
  int usersAtLogin = 0;
  ModalAnswers answers;
  answers.Then([&](QWidget* ADialog) {
    existedAtLogin = QFile::exists(file);
    usersAtLogin = TestDatabase::Count(QStringLiteral("SELECT COUNT(*) FROM Users"));
    tervox_test::Click(static_cast<TFormLogin*>(ADialog)->ButtonCancel());
  });
  EXPECT_FALSE(form.Login()) << "a cancelled login ends the program";
  EXPECT_TRUE(existedAtLogin);
  EXPECT_EQ(usersAtLogin, 1);
  form.close();
  // The file is whole: it opens and has its rows, and nothing was logged.
  FreeDatabase();
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT COUNT(*) FROM UserGroup")), 3);
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT COUNT(*) FROM UsageLog")), 0);
  FreeDatabase();
}

TEST(FormMain, AdminLoginEnablesEverythingAndClosingLogsOut) {
  TestDatabase database;
  auto form = std::make_unique<TFormMain>();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Data Acquisition Software"));
  EXPECT_EQ(form->StatusText(), QStringLiteral("Login:"));
  EXPECT_FALSE(form->menuBar()->isEnabled());
  EXPECT_FALSE(form->ToolBarPage()->isEnabled());
  ASSERT_TRUE(LoginAs(*form));
  EXPECT_EQ(form->StatusText(), QStringLiteral("Login: Administrator"));
  EXPECT_TRUE(form->menuBar()->isEnabled());
  EXPECT_TRUE(form->ToolBarPage()->isEnabled());
  EXPECT_TRUE(form->MenuDatabase()->menuAction()->isVisible());
  EXPECT_EQ(UsageLines(), QStringList{QStringLiteral("Login by Administrator (admin)|IN|-")});

  form->move(40, 30);
  form->resize(800, 600);
  form->close();
  EXPECT_TRUE(CurrentUser()->Username.isEmpty());
  form.reset();
  GetDatabase()->Open();
  EXPECT_EQ(UsageLines(), (QStringList{QStringLiteral("Login by Administrator (admin)|IN|-"),
                                       QStringLiteral("Logout by Administrator (admin)|OUT|-")}));
  EXPECT_FALSE(Config()->GetValueBool(QStringLiteral("WindowFullScreen")));
  EXPECT_EQ(Config()->GetValueInt(QStringLiteral("WindowWidth")), 800);
  EXPECT_EQ(Config()->GetValueInt(QStringLiteral("WindowHeight")), 600);
}

TEST(FormMain, PermissionsFollowTheUsersGroup) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO Users (Username, Password, GroupName, DisplayName, Position) "
                                    "VALUES ('eng', 'e1', 'Engineers', 'Engineer', ''), "
                                    "('lost', 'l1', 'Gone', 'Lost', '')"));
  struct Case {
    const char* User;
    const char* Password;
    bool Database;
  } const cases[] = {{"eng", "e1", false}, {"lost", "l1", false}, {"admin", "9372", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.User);
    TFormMain form;
    ASSERT_TRUE(LoginAs(form, QString::fromLatin1(c.User), QString::fromLatin1(c.Password)));
    EXPECT_EQ(form.MenuDatabase()->menuAction()->isVisible(), c.Database);
    form.Logout();
    EXPECT_FALSE(form.menuBar()->isEnabled());
  }
}

TEST(FormMain, PagesAreCreatedOnDemandWithTheTrendPageFirst) {
  TestDatabase database;
  TFormMain form;
  // Created by the window: the Trend page, then the Monitor page shown.
  EXPECT_EQ(form.PageFrameCount(), 2);
  EXPECT_TRUE(FrameIsClass(form.ActiveFrame(), &TFrameMonitor::staticMetaObject));
  ASSERT_TRUE(LoginAs(form));
  EXPECT_EQ(form.PageFrameCount(), 2);
  // A new login (as after a reset) starts without pages.
  form.CloseAll();
  form.OpenAll();
  EXPECT_EQ(form.PageFrameCount(), 0);
  EXPECT_EQ(form.ActiveFrame(), nullptr);

  QToolButton* device = PageButton(form, "ToolButtonDevice");
  QToolButton* monitor = PageButton(form, "ToolButtonMonitor");
  QToolButton* trend = PageButton(form, "ToolButtonTrend");
  QTest::mouseClick(device, Qt::LeftButton);
  EXPECT_EQ(form.PageFrameCount(), 2) << "the Trend page comes first";
  EXPECT_NE(form.GetFrame<TFrameTrend>(), nullptr);
  EXPECT_FALSE(form.GetFrame<TFrameTrend>()->isVisible()) << "alive but hidden";
  EXPECT_TRUE(FrameIsClass(form.ActiveFrame(), &TFrameDevice::staticMetaObject));
  EXPECT_TRUE(device->isChecked());
  EXPECT_FALSE(trend->isChecked());

  QTest::mouseClick(trend, Qt::LeftButton);
  EXPECT_EQ(form.PageFrameCount(), 2) << "the existing Trend page is reused";
  EXPECT_TRUE(trend->isChecked());
  EXPECT_FALSE(device->isChecked());
  QTest::mouseClick(trend, Qt::LeftButton); // pressing the active page's button keeps it pressed
  EXPECT_TRUE(trend->isChecked());

  int entered = 0;
  form.GetFrame<TFrameDevice>()->SetOnEnter([&](TDqFrame*) { ++entered; });
  QTest::mouseClick(device, Qt::LeftButton);
  EXPECT_EQ(entered, 1);
  QTest::mouseClick(monitor, Qt::LeftButton);
  EXPECT_EQ(form.PageFrameCount(), 3);
  EXPECT_EQ(form.ActiveFrame()->geometry(), form.findChild<QWidget*>(QStringLiteral("PageHost"))->rect());

  form.CloseFrame(&TFrameMonitor::staticMetaObject);
  EXPECT_EQ(form.ActiveFrame(), nullptr);
  EXPECT_FALSE(monitor->isChecked());
  EXPECT_EQ(form.PageFrameCount(), 2);
  EXPECT_EQ(form.GetFrame<TFrameMonitor>(), nullptr);
  EXPECT_NE(form.GetFrame<TFrameDevice>(), nullptr);
  form.Logout();
  EXPECT_EQ(form.PageFrameCount(), 0);
}

TEST(FormMain, RefreshAskedYesReopensOnTheSamePage) {
  TestDatabase database;
  TFormMain form;
  ASSERT_TRUE(LoginAs(form));
  QTest::mouseClick(PageButton(form, "ToolButtonLog"), Qt::LeftButton);
  TDqFrame* before = form.ActiveFrame();
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      tervox_test::Click(ADialog->findChild<QPushButton*>(QStringLiteral("ButtonNo")));
    });
    QTest::mouseClick(PageButton(form, "ToolButtonRefresh"), Qt::LeftButton);
    EXPECT_EQ(answers.Texts, QStringList{QStringLiteral("Are you sure to refresh connection?")});
  }
  EXPECT_EQ(form.ActiveFrame(), before);
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      tervox_test::Click(ADialog->findChild<QPushButton*>(QStringLiteral("ButtonYes")));
    });
    form.ActionRefresh()->trigger();
  }
  ASSERT_NE(form.ActiveFrame(), nullptr);
  EXPECT_TRUE(FrameIsClass(form.ActiveFrame(), &TFrameLog::staticMetaObject));
  EXPECT_TRUE(PageButton(form, "ToolButtonLog")->isChecked());
  EXPECT_TRUE(form.menuBar()->isEnabled());
  EXPECT_TRUE(GetDatabase()->Active());
  EXPECT_EQ(CurrentUser()->Username, QStringLiteral("admin")) << "refresh keeps the login";
}

TEST(FormMain, WindowPlacementFollowsStartupState) {
  TestDatabase database;
  Config()->SetValueInt(QStringLiteral("WindowLeft"), 21);
  Config()->SetValueInt(QStringLiteral("WindowTop"), 22);
  Config()->SetValueInt(QStringLiteral("WindowWidth"), 700);
  Config()->SetValueInt(QStringLiteral("WindowHeight"), 500);
  struct Case {
    int State;
    bool FullScreen;
    bool Maximized;
    QSize Size;
  } const cases[] = {
      {1, true, false, {931, 671}}, {2, false, false, {700, 500}}, {2, true, true, {}},
      {3, false, true, {}},         {9, false, false, {931, 671}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.State);
    Config()->SetValueInt(QStringLiteral("StartupState"), c.State);
    Config()->SetValueBool(QStringLiteral("WindowFullScreen"), c.FullScreen);
    TFormMain form;
    ASSERT_TRUE(LoginAs(form));
    EXPECT_EQ(form.isMaximized(), c.Maximized);
    if (!c.Maximized) {
      EXPECT_EQ(form.size(), c.Size);
    }
    if (c.State == 2 && !c.FullScreen) {
      EXPECT_EQ(form.pos(), QPoint(21, 22));
    }
    form.Logout();
    // Logging out maximized keeps the stored geometry.
    EXPECT_EQ(Config()->GetValueBool(QStringLiteral("WindowFullScreen")), c.Maximized);
    if (c.Maximized) {
      EXPECT_EQ(Config()->GetValueInt(QStringLiteral("WindowWidth")), 700);
    }
    Config()->SetValueInt(QStringLiteral("WindowWidth"), 700);
    Config()->SetValueInt(QStringLiteral("WindowHeight"), 500);
    Config()->SetValueInt(QStringLiteral("WindowLeft"), 21);
    Config()->SetValueInt(QStringLiteral("WindowTop"), 22);
  }
}

TEST(FormMain, DeveloperLogoutIsLoggedButNotItsLogin) {
  TestDatabase database;
  SetDeveloperLoginEnabled(true);
  {
    TFormMain form;
    ASSERT_TRUE(LoginAs(form, DeveloperPhrase, DeveloperPhrase));
    EXPECT_EQ(form.StatusText(), QStringLiteral("Login: (o|o)"));
    EXPECT_FALSE(form.MenuDatabase()->menuAction()->isVisible());
    form.close();
  }
  SetDeveloperLoginEnabled(false);
  GetDatabase()->Open();
  EXPECT_EQ(UsageLines(), QStringList{QStringLiteral("Logout by (o|o) (***opendoor***)|OUT|-")});
}

TEST(FormMain, FailedSmsNumbersAreLoggedOneByOne) {
  TestDatabase database;
  TFormMain form;
  form.SMSSendFailed(nullptr, QStringLiteral(" 0811111111 ; ;0822222222;"));
  EXPECT_EQ(UsageLines(), (QStringList{QStringLiteral("SMS Failed: 0811111111|ERROR|-"),
                                       QStringLiteral("SMS Failed: 0822222222|ERROR|-")}));
}

// A history write that fails on the polling worker shows in the status bar
// until writing works again.
TEST(FormMain, FailingHistoryWritesShowInTheStatusBar) {
  TestDatabase database;
  TFormMain form;
  auto* problem = form.findChild<QLabel*>(QStringLiteral("DatabaseProblem"));
  ASSERT_NE(problem, nullptr);
  EXPECT_TRUE(problem->isHidden());
  std::thread worker([] { ReportDatabaseProblem(QStringLiteral("Readings cannot be stored: no such table: DeviceData")); });
  worker.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !problem->isHidden(); }, 5000));
  EXPECT_TRUE(problem->text().endsWith(QStringLiteral("Readings cannot be stored: no such table: DeviceData")))
      << problem->text().toStdString();
  std::thread again([] { ReportDatabaseProblem(QString()); });
  again.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return problem->isHidden(); }, 5000));
}

// The last archive run's failure (stored by whichever process ran it) and
// a disk that lasts less than a month show in the status bar; the check
// runs at each login and hourly.
TEST(FormMain, HistoryStatusShowsAFailedArchiveRunAndADiskFillingUp) {
  TestDatabase database;
  const double now = EncodeDateTime(2025, 3, 15, 10);
  TestDatabase::AddTenDaysOfReadings(now);
  // The file's size is part of the growth: the log is emptied before each
  // measurement, so the writes of the cases below do not change it.
  auto emptyLog = [] { GetDatabase()->GetTable(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")); };
  emptyLog();
  const TDatabaseGrowth growth = MeasureDatabaseGrowth(GetDatabaseFileName(), now, 0);
  ASSERT_GT(growth.BytesPerDay, 0);
  const QString failure = QStringLiteral("History not archived: Cannot write the archive \"/srv/Tervox-archive-2025.db\"");

  TFormMain form;
  auto* timer = form.findChild<QTimer*>(QStringLiteral("TimerHistoryStatus"));
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->interval(), 60 * 60 * 1000);
  const struct {
    bool Failed;
    double FreeDays;
    QString Shown;
  } cases[] = {
      {false, 400, QString()},
      {true, 400, QStringLiteral("2025-03-15 04:00 ") + failure},
      {true, 12.5, QStringLiteral("2025-03-15 04:00 ") + failure + QStringLiteral(" | Disk space for about 12 day(s) of history left")},
      {false, 29.5, QStringLiteral("Disk space for about 29 day(s) of history left")},
      {false, 31, QString()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Shown.toStdString());
    Config()->SetValueDateTime(kArchiveLastRun, now - 0.25);
    Config()->SetValues(kArchiveLastResult, c.Failed ? failure : QStringLiteral("History before 2025-02-15: nothing to archive"));
    Config()->SetValueBool(kArchiveLastFailed, c.Failed);
    emptyLog();
    form.CheckHistoryStatus(now, static_cast<std::int64_t>(std::llround(c.FreeDays * growth.BytesPerDay)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.CheckingHistory(); }, 20000));
    EXPECT_EQ(form.HistoryStatusText(), c.Shown);
  }
}

// Whether the clock is synchronised shows at all times, in red when not.
TEST(FormMain, TheStatusBarSaysWhetherTheClockIsSynchronised) {
  TestDatabase database;
  TFormMain form;
  auto* clock = form.findChild<QLabel*>(QStringLiteral("ClockStatus"));
  ASSERT_NE(clock, nullptr);
  EXPECT_FALSE(clock->isHidden());
  const bool synchronised = ClockSynchronised();
  EXPECT_EQ(clock->text(), synchronised ? QStringLiteral("Clock synchronised") : QStringLiteral("Clock not synchronised"));
  EXPECT_EQ(clock->styleSheet().contains(QStringLiteral("red")), !synchronised);
  auto* timer = form.findChild<QTimer*>(QStringLiteral("TimerClockStatus"));
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isActive()) << "asked again while the window is up";
}

// The publisher's state shows beside it while publishing is on: here a
// broker nobody listens for.
TEST(FormMain, ThePublishersStateShowsInTheStatusBar) {
  TestDatabase database;
  TFormMain form;
  auto* mqtt = form.findChild<QLabel*>(QStringLiteral("MqttStatus"));
  ASSERT_NE(mqtt, nullptr);
  EXPECT_TRUE(mqtt->isHidden());
  TTervoxMqttSettings settings;
  settings.Enabled = true;
  settings.Host = QStringLiteral("127.0.0.1");
  settings.Port = 1; // nothing listens there
  settings.Topic = QStringLiteral("plant/window");
  settings.Save();
  StartMqttPublisher();
  ASSERT_TRUE(QTest::qWaitFor([&] { return mqtt->text().startsWith(QStringLiteral("MQTT: offline (host unreachable: ")); }, 20000))
      << mqtt->text().toStdString();
  EXPECT_FALSE(mqtt->isHidden());
  StopMqttPublisher();
  ASSERT_TRUE(QTest::qWaitFor([&] { return mqtt->isHidden(); }, 5000));
}

} // namespace

namespace {

// Saves what the screen shows when TERVOX_SCREENSHOT_DIR is set (run under
// xvfb-run with QT_QPA_PLATFORM=xcb to see the real thing).
void SaveScreenshot(QWidget* AWindow, const QString& AName) {
  const QString dir = qEnvironmentVariable("TERVOX_SCREENSHOT_DIR");
  if (dir.isEmpty()) return;
  QScreen* screen = AWindow->screen();
  QPixmap shot = QGuiApplication::platformName() == QLatin1String("xcb") ? screen->grabWindow(0) : AWindow->grab();
  shot.save(dir + QLatin1Char('/') + AName + QStringLiteral(".png"));
}

TEST(FormMain, PageBarHoldsSevenPictureButtonsAndTheLogoAtTheRight) {
  TestDatabase database;
  TFormMain form;
  ModalAnswers answers;
  answers.Then([&](QWidget* ADialog) {
    EXPECT_TRUE(QTest::qWaitForWindowExposed(ADialog));
    SaveScreenshot(ADialog, QStringLiteral("login"));
    tervox_test::Click(static_cast<TFormLogin*>(ADialog)->ButtonLogin());
  });
  ASSERT_TRUE(form.Login());
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QTest::mouseClick(PageButton(form, "ToolButtonMonitor"), Qt::LeftButton);

  const char* const names[] = {"ToolButtonMonitor", "ToolButtonDevice", "ToolButtonTrend", "ToolButtonGraph",
                               "ToolButtonReport",  "ToolButtonLog",    "ToolButtonRefresh"};
  int lastLeft = -1;
  for (const char* name : names) {
    QToolButton* button = PageButton(form, name);
    ASSERT_NE(button, nullptr) << name;
    EXPECT_EQ(button->size(), QSize(79, 54)) << name;
    EXPECT_EQ(button->iconSize(), QSize(72, 48)) << name;
    EXPECT_FALSE(button->icon().isNull()) << name;
    EXPECT_TRUE(button->isVisible()) << name;
    const int left = button->mapTo(&form, QPoint(0, 0)).x();
    EXPECT_GT(left, lastLeft) << name << " is in order";
    lastLeft = left;
  }
  auto* logo = form.findChild<QLabel*>(QStringLiteral("ImageLogo"));
  ASSERT_NE(logo, nullptr);
  EXPECT_FALSE(logo->pixmap().isNull());
  const QWidget* bar = form.PanelPageBar();
  EXPECT_GT(logo->geometry().left(), lastLeft + 79);
  EXPECT_LE(bar->width() - logo->geometry().right(), 16) << "anchored right";
  // It stays right when the window grows.
  form.resize(1200, 700);
  QCoreApplication::processEvents();
  EXPECT_LE(bar->width() - logo->geometry().right(), 16);
  form.resize(931, 671);
  QCoreApplication::processEvents();
  SaveScreenshot(&form, QStringLiteral("main"));
  form.Logout();
}

} // namespace
