// A page of one table's rows in a grid under a row of buttons: Delete on
// the left, Add and Edit on the right. The Device page and the Users, Port
// and Group options pages are such pages; each says what its buttons do.
#pragma once

#include "widgets/DqFrameList.h"

#include <functional>
#include <memory>

class QPushButton;
class QVBoxLayout;
class TDqDrawGrid;
class TSQLiteTable;
class TVariant;

class TFrameTableList : public TDqFrame {
  Q_OBJECT
public:
  ~TFrameTableList() override;

  TDqDrawGrid* Grid() const { return FGrid; }
  TSQLiteTable* Table() const { return FTable.get(); }
  QPushButton* ButtonDelete() const { return FButtonDelete; }
  QPushButton* ButtonAdd() const { return FButtonAdd; }
  QPushButton* ButtonEdit() const { return FButtonEdit; }

protected:
  // Object names and button texts of one page, and how its grid behaves.
  struct TListLayout {
    const char* FrameName;
    const char* GridName;
    const char* DeleteName;
    const char* AddName;
    const char* EditName;
    const char* DeleteText;
    const char* AddText;
    const char* EditText;
    bool RangeSelect;       // several rows picked for Delete at once
    bool EditOnDoubleClick;
    int GridStretch;
  };
  TFrameTableList(QWidget* AOwner, const TListLayout& ALayout);

  virtual void AddClick() = 0;
  virtual void EditClick() = 0;
  virtual void DeleteClick() = 0;

  QVBoxLayout* ListLayout() const { return FLayout; }
  // Drops the shown table first, then opens ASQL for the page to describe
  // its columns and hand back to ShowTable.
  std::unique_ptr<TSQLiteTable> OpenTable(const QString& ASQL);
  void ShowTable(std::unique_ptr<TSQLiteTable> ATable);
  // Moves the table to the grid's current row; false on an empty table.
  bool MoveToCurrentRow();
  // The record a row shows, for the audit trail: what it is (a kind of
  // TervoxAudit) and the SQL that selects it by its key.
  struct TAuditOf {
    const char* Kind;
    QString SQL;
  };
  // Asks AQuestion (and the reason, when the options ask for one), then
  // calls ADelete with the AKeyField of each selected row (all read before
  // the first call), each deletion in the audit trail; false when the user
  // said no.
  bool DeleteSelected(const QString& AQuestion, const QString& AKeyField, const TAuditOf& AAudit,
                      const std::function<void(TSQLiteTable& ATable, const QString& AKey)>& ADelete);
  // Runs ASQL on ATable with one parameter.
  static void ExecWith(TSQLiteTable& ATable, const QString& ASQL, const char* AParam, const TVariant& AValue);

private:
  QPushButton* FButtonDelete;
  QPushButton* FButtonAdd;
  QPushButton* FButtonEdit;
  TDqDrawGrid* FGrid;
  QVBoxLayout* FLayout;
  std::unique_ptr<TSQLiteTable> FTable;
};
