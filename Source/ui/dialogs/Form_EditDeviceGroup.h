// The device group editor: the group's name, its controllers and its
// mobile numbers. The grids are a working copy; the database changes only
// on Save.
#pragma once

#include <QDialog>
#include <QStringList>

#include <map>
#include <vector>

class QLineEdit;
class QPushButton;
class QToolButton;
class TDqDrawGrid;
class TFrameAddGroupDevice;
class TFrameAddGroupMobile;

// The group the next editor edits: -1 for a new one. Set by the Group page
// before it creates the editor; a saved new group leaves its ID here.
extern int EditGroupID;

class TFormEditDeviceGroup : public QDialog {
  Q_OBJECT
public:
  explicit TFormEditDeviceGroup(QWidget* AParent = nullptr);
  ~TFormEditDeviceGroup() override;

  // Whether a data row of the device grid holds AID.
  bool CheckDuplicateID(int AID) const;
  // Whether a data row of the mobile grid holds exactly AMobile.
  bool CheckDuplicateMobile(const QString& AMobile) const;
  // Inserts a controller row, keeping the grid in ascending ID order.
  void AddDeviceToGrid(int AID, const QString& AName);
  void AddMobileToGrid(const QString& AName, const QString& AMobile);
  // The controller's name, empty when there is no such controller.
  QString GetDeviceName(int AID) const;

  // Data rows (the header row excluded): {ID, name} and {name, number}.
  const std::vector<QStringList>& DeviceRows() const { return FDeviceRows; }
  const std::vector<QStringList>& MobileRows() const { return FMobileRows; }

  QLineEdit* EditName() const { return FEditName; }
  QToolButton* ButtonAddDevice() const { return FButtonAddDevice; }
  QToolButton* SpeedButtonDeleteDevice() const { return FSpeedButtonDeleteDevice; }
  QToolButton* ButtonAddMobile() const { return FButtonAddMobile; }
  QToolButton* ButtonDeleteMobile() const { return FButtonDeleteMobile; }
  TDqDrawGrid* StringGridDevice() const { return FStringGridDevice; }
  TDqDrawGrid* StringGridMobile() const { return FStringGridMobile; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }
  TFrameAddGroupDevice* FrameAddGroupDevice() const { return FFrameAddGroupDevice; }
  TFrameAddGroupMobile* FrameAddGroupMobile() const { return FFrameAddGroupMobile; }

private:
  void LoadGroupData();
  void ShowRows();
  void ButtonAddDeviceClick();
  void SpeedButtonDeleteDeviceClick();
  void ButtonAddMobileClick();
  void ButtonDeleteMobileClick();
  void ButtonSaveClick();
  void StringGridDeviceDrawCell(TDqDrawGrid* AGrid, QPainter& ACanvas, int ACol, int ARow, const QRect& ARect,
                                unsigned AState);

  QLineEdit* FEditName;
  QToolButton* FButtonAddDevice;
  QToolButton* FSpeedButtonDeleteDevice;
  QToolButton* FButtonAddMobile;
  QToolButton* FButtonDeleteMobile;
  TDqDrawGrid* FStringGridDevice;
  TDqDrawGrid* FStringGridMobile;
  QPushButton* FButtonSave;
  QPushButton* FButtonCancel;
  TFrameAddGroupDevice* FFrameAddGroupDevice = nullptr; // children of the editor
  TFrameAddGroupMobile* FFrameAddGroupMobile = nullptr;
  std::map<int, QString> FAllDevices; // every controller, by ID
  std::vector<QStringList> FDeviceRows;
  std::vector<QStringList> FMobileRows;
};

// A typed name as stored: outer blanks removed, every run of spaces made one.
QString SquashSpaces(const QString& AText);

// The editor created last, while it exists.
TFormEditDeviceGroup* EditDeviceGroupForm();
