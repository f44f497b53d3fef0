// The "Group" options page: the device groups, each joining controllers to
// the mobile numbers their alarms are sent to; add, edit, delete.
#pragma once

#include "ui/base/Frame_TableList.h"

class TFrameOptionGroup : public TFrameTableList {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionGroup(QWidget* AOwner = nullptr);
  ~TFrameOptionGroup() override;

  TDqDrawGrid* GridGroup() const { return Grid(); }
  TSQLiteTable* TableGroup() const { return Table(); }

private:
  void LoadGroups();
  void AddClick() override;
  void EditClick() override;
  void DeleteClick() override;
};
