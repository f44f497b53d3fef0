#include "Frame_OptionUsers.h"

#include "widgets/DqDrawGrid.h"
#include "store/DqSQLite.h"
#include "Form_EditUser.h"
#include "plant/Tervox_User.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

TFrameOptionUsers::TFrameOptionUsers(QWidget* AOwner)
    : TDqFrame(AOwner), FButtonDeleteUser(new QPushButton(QStringLiteral("Delete Selected User"), this)),
      FButtonAddUser(new QPushButton(QStringLiteral("Add User"), this)),
      FButtonEditUser(new QPushButton(QStringLiteral("Edit Selected User"), this)), FGridUsers(new TDqDrawGrid(this)) {
  setObjectName(QStringLiteral("FrameOptionUsers"));
  FButtonDeleteUser->setObjectName(QStringLiteral("ButtonDeleteUser"));
  FButtonAddUser->setObjectName(QStringLiteral("ButtonAddUser"));
  FButtonEditUser->setObjectName(QStringLiteral("ButtonEditUser"));
  FGridUsers->setObjectName(QStringLiteral("GridUsers"));
  FGridUsers->SetRangeSelect(true);
  auto* layout = new QVBoxLayout(this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FButtonDeleteUser);
  buttons->addStretch(1);
  buttons->addWidget(FButtonAddUser);
  buttons->addWidget(FButtonEditUser);
  layout->addLayout(buttons);
  layout->addWidget(FGridUsers, 1);
  connect(FButtonAddUser, &QPushButton::clicked, this, &TFrameOptionUsers::ButtonAddUserClick);
  connect(FButtonEditUser, &QPushButton::clicked, this, &TFrameOptionUsers::ButtonEditUserClick);
  connect(FGridUsers, &TDqDrawGrid::DblClick, this, &TFrameOptionUsers::ButtonEditUserClick);
  connect(FButtonDeleteUser, &QPushButton::clicked, this, &TFrameOptionUsers::ButtonDeleteUserClick);
  LoadUsers();
}

TFrameOptionUsers::~TFrameOptionUsers() = default;

void TFrameOptionUsers::LoadUsers() {
  FTableUsers.reset();
  auto table = std::make_unique<TSQLiteTable>(GetDatabase());
  table->SetSQL(QStringLiteral("SELECT * FROM Users ORDER BY Username"));
  table->Open();
  table->ColumnDefs().AddColumn(QStringLiteral("Username"), 120);
  table->ColumnDefs().AddColumn(QStringLiteral("DisplayName"), 200);
  table->ColumnDefs().AddColumn(QStringLiteral("Mobile"), 150);
  table->ColumnDefs().AddColumn(QStringLiteral("Position"), 150);
  FTableUsers = std::move(table);
  FTableUsers->AddControl(FGridUsers);
}

void TFrameOptionUsers::ButtonAddUserClick() {
  TFormEditUser editor(this);
  if (editor.exec() == QDialog::Accepted) LoadUsers();
}

void TFrameOptionUsers::ButtonEditUserClick() {
  if (FTableUsers->RecordCount() <= 0) return;
  if (!FTableUsers->MoveTo(FGridUsers->Row() - 1)) return;
  TTervoxUser user;
  user.LoadFromDB(FTableUsers.get());
  TFormEditUser editor(this);
  editor.SetUserData(user);
  if (editor.exec() == QDialog::Accepted) LoadUsers();
}

void TFrameOptionUsers::ButtonDeleteUserClick() {
  if (!ShowConfirmBox(QStringLiteral("Are you sure to DELETE selected user(s)?"))) return;
  QStringList names;
  const TDqDrawGrid::TGridRect selection = FGridUsers->Selection();
  for (int row = selection.Top; row <= selection.Bottom; ++row)
    if (FTableUsers->MoveTo(row - 1)) names << FTableUsers->FieldByName(QStringLiteral("Username"))->AsString();
  TSQLiteTable table(GetDatabase());
  for (const QString& name : names) {
    if (name.compare(QLatin1String("admin"), Qt::CaseInsensitive) == 0) continue;
    table.SetSQL(QStringLiteral("DELETE FROM Users WHERE Username = :Username"));
    table.Params().Clear();
    table.SetParamValues(":Username", name);
    table.ExecSQL();
  }
  LoadUsers();
}
