#include "Frame_OptionGroup.h"
#include "trust/Tervox_Audit.h"

#include "widgets/DqDrawGrid.h"
#include "store/DqSQLite.h"
#include "Form_EditDeviceGroup.h"
#include "store/Main_Database.h"

#include <QLineEdit>

TFrameOptionGroup::TFrameOptionGroup(QWidget* AOwner)
    : TFrameTableList(AOwner, {"FrameOptionGroup", "GridGroup", "ButtonDelete", "ButtonAdd", "ButtonEdit",
                               "Delete Selected Group", "Add Group", "Edit Selected Group", false, false, 1}) {
  LoadGroups();
}

TFrameOptionGroup::~TFrameOptionGroup() = default;

void TFrameOptionGroup::LoadGroups() {
  auto table = OpenTable(QStringLiteral("SELECT * FROM DeviceGroup ORDER BY ID"));
  table->ColumnDefs().Clear();
  table->ColumnDefs().AddColumn(QStringLiteral("ID"), QStringLiteral("ID"), 80);
  table->ColumnDefs().AddColumn(QStringLiteral("GroupName"), QStringLiteral("Name"), 500);
  ShowTable(std::move(table));
}

void TFrameOptionGroup::AddClick() {
  EditGroupID = -1;
  TFormEditDeviceGroup editor(this);
  editor.setWindowTitle(QStringLiteral("Add Group of Device"));
  if (editor.exec() != QDialog::Accepted) return;
  LoadGroups();
  // The new group has the highest ID: the last row.
  if (GridGroup()->Row() > 0) GridGroup()->SetRow(GridGroup()->RowCount() - 1);
}

void TFrameOptionGroup::EditClick() {
  if (!MoveToCurrentRow()) return;
  EditGroupID = TableGroup()->FieldByName(QStringLiteral("ID"))->AsInteger();
  const QString name = TableGroup()->FieldByName(QStringLiteral("Name"))->AsString();
  TFormEditDeviceGroup editor(this);
  editor.setWindowTitle(QStringLiteral("Edit Group of Device"));
  editor.EditName()->setText(name);
  if (editor.exec() == QDialog::Accepted) LoadGroups();
}

void TFrameOptionGroup::DeleteClick() {
  if (TableGroup()->RecordCount() <= 0) return;
  const bool deleted = DeleteSelected(QStringLiteral("Are you sure to DELETE selected group?"), QStringLiteral("ID"),
                                      {TervoxAudit::kGroup, QStringLiteral("SELECT * FROM DeviceGroup WHERE ID = ?")},
                                      [](TSQLiteTable& ATable, const QString& AID) {
                                        ExecWith(ATable, QStringLiteral("DELETE FROM DeviceGroup WHERE ID=:ID"), ":ID", AID);
                                        ExecWith(ATable, QStringLiteral("DELETE FROM DeviceGroupItem WHERE GroupID=:GroupID"),
                                                 ":GroupID", AID);
                                        ExecWith(ATable, QStringLiteral("DELETE FROM DeviceGroupMobile WHERE GroupID=:GroupID"),
                                                 ":GroupID", AID);
                                      });
  if (deleted) LoadGroups();
}
