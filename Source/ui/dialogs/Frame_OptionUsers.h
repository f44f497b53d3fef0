// The "Users" options page: the user list with add, edit and delete.
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>

class QPushButton;
class TDqDrawGrid;
class TSQLiteTable;

class TFrameOptionUsers : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionUsers(QWidget* AOwner = nullptr);
  ~TFrameOptionUsers() override;

  TDqDrawGrid* GridUsers() const { return FGridUsers; }
  TSQLiteTable* TableUsers() const { return FTableUsers.get(); }
  QPushButton* ButtonAddUser() const { return FButtonAddUser; }
  QPushButton* ButtonEditUser() const { return FButtonEditUser; }
  QPushButton* ButtonDeleteUser() const { return FButtonDeleteUser; }

private:
  void LoadUsers();
  void ButtonAddUserClick();
  void ButtonEditUserClick();
  void ButtonDeleteUserClick();

  QPushButton* FButtonDeleteUser;
  QPushButton* FButtonAddUser;
  QPushButton* FButtonEditUser;
  TDqDrawGrid* FGridUsers;
  std::unique_ptr<TSQLiteTable> FTableUsers;
};
