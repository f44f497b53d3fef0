// Backup, restore, record deletion and reset from the main window, with
// their permissions, dialogs and the logins they ask for.
#include "store/DqSQLite.h"
#include "ui/dialogs/Form_DeleteRecord.h"
#include "ui/dialogs/Form_Options.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/dialogs/Frame_OptionDatabase.h"
#include "ui/shell/Form_Login.h"
#include "ui/shell/Form_Main.h"
#include "ui/base/Form_Password.h"
#include "ui/base/Form_Progress.h"
#include "plant/Tervox_Maintenance.h"
#include "ui/LoginTestSupport.h"

#include <QAction>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QThread>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <thread>

using tervox_test::AnswerLogin;
using tervox_test::LoginAs;
using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

// Picks AFile in a file dialog; ASuggested receives the name it offered.
ModalAnswers::THandler ChooseFile(const QString& AFile, QString* ASuggested = nullptr) {
  return [AFile, ASuggested](QWidget* ADialog) {
    auto* dialog = qobject_cast<QFileDialog*>(ADialog);
    ASSERT_NE(dialog, nullptr) << tervox_test::DialogText(ADialog).toStdString();
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    if (ASuggested) *ASuggested = name->text();
    name->setText(AFile);
    static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept checks the name and closes
  };
}

int Count(const QString& ASQL) { return TestDatabase::Count(ASQL); }

TEST(FormMainMaintenance, UsersWithoutPermissionAreRefused) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO Users (Username, Password, GroupName, DisplayName, Position) "
                                    "VALUES ('eng', 'e1', 'Engineers', 'Engineer', '')"));
  TFormMain form;
  ASSERT_TRUE(LoginAs(form, QStringLiteral("eng"), QStringLiteral("e1")));
  EXPECT_FALSE(form.MenuDatabase()->menuAction()->isVisible());
  const struct {
    QAction* action;
    const char* text;
  } cases[] = {
      {form.ActionBackup(), "You not have permission to backup database."},
      {form.ActionRestore(), "You not have permission to restore database."},
      {form.ActionDeleteRecords(), "You not have permission to delete record(s)."},
  };
  for (const auto& c : cases) {
    ModalAnswers answers;
    answers.ThenOk();
    c.action->trigger();
    EXPECT_EQ(answers.Texts, QStringList{QString::fromLatin1(c.text)});
  }
  EXPECT_EQ(CurrentUser()->Username, QStringLiteral("eng"));
}

// Backup then restore: the restore logs out, replaces the rows and asks for
// a new login against the restored users.
TEST(FormMainMaintenance, BackupThenRestoreAsksForANewLogin) {
  TestDatabase database;
  tervox_test::TempDir files;
  TFormMain form;
  ASSERT_TRUE(LoginAs(form));
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name) VALUES ('in the backup')"));
  const QString file = files.Path(QStringLiteral("my.sql"));
  {
    tervox_test::FixedClock clock(EncodeDateTime(2024, 1, 31, 14, 25, 1, 7));
    QString suggested;
    ModalAnswers answers;
    answers.Then(ChooseFile(file, &suggested));
    form.ActionBackup()->trigger();
    EXPECT_EQ(answers.Texts.size(), 1) << answers.Texts.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(suggested, QStringLiteral("Tervox_20240131_142501_007.sql"));
  }
  ASSERT_TRUE(tervox_test::ReadFileBytes(file).startsWith("// TERVOX_SQLITE\r\n"))
      << QDir(files.Root()).entryList().join(QLatin1Char(' ')).toStdString() << " cwd " << QDir::currentPath().toStdString();
  EXPECT_TRUE(tervox_test::ReadFileBytes(file).contains("'in the backup'"));
  EXPECT_EQ(tervox_test::FileMode(file), 0600) << "a backup holds the password hashes";

  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name) VALUES ('after the backup')"));
  bool loggedOutAtLogin = false;
  {
    ModalAnswers answers;
    answers.Then(ChooseFile(file)).ThenOk().Then([&](QWidget* ADialog) {
      loggedOutAtLogin = CurrentUser()->Username.isEmpty() && !form.menuBar()->isEnabled();
      AnswerLogin()(ADialog);
    });
    form.ActionRestore()->trigger();
    ASSERT_EQ(answers.Texts.size(), 3);
    // The message says where the database as it was is kept.
    const QStringList copies = QFileInfo(database.FileName()).dir().entryList({QStringLiteral("Tervox_before_restore_*.db")});
    ASSERT_EQ(copies.size(), 1);
    EXPECT_TRUE(answers.Texts.at(1).contains(QFileInfo(database.FileName()).dir().filePath(copies.first())))
        << answers.Texts.at(1).toStdString();
    TSQLiteDatabase kept(QFileInfo(database.FileName()).dir().filePath(copies.first()));
    EXPECT_EQ(kept.GetTable(QStringLiteral("SELECT group_concat(Name) FROM Device"))->GetFields(0)->AsString(),
              QStringLiteral("in the backup,after the backup"));
  }
  EXPECT_TRUE(loggedOutAtLogin);
  EXPECT_EQ(CurrentUser()->Username, QStringLiteral("admin"));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(Name) FROM Device")), QStringLiteral("in the backup"));
  ASSERT_NE(form.ActiveFrame(), nullptr);
  EXPECT_TRUE(FrameIsClass(form.ActiveFrame(), &TFrameMonitor::staticMetaObject));

  // A cut-off file: refused, nothing changes, the login still follows.
  const QString cut = files.Path(QStringLiteral("cut.sql"));
  const QByteArray whole = tervox_test::ReadFileBytes(file);
  tervox_test::WriteFileBytes(cut, whole.left(whole.indexOf("DELETE FROM DeviceGroup;")));
  {
    ModalAnswers answers;
    answers.Then(ChooseFile(cut)).ThenOk().Then(AnswerLogin());
    form.ActionRestore()->trigger();
    ASSERT_EQ(answers.Texts.size(), 3);
    EXPECT_TRUE(answers.Texts.at(1).contains(QStringLiteral("is cut off"))) << answers.Texts.at(1).toStdString();
  }
  EXPECT_EQ(QFileInfo(database.FileName()).dir().entryList({QStringLiteral("Tervox_before_restore_*.db")}).size(), 1)
      << "a refused restore keeps no copy";
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(Name) FROM Device")), QStringLiteral("in the backup"));
}

