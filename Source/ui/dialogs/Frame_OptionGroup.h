// The "Group" options page: the device groups, each joining controllers to
// the mobile numbers their alarms are sent to; add, edit, delete.
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>

class QPushButton;
class TDqDrawGrid;
class TSQLiteTable;

class TFrameOptionGroup : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionGroup(QWidget* AOwner = nullptr);
  ~TFrameOptionGroup() override;

  TDqDrawGrid* GridGroup() const { return FGridGroup; }
  TSQLiteTable* TableGroup() const { return FTableGroup.get(); }
  QPushButton* ButtonDelete() const { return FButtonDelete; }
  QPushButton* ButtonAdd() const { return FButtonAdd; }
  QPushButton* ButtonEdit() const { return FButtonEdit; }

private:
  void LoadGroups();
  void ButtonAddClick();
  void ButtonEditClick();
  void ButtonDeleteClick();

  QPushButton* FButtonDelete;
  QPushButton* FButtonAdd;
  QPushButton* FButtonEdit;
  TDqDrawGrid* FGridGroup;
  std::unique_ptr<TSQLiteTable> FTableGroup;
};
