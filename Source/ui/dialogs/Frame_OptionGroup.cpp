#include "Frame_OptionGroup.h"

#include "widgets/DqDrawGrid.h"
#include "store/DqSQLite.h"
#include "Form_EditDeviceGroup.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFrameOptionGroup::TFrameOptionGroup(QWidget* AOwner)
    : TDqFrame(AOwner), FButtonDelete(new QPushButton(QStringLiteral("Delete Selected Group"), this)),
      FButtonAdd(new QPushButton(QStringLiteral("Add Group"), this)),
      FButtonEdit(new QPushButton(QStringLiteral("Edit Selected Group"), this)), FGridGroup(new TDqDrawGrid(this)) {
  setObjectName(QStringLiteral("FrameOptionGroup"));
  FButtonDelete->setObjectName(QStringLiteral("ButtonDelete"));
  FButtonAdd->setObjectName(QStringLiteral("ButtonAdd"));
  FButtonEdit->setObjectName(QStringLiteral("ButtonEdit"));
  FGridGroup->setObjectName(QStringLiteral("GridGroup"));
  auto* layout = new QVBoxLayout(this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FButtonDelete);
  buttons->addStretch(1);
  buttons->addWidget(FButtonAdd);
  buttons->addWidget(FButtonEdit);
  layout->addLayout(buttons);
  layout->addWidget(FGridGroup, 1);
  connect(FButtonAdd, &QPushButton::clicked, this, &TFrameOptionGroup::ButtonAddClick);
  connect(FButtonEdit, &QPushButton::clicked, this, &TFrameOptionGroup::ButtonEditClick);
  connect(FButtonDelete, &QPushButton::clicked, this, &TFrameOptionGroup::ButtonDeleteClick);
  LoadGroups();
}

TFrameOptionGroup::~TFrameOptionGroup() = default;

void TFrameOptionGroup::LoadGroups() {
  FTableGroup.reset();
  auto table = std::make_unique<TSQLiteTable>(GetDatabase());
  table->SetSQL(QStringLiteral("SELECT * FROM DeviceGroup ORDER BY ID"));
  table->Open();
  table->ColumnDefs().Clear();
  table->ColumnDefs().AddColumn(QStringLiteral("ID"), QStringLiteral("ID"), 80);
  table->ColumnDefs().AddColumn(QStringLiteral("GroupName"), QStringLiteral("Name"), 500);
  FTableGroup = std::move(table);
  FTableGroup->AddControl(FGridGroup);
}

void TFrameOptionGroup::ButtonAddClick() {
  EditGroupID = -1;
  TFormEditDeviceGroup editor(this);
  editor.setWindowTitle(QStringLiteral("Add Group of Device"));
  if (editor.exec() != QDialog::Accepted) return;
  LoadGroups();
  // The new group has the highest ID: the last row.
  if (FGridGroup->Row() > 0) FGridGroup->SetRow(FGridGroup->RowCount() - 1);
}

void TFrameOptionGroup::ButtonEditClick() {
  if (FTableGroup->RecordCount() <= 0) return;
  if (!FTableGroup->MoveTo(FGridGroup->Row() - 1)) return;
  EditGroupID = FTableGroup->FieldByName(QStringLiteral("ID"))->AsInteger();
  const QString name = FTableGroup->FieldByName(QStringLiteral("Name"))->AsString();
  TFormEditDeviceGroup editor(this);
  editor.setWindowTitle(QStringLiteral("Edit Group of Device"));
  editor.EditName()->setText(name);
  if (editor.exec() == QDialog::Accepted) LoadGroups();
}

void TFrameOptionGroup::ButtonDeleteClick() {
  if (FTableGroup->RecordCount() <= 0) return;
  if (!ShowConfirmBox(QStringLiteral("Are you sure to DELETE selected group?"))) return;
  QStringList ids;
  const TDqDrawGrid::TGridRect selection = FGridGroup->Selection();
  for (int row = selection.Top; row <= selection.Bottom; ++row)
    if (FTableGroup->MoveTo(row - 1)) ids << FTableGroup->FieldByName(QStringLiteral("ID"))->AsString();
  TSQLiteTable table(GetDatabase());
  for (const QString& id : ids) {
    table.SetSQL(QStringLiteral("DELETE FROM DeviceGroup WHERE ID=:ID"));
    table.Params().Clear();
    table.SetParamValues(":ID", id);
    table.ExecSQL();
    table.SetSQL(QStringLiteral("DELETE FROM DeviceGroupItem WHERE GroupID=:GroupID"));
    table.Params().Clear();
    table.SetParamValues(":GroupID", id);
    table.ExecSQL();
    table.SetSQL(QStringLiteral("DELETE FROM DeviceGroupMobile WHERE GroupID=:GroupID"));
    table.Params().Clear();
    table.SetParamValues(":GroupID", id);
    table.ExecSQL();
  }
  LoadGroups();
}
