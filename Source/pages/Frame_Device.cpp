#include "Frame_Device.h"

#include "Engine/DqDrawGrid.h"
#include "Engine/DqSQLite.h"
#include "dialogs/Form_EditDevice.h"
#include "domain/Tervox_Device.h"
#include "domain/Main_Database.h"
#include "shell/Main_Routine.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include <vector>

TFrameDevice::TFrameDevice(QWidget* AOwner)
    : TDqFrame(AOwner), FButtonDelete(new QPushButton(QStringLiteral("Delete Selected Device(s)"), this)),
      FButtonAdd(new QPushButton(QStringLiteral("Add Device"), this)),
      FButtonEdit(new QPushButton(QStringLiteral("Edit Selected Device"), this)), FGridDevice(new TDqDrawGrid(this)) {
  setObjectName(QStringLiteral("FrameDevice"));
  setAutoFillBackground(true);
  FButtonDelete->setObjectName(QStringLiteral("ButtonDelete"));
  FButtonAdd->setObjectName(QStringLiteral("ButtonAdd"));
  FButtonEdit->setObjectName(QStringLiteral("ButtonEdit"));
  FGridDevice->setObjectName(QStringLiteral("GridDevice"));
  FGridDevice->SetRangeSelect(true);
  auto* layout = new QVBoxLayout(this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FButtonDelete);
  buttons->addStretch(1);
  buttons->addWidget(FButtonAdd);
  buttons->addWidget(FButtonEdit);
  layout->addLayout(buttons);
  layout->addWidget(FGridDevice, 1);
  connect(FButtonAdd, &QPushButton::clicked, this, &TFrameDevice::ButtonAddClick);
  connect(FButtonEdit, &QPushButton::clicked, this, &TFrameDevice::ButtonEditClick);
  connect(FGridDevice, &TDqDrawGrid::DblClick, this, &TFrameDevice::ButtonEditClick);
  connect(FButtonDelete, &QPushButton::clicked, this, &TFrameDevice::ButtonDeleteClick);
  LoadDevices();
}

TFrameDevice::~TFrameDevice() = default;

void TFrameDevice::LoadDevices() {
  FTableDevice.reset();
  auto table = std::make_unique<TSQLiteTable>(GetDatabase());
  table->SetSQL(QStringLiteral("SELECT * FROM Device ORDER BY ID"));
  table->Open();
  // The port column shows the port's name, not its ID.
  table->SetOnDrawDataCell([](QObject*, TSQLiteColumn* AColumn, TSQLiteTable* ATable, TVariant& AValue) {
    if (AColumn->FieldName == QLatin1String("DevicePortID"))
      AValue = ATable->Lookup(QStringLiteral("DevicePort"), QStringLiteral("ID"), AValue, QStringLiteral("Name"));
  });
  TSQLiteColumnList& columns = table->ColumnDefs();
  columns.AddColumn(QStringLiteral("ID"), QStringLiteral("ID"), 32);
  columns.AddColumn(QStringLiteral("Device Name"), QStringLiteral("Name"), 160);
  columns.AddColumn(QStringLiteral("Port Name"), QStringLiteral("DevicePortID"), 150);
  columns.AddColumn(QStringLiteral("Address"), QStringLiteral("Address"), 80);
  columns.AddColumn(QStringLiteral("Model"), QStringLiteral("Model"), 200);
  columns.AddColumn(QStringLiteral("Description"), QStringLiteral("Description"), 180);
  columns.AddColumn(QStringLiteral("Enabled"), QStringLiteral("Enabled"), 64)->DisplayValues =
      QStringList{QStringLiteral("No"), QStringLiteral("Yes")};
  FTableDevice = std::move(table);
  FTableDevice->AddControl(FGridDevice);
}

void TFrameDevice::DevicesChanged() {
  LoadDevices();
  MainUpdateDevices();
}

void TFrameDevice::ButtonAddClick() {
  TFormEditDevice editor(this);
  if (editor.exec() == QDialog::Accepted) DevicesChanged();
}

void TFrameDevice::ButtonEditClick() {
  if (FTableDevice->RecordCount() <= 0) return;
  if (!FTableDevice->MoveTo(FGridDevice->Row() - 1)) return;
  TTervoxDeviceData data;
  data.LoadFromDB(*FTableDevice);
  TFormEditDevice editor(this);
  editor.SetData(data);
  if (editor.exec() == QDialog::Accepted) DevicesChanged();
}

void TFrameDevice::ButtonDeleteClick() {
  if (!ShowConfirmBox(QStringLiteral("Are you sure to DELETE selected device(s)?"))) return;
  std::vector<int> ids;
  const TDqDrawGrid::TGridRect selection = FGridDevice->Selection();
  for (int row = selection.Top; row <= selection.Bottom; ++row)
    if (FTableDevice->MoveTo(row - 1)) ids.push_back(FTableDevice->FieldByName(QStringLiteral("ID"))->AsInteger());
  TSQLiteTable table(GetDatabase());
  for (const int id : ids) {
    table.SetSQL(QStringLiteral("DELETE FROM Device WHERE ID=:ID"));
    table.Params().Clear();
    table.SetParamValues(":ID", id);
    table.ExecSQL();
    // Its readings stay; its group memberships go.
    table.SetSQL(QStringLiteral("DELETE FROM DeviceGroupItem WHERE DeviceID=:DeviceID"));
    table.Params().Clear();
    table.SetParamValues(":DeviceID", id);
    table.ExecSQL();
  }
  DevicesChanged();
}