TEST(FormMainMaintenance, DeleteRecordsAsksThenDeletesWholeDays) {
  TestDatabase database;
  TFormMain form;
  ASSERT_TRUE(LoginAs(form));
  const double today = std::floor(Now());
  for (double t : {today - 0.01, today + 0.01, today + 0.99})
    TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime) VALUES (1, %1)").arg(t, 0, 'f', 9));
  const int logLines = Count(QStringLiteral("SELECT count(*) FROM UsageLog"));
  ASSERT_GT(logLines, 0); // today's login
  ModalAnswers answers;
  answers
      .Then([](QWidget* ADialog) {
        auto* dialog = qobject_cast<TFormDeleteRecord*>(ADialog);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Delete Record"));
        EXPECT_EQ(dialog->DateFrom()->date(), QDate::currentDate());
        EXPECT_EQ(dialog->DateTo()->date(), QDate::currentDate());
        // Pressed, the panel is lowered and its caption moves by a space.
        QTest::mousePress(dialog->PanelDelete(), Qt::LeftButton);
        EXPECT_EQ(dialog->PanelDelete()->text(), QStringLiteral(" DELETE  RECORD"));
        EXPECT_EQ(dialog->PanelDelete()->frameShadow(), QFrame::Sunken);
        QTest::mouseRelease(dialog->PanelDelete(), Qt::LeftButton);
      })
      .Then([](QWidget* ADialog) {
        EXPECT_EQ(tervox_test::DialogText(ADialog), QStringLiteral("Are you sure to delete record?"));
        tervox_test::Click(ADialog->findChild<QPushButton*>(QStringLiteral("ButtonYes")));
      });
  form.ActionDeleteRecords()->trigger();
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM DeviceData")), 1) << "yesterday's row stays";
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM UsageLog")), 0);
}

