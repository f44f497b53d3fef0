#include "Frame_OptionUsers.h"
#include "trust/Tervox_Audit.h"

#include "store/DqSQLite.h"
#include "Form_EditUser.h"
#include "plant/Tervox_User.h"

TFrameOptionUsers::TFrameOptionUsers(QWidget* AOwner)
    : TFrameTableList(AOwner, {"FrameOptionUsers", "GridUsers", "ButtonDeleteUser", "ButtonAddUser", "ButtonEditUser",
                               "Delete Selected User", "Add User", "Edit Selected User", true, true, 1}) {
  LoadUsers();
}

TFrameOptionUsers::~TFrameOptionUsers() = default;

void TFrameOptionUsers::LoadUsers() {
  auto table = OpenTable(QStringLiteral("SELECT * FROM Users ORDER BY Username"));
  table->ColumnDefs().AddColumn(QStringLiteral("Username"), 120);
  table->ColumnDefs().AddColumn(QStringLiteral("DisplayName"), 200);
  table->ColumnDefs().AddColumn(QStringLiteral("Mobile"), 150);
  table->ColumnDefs().AddColumn(QStringLiteral("Position"), 150);
  ShowTable(std::move(table));
}

void TFrameOptionUsers::AddClick() {
  TFormEditUser editor(this);
  if (editor.exec() == QDialog::Accepted) LoadUsers();
}

void TFrameOptionUsers::EditClick() {
  if (!MoveToCurrentRow()) return;
  TTervoxUser user;
  user.LoadFromDB(TableUsers());
  TFormEditUser editor(this);
  editor.SetUserData(user);
  if (editor.exec() == QDialog::Accepted) LoadUsers();
}

void TFrameOptionUsers::DeleteClick() {
  const bool deleted = DeleteSelected(QStringLiteral("Are you sure to DELETE selected user(s)?"), QStringLiteral("Username"),
                                      {TervoxAudit::kUser, QStringLiteral("SELECT * FROM Users WHERE Username = ?")},
                                      [](TSQLiteTable& ATable, const QString& AName) {
                                        if (AName.compare(QLatin1String("admin"), Qt::CaseInsensitive) == 0) return;
                                        ExecWith(ATable, QStringLiteral("DELETE FROM Users WHERE Username = :Username"),
                                                 ":Username", AName);
                                      });
  if (deleted) LoadUsers();
}
