// Helpers for driving real windows offscreen: answering the modal dialogs a
// step opens, reading texts a widget paints, a private database per test.
#pragma once

#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "plant/Tervox_Device.h"
#include "export/Tervox_Report.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_User.h"
#include "widgets/TextCapture.h"
#include "ui/base/Form_Dialog.h"
#include "store/Main_Database.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace tervox_test {

// A fresh database file for each test, created from the embedded script.
class TestDatabase {
public:
  TestDatabase() {
    FreeDatabase();
    SetDatabaseFileName(FDir.Path(QStringLiteral("Tervox.db")));
    CurrentUser()->Clear();
    UserGroups()->LoadFromDB();
    CreateEngineObjects();
  }
  ~TestDatabase() {
    CurrentUser()->Clear();
    FreeEngineObjects();
    FreePrintProfiles(); // a test's paper settings stay with its database
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  QString FileName() const { return FDir.Path(QStringLiteral("Tervox.db")); }
  // First column of the first row as text.
  static QString Value(const QString& ASQL) {
    std::unique_ptr<TSQLiteTable> table = GetDatabase()->GetTable(ASQL);
    return table->Eof() ? QString() : table->GetFields(0)->AsString();
  }
  static int Count(const QString& ASQL) { return static_cast<int>(GetDatabase()->GetTableValue(ASQL)); }
  static void Exec(const QString& ASQL) { GetDatabase()->ExecSQL(ASQL); }
  // Controller 1, "Oven A" on port 3, with 1000 readings a day over the ten
  // days before ANow, summarised.
  static void AddTenDaysOfReadings(double ANow) {
    Exec(QStringLiteral("INSERT INTO DevicePort (ID, Name) VALUES (3, 'Line port')"));
    Exec(QStringLiteral("INSERT INTO Device (ID, Name, DevicePortID) VALUES (1, 'Oven A', 3)"));
    Exec(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 9999) "
                        "INSERT INTO DeviceData (DeviceID, ReadTime, PV, SV) SELECT 1, %1 + i / 1000.0, i, 1 FROM n")
             .arg(ANow - 10, 0, 'g', 17));
    BuildHistorySummaries(*GetDatabase());
  }

private:
  TempDir FDir;
};

// The text a message box or one of the program's dialogs shows.
inline QString DialogText(QWidget* ADialog) {
  if (auto* box = qobject_cast<QMessageBox*>(ADialog)) return box->text();
  if (auto* dialog = qobject_cast<TFormDialogBase*>(ADialog)) return dialog->Text();
  return ADialog->windowTitle();
}

inline void Click(QAbstractButton* AButton) {
  ASSERT_NE(AButton, nullptr);
  QTest::mouseClick(AButton, Qt::LeftButton);
}

// Clicks the message box button of that role.
inline void AnswerBox(QWidget* ADialog, QMessageBox::StandardButton AButton) {
  auto* box = qobject_cast<QMessageBox*>(ADialog);
  ASSERT_NE(box, nullptr) << "not a message box: " << DialogText(ADialog).toStdString();
  Click(box->button(AButton));
}

// Answers the modal dialogs that appear, in order: each new top modal
// widget goes to the next handler. A dialog nobody expected is recorded and
// rejected so that the test fails instead of hanging.
class ModalAnswers {
public:
  using THandler = std::function<void(QWidget* ADialog)>;
  ModalAnswers() {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
    FTimer.start();
  }
  ~ModalAnswers() {
    FTimer.stop();
    EXPECT_TRUE(FHandlers.empty()) << FHandlers.size() << " expected dialog(s) never appeared";
    EXPECT_TRUE(Unexpected.isEmpty()) << "unexpected dialogs: " << Unexpected.join(QStringLiteral(" | ")).toStdString();
  }
  ModalAnswers& Then(THandler AHandler) {
    FHandlers.push_back(std::move(AHandler));
    return *this;
  }
  // Records the text and presses the box's OK button.
  ModalAnswers& ThenOk() {
    return Then([](QWidget* ADialog) {
      if (auto* box = qobject_cast<QMessageBox*>(ADialog)) Click(box->button(QMessageBox::Ok));
      else if (auto* button = ADialog->findChild<QPushButton*>(QStringLiteral("ButtonOK"))) Click(button);
    });
  }
  // Forgets the handlers not used yet (dialogs that may not come).
  void DropPending() { FHandlers.clear(); }
  QStringList Texts; // every dialog seen, in order
  QStringList Unexpected;

private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    for (const QPointer<QWidget>& seen : FSeen)
      if (seen == modal) return;
    FSeen.push_back(modal);
    Texts << DialogText(modal);
    if (FHandlers.empty()) {
      Unexpected << DialogText(modal);
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      return;
    }
    // Run outside this timer's slot: a handler that opens another modal
    // dialog blocks, and a timer does not fire again inside its own slot.
    auto handler = std::make_shared<THandler>(std::move(FHandlers.front()));
    FHandlers.pop_front();
    QPointer<QWidget> target(modal);
    QTimer::singleShot(0, modal, [handler, target] {
      if (target) (*handler)(target.data());
    });
  }
  QTimer FTimer;
  std::deque<THandler> FHandlers;
  std::vector<QPointer<QWidget>> FSeen;
};

} // namespace tervox_test