// Options > Database > Reset Database, twice: each time only the creation
// script's rows remain and the previous file is kept.
TEST(FormMainMaintenance, ResetTwiceKeepsBothPreviousFiles) {
  TestDatabase database;
  TFormMain form;
  ASSERT_TRUE(LoginAs(form));
  const QDir dir = QFileInfo(database.FileName()).dir();
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name) VALUES ('round %1')").arg(round));
    ModalAnswers answers;
    answers
        .Then([](QWidget* ADialog) {
          auto* options = qobject_cast<TFormOptions*>(ADialog);
          ASSERT_NE(options, nullptr);
          const auto items = options->TreeOptions()->findItems(QStringLiteral("Database"), Qt::MatchExactly | Qt::MatchRecursive);
          ASSERT_EQ(items.size(), 1);
          options->TreeOptions()->setCurrentItem(items.first());
          emit options->TreeOptions()->itemClicked(items.first(), 0);
          auto* page = options->findChild<TFrameOptionDatabase*>();
          ASSERT_NE(page, nullptr);
          EXPECT_EQ(page->EditDatabase()->text(), GetDatabaseFileName());
          EXPECT_TRUE(page->EditDatabase()->isReadOnly());
          EXPECT_FALSE(page->ButtonBrowse()->isEnabled());
          tervox_test::Click(page->ButtonReset());
        })
        .Then([](QWidget* ADialog) {
          auto* password = qobject_cast<TFormPassword*>(ADialog);
          ASSERT_NE(password, nullptr);
          password->EditPassword()->setText(QStringLiteral("9372"));
          tervox_test::Click(password->ButtonOK());
        })
        .Then(AnswerLogin());
    form.ActionOptions()->trigger();
    EXPECT_EQ(answers.Texts.size(), 3);
    EXPECT_EQ(CurrentUser()->Username, QStringLiteral("admin"));
    EXPECT_EQ(form.ActiveFrame(), nullptr) << "no page until the user picks one";
    EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Device")), 0);
    EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Users")), 1);
    EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM DeviceData")), 0);
  }
  const QStringList copies = dir.entryList({QStringLiteral("Tervox_backup*.db")}, QDir::Files, QDir::Name);
  ASSERT_EQ(copies.size(), 2) << copies.join(QLatin1Char(' ')).toStdString();
  QStringList names;
  for (const QString& copy : copies) {
    TSQLiteDatabase kept(dir.filePath(copy));
    names << kept.GetTable(QStringLiteral("SELECT group_concat(Name) FROM Device"))->GetFields(0)->AsString();
  }
  names.sort();
  EXPECT_EQ(names, (QStringList{QStringLiteral("round 1"), QStringLiteral("round 2")}));
}

// The progress window: painted while the work runs, Cancel asks it to stop.
TEST(FormMainMaintenance, ProgressWindowCancelsTheWork) {
  std::atomic<bool> sawCancel{false};
  bool clicked = false;
  QTimer cancel;
  cancel.setInterval(50);
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
    // Cancel once the window shows how far the work got.
    if (dialog && !clicked && QRegularExpression(QStringLiteral("\\d+ of 1.?000 rows")).match(dialog->labelText()).hasMatch()) {
      clicked = true;
      tervox_test::Click(dialog->findChild<QPushButton*>());
    }
  });
  cancel.start();
  const std::exception_ptr error = RunWithProgress(nullptr, QStringLiteral("Test"), QStringLiteral("Working"),
                                                   [&](TTervoxProgress& AProgress) {
                                                     for (int i = 0; i < 600; ++i) {
                                                       if (!AProgress.Report(i, 1000)) {
                                                         sawCancel = true;
                                                         throw ESQLiteCancelled(QStringLiteral("stopped"));
                                                       }
                                                       std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                                     }
                                                   });
  EXPECT_TRUE(sawCancel);
  EXPECT_FALSE(ReportWorkResult(error)) << "a cancel is no error to show";
}

// Steps the work hands to the window run on the UI thread, one at a time;
// once Cancel is pressed they are refused, and a step's error ends the work.
TEST(FormMainMaintenance, ProgressWindowRunsStepsOnTheUIThread) {
  std::vector<int> ran;
  std::vector<bool> answers;
  bool onUIThread = true;
  TFormProgress progress(nullptr, QStringLiteral("Test"), QStringLiteral("Working"));
  const std::exception_ptr error = progress.Run([&](TTervoxProgress&) {
    for (int i = 1; i <= 3; ++i)
      answers.push_back(progress.OnUIThread([&, i] {
        onUIThread = onUIThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        ran.push_back(i);
        if (i == 2)
          for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QProgressDialog*>(widget)) dialog->findChild<QPushButton*>()->click();
      }));
  });
  EXPECT_FALSE(error);
  EXPECT_TRUE(onUIThread);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_EQ(answers, (std::vector<bool>{true, true, false}));
  EXPECT_TRUE(progress.Cancelled());

  TFormProgress failing(nullptr, QStringLiteral("Test"), QStringLiteral("Working"));
  const std::exception_ptr failure = failing.Run([&](TTervoxProgress&) {
    failing.OnUIThread([] { throw EDqException(QStringLiteral("The printer went away.")); });
    ran.push_back(9);
  });
  EXPECT_EQ(ran.back(), 2) << "the work went on after its step failed";
  ASSERT_TRUE(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const EDqException& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("The printer went away."));
  }
  EXPECT_FALSE(failing.Cancelled());
}

} // namespace
