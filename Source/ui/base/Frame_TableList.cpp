#include "Frame_TableList.h"

#include "Main_Audit.h"

#include "widgets/DqDrawGrid.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "Main_Routine.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

TFrameTableList::TFrameTableList(QWidget* AOwner, const TListLayout& ALayout)
    : TDqFrame(AOwner), FButtonDelete(new QPushButton(QString::fromUtf8(ALayout.DeleteText), this)),
      FButtonAdd(new QPushButton(QString::fromUtf8(ALayout.AddText), this)),
      FButtonEdit(new QPushButton(QString::fromUtf8(ALayout.EditText), this)), FGrid(new TDqDrawGrid(this)),
      FLayout(new QVBoxLayout(this)) {
  setObjectName(QString::fromUtf8(ALayout.FrameName));
  FButtonDelete->setObjectName(QString::fromUtf8(ALayout.DeleteName));
  FButtonAdd->setObjectName(QString::fromUtf8(ALayout.AddName));
  FButtonEdit->setObjectName(QString::fromUtf8(ALayout.EditName));
  FGrid->setObjectName(QString::fromUtf8(ALayout.GridName));
  if (ALayout.RangeSelect) FGrid->SetRangeSelect(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FButtonDelete);
  buttons->addStretch(1);
  buttons->addWidget(FButtonAdd);
  buttons->addWidget(FButtonEdit);
  FLayout->addLayout(buttons);
  FLayout->addWidget(FGrid, ALayout.GridStretch);
  // The handlers are the page's own: reached only once it is built.
  connect(FButtonAdd, &QPushButton::clicked, this, [this] { AddClick(); });
  connect(FButtonEdit, &QPushButton::clicked, this, [this] { EditClick(); });
  if (ALayout.EditOnDoubleClick) connect(FGrid, &TDqDrawGrid::DblClick, this, [this] { EditClick(); });
  connect(FButtonDelete, &QPushButton::clicked, this, [this] { DeleteClick(); });
}

TFrameTableList::~TFrameTableList() = default;

std::unique_ptr<TSQLiteTable> TFrameTableList::OpenTable(const QString& ASQL) {
  FTable.reset();
  auto table = std::make_unique<TSQLiteTable>(GetDatabase());
  table->SetSQL(ASQL);
  table->Open();
  return table;
}

void TFrameTableList::ShowTable(std::unique_ptr<TSQLiteTable> ATable) {
  FTable = std::move(ATable);
  FTable->AddControl(FGrid);
}

bool TFrameTableList::MoveToCurrentRow() {
  if (FTable->RecordCount() <= 0) return false;
  return FTable->MoveTo(FGrid->Row() - 1);
}

bool TFrameTableList::DeleteSelected(const QString& AQuestion, const QString& AKeyField, const TAuditOf& AAudit,
                                     const std::function<void(TSQLiteTable& ATable, const QString& AKey)>& ADelete) {
  if (!ShowConfirmBox(AQuestion)) return false;
  QString reason;
  if (!AskChangeReason(this, reason)) return false;
  QStringList keys;
  const TDqDrawGrid::TGridRect selection = FGrid->Selection();
  for (int row = selection.Top; row <= selection.Bottom; ++row)
    if (FTable->MoveTo(row - 1)) keys << FTable->FieldByName(AKeyField)->AsString();
  TSQLiteTable table(GetDatabase());
  for (const QString& key : keys) {
    TAuditedRecord audit(AAudit.Kind, AAudit.SQL, key, reason, {},
                         {QStringLiteral("Password"), QStringLiteral("OldPassword")});
    ADelete(table, key);
    audit.Saved(key.toLongLong());
  }
  return true;
}

void TFrameTableList::ExecWith(TSQLiteTable& ATable, const QString& ASQL, const char* AParam, const TVariant& AValue) {
  ATable.SetSQL(ASQL);
  ATable.Params().Clear();
  ATable.SetParamValues(AParam, AValue);
  ATable.ExecSQL();
}
