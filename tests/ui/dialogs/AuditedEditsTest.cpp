// What the window writes to the audit trail when records are added,
// edited and deleted, when options change, and the reason it asks for
// when the options say so.
#include "widgets/DqDrawGrid.h"
#include "comm/DqPort.h"
#include "plant/Tervox_PortRows.h"
#include "plant/Tervox_User.h"
#include "store/Tervox_Config.h"
#include "trust/Tervox_Audit.h"
#include "ui/dialogs/Form_EditComPort.h"
#include "ui/dialogs/Form_Options.h"
#include "ui/dialogs/Frame_OptionPort.h"
#include "ui/UiTestSupport.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;
using TervoxAudit::TChange;

namespace {

class AuditedEdits : public ::testing::Test {
protected:
  void SetUp() override {
    SetActingUser(QStringLiteral("engineer"));
    // A network line: what the dialog shows is what it stores again.
    TestDatabase::Exec(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, "
                                      "Parity, IPAddress, PortNumber, Enabled) VALUES ('Hall 1', 2, '', 9600, 8, 0, 0, "
                                      "'10.0.0.8', '502', -1)"));
  }
  void TearDown() override { SetActingUser(QString()); }
  static std::vector<TervoxAudit::TStored> Trail() {
    TervoxAudit::Flush();
    return TervoxAudit::Entries(*GetDatabase(), 0, 1e9);
  }
  static TDqPortData Port(int AID) {
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT * FROM DevicePort WHERE ID = %1").arg(AID));
    table.Open();
    return PortDataOf(table);
  }
  static void SavePort(const TDqPortData& AData, const QString& AName) {
    TFormEditComPort dialog;
    dialog.SetPortData(AData);
    dialog.show();
    dialog.EditName()->setText(AName);
    tervox_test::Click(dialog.ButtonSave());
  }
  TestDatabase FDatabase;
};

TEST_F(AuditedEdits, AddedEditedAndDeletedRecordsAreInTheTrailFieldByField) {
  SavePort(Port(1), QStringLiteral("Hall 1 east"));
  TDqPortData fresh;
  fresh.ID = -1;
  fresh.PortType = dqtTCP;
  fresh.IPAddress = QStringLiteral("10.0.0.9");
  fresh.PortNumber = QStringLiteral("502");
  SavePort(fresh, QStringLiteral("Hall 2"));
  {
    TFrameOptionPort page;
    page.resize(760, 300);
    page.show();
    TDqDrawGrid* grid = page.GridPort();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { tervox_test::AnswerBox(ADialog, QMessageBox::Yes); });
    tervox_test::Click(page.ButtonDeletePort());
  }
  const auto trail = Trail();
  ASSERT_EQ(trail.size(), 3u);
  EXPECT_EQ(trail[0].Entry.User, QStringLiteral("engineer"));
  EXPECT_EQ(trail[0].Entry.TargetKind, QStringLiteral("port"));
  EXPECT_EQ(trail[0].Entry.Action, QStringLiteral("edited"));
  EXPECT_EQ(trail[0].Entry.TargetID, 1);
  EXPECT_EQ(trail[0].Entry.Changes, (std::vector<TChange>{{"Name", "Hall 1", "Hall 1 east"}}));
  EXPECT_EQ(trail[1].Entry.Action, QStringLiteral("added"));
  EXPECT_EQ(trail[1].Entry.Target, QStringLiteral("Hall 2"));
  EXPECT_EQ(trail[1].Entry.TargetID, 2);
  const auto& added = trail[1].Entry.Changes;
  EXPECT_NE(std::find(added.begin(), added.end(), TChange{"IPAddress", "", "10.0.0.9"}), added.end());
  EXPECT_EQ(trail[2].Entry.Action, QStringLiteral("deleted"));
  EXPECT_EQ(trail[2].Entry.Target, QStringLiteral("Hall 1 east"));
  EXPECT_TRUE(TervoxAudit::CheckChain(*GetDatabase()).Intact);
}

TEST_F(AuditedEdits, TheReasonIsAskedWhenTheOptionsSaySoAndCancellingKeepsTheRecord) {
  Config()->SetValueBool(QStringLiteral("AuditAskReason"), true);
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { qobject_cast<QDialog*>(ADialog)->reject(); });
    SavePort(Port(1), QStringLiteral("never"));
  }
  EXPECT_EQ(Port(1).Name, QStringLiteral("Hall 1"));
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      auto* input = qobject_cast<QInputDialog*>(ADialog);
      ASSERT_TRUE(input);
      input->setTextValue(QStringLiteral("  line moved to hall 3 "));
      input->accept();
    });
    SavePort(Port(1), QStringLiteral("Hall 3"));
  }
  const auto trail = Trail();
  ASSERT_EQ(trail.size(), 1u);
  EXPECT_EQ(trail[0].Entry.Reason, QStringLiteral("line moved to hall 3"));
}

TEST_F(AuditedEdits, OptionsChangedWhileTheDialogWasOpenAreOneEntry) {
  Config()->SetValues(QStringLiteral("SMSMessage"), QStringLiteral("old text"));
  {
    TFormOptions options;
    Config()->SetValues(QStringLiteral("SMSMessage"), QStringLiteral("new text"));
    Config()->SetValueInt(QStringLiteral("SMSSendAgain"), 15);
    Config()->SetValues(QStringLiteral("MQTTPassword"), QStringLiteral("s3cret"));
  }
  const auto trail = Trail();
  ASSERT_EQ(trail.size(), 1u);
  EXPECT_EQ(trail[0].Entry.TargetKind, QStringLiteral("option"));
  EXPECT_EQ(trail[0].Entry.Target, QStringLiteral("Options"));
  const auto& changes = trail[0].Entry.Changes;
  EXPECT_NE(std::find(changes.begin(), changes.end(), TChange{"SMSMessage", "old text", "new text"}), changes.end());
  EXPECT_NE(std::find(changes.begin(), changes.end(), TChange{"SMSSendAgain", "", "15"}), changes.end());
  // A secret never enters the trail.
  EXPECT_NE(std::find(changes.begin(), changes.end(), TChange{"MQTTPassword", "", "(changed)"}), changes.end());
  for (const TChange& change : changes) EXPECT_NE(change.New, QStringLiteral("s3cret"));
}

} // namespace
