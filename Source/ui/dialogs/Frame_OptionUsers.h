// The "Users" options page: the user list with add, edit and delete.
#pragma once

#include "ui/base/Frame_TableList.h"

class TFrameOptionUsers : public TFrameTableList {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionUsers(QWidget* AOwner = nullptr);
  ~TFrameOptionUsers() override;

  TDqDrawGrid* GridUsers() const { return Grid(); }
  TSQLiteTable* TableUsers() const { return Table(); }
  QPushButton* ButtonAddUser() const { return ButtonAdd(); }
  QPushButton* ButtonEditUser() const { return ButtonEdit(); }
  QPushButton* ButtonDeleteUser() const { return ButtonDelete(); }

private:
  void LoadUsers();
  void AddClick() override;
  void EditClick() override;
  void DeleteClick() override;
};
