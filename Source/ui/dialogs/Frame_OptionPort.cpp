#include "Frame_OptionPort.h"
#include "plant/Tervox_PortRows.h"

#include "widgets/DqDrawGrid.h"
#include "comm/DqPort.h"
#include "store/DqSQLite.h"
#include "Form_EditComPort.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

TFrameOptionPort::TFrameOptionPort(QWidget* AOwner)
    : TDqFrame(AOwner), FButtonDeletePort(new QPushButton(QStringLiteral("Delete Selected Port"), this)),
      FButtonAddPort(new QPushButton(QStringLiteral("Add Port"), this)),
      FButtonEditPort(new QPushButton(QStringLiteral("Edit Selected Port"), this)), FGridPort(new TDqDrawGrid(this)) {
  setObjectName(QStringLiteral("FrameOptionPort"));
  FButtonDeletePort->setObjectName(QStringLiteral("ButtonDeletePort"));
  FButtonAddPort->setObjectName(QStringLiteral("ButtonAddPort"));
  FButtonEditPort->setObjectName(QStringLiteral("ButtonEditPort"));
  FGridPort->setObjectName(QStringLiteral("GridPort"));
  FGridPort->SetRangeSelect(true);
  auto* layout = new QVBoxLayout(this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FButtonDeletePort);
  buttons->addStretch(1);
  buttons->addWidget(FButtonAddPort);
  buttons->addWidget(FButtonEditPort);
  layout->addLayout(buttons);
  layout->addWidget(FGridPort, 1);
  connect(FButtonAddPort, &QPushButton::clicked, this, &TFrameOptionPort::ButtonAddPortClick);
  connect(FButtonEditPort, &QPushButton::clicked, this, &TFrameOptionPort::ButtonEditPortClick);
  connect(FGridPort, &TDqDrawGrid::DblClick, this, &TFrameOptionPort::ButtonEditPortClick);
  connect(FButtonDeletePort, &QPushButton::clicked, this, &TFrameOptionPort::ButtonDeletePortClick);
  LoadPorts();
}

TFrameOptionPort::~TFrameOptionPort() = default;

void TFrameOptionPort::LoadPorts() {
  FTablePort.reset();
  auto table = std::make_unique<TSQLiteTable>(GetDatabase());
  table->SetSQL(QStringLiteral("SELECT * FROM DevicePort ORDER BY ID"));
  table->Open();
  // A network line shows where it leads (address:port) and no serial settings.
  table->SetOnDrawDataCell([](QObject*, TSQLiteColumn* AColumn, TSQLiteTable* ATable, TVariant& AValue) {
    if (!DqIsNetworkPort(ATable->FieldByName(QStringLiteral("PortType"))->AsInteger(0))) return;
    if (AColumn->FieldName == QLatin1String("PortName")) {
      const TDqPortData data = PortDataOf(*ATable);
      AValue = DqPortAddressText(data) +
               (data.PortType == dqtTCP ? QStringLiteral(" (Modbus TCP)") : QStringLiteral(" (RTU over TCP)"));
    } else if (AColumn->FieldName == QLatin1String("BaudRate") || AColumn->FieldName == QLatin1String("DataBits")) {
      AValue = QString();
    }
  });
  TSQLiteColumnList& columns = table->ColumnDefs();
  columns.AddColumn(QStringLiteral("ID"), QStringLiteral("ID"), 40);
  columns.AddColumn(QStringLiteral("DisplayName"), QStringLiteral("Name"), 200);
  columns.AddColumn(QStringLiteral("PortName"), QStringLiteral("PortName"), 80);
  columns.AddColumn(QStringLiteral("BaudRate"), QStringLiteral("BaudRate"), 80);
  columns.AddColumn(QStringLiteral("DataBits"), QStringLiteral("DataBits"), 64);
  columns.AddColumn(QStringLiteral("StopBits"), QStringLiteral("StopBits"), 64)->DisplayValues =
      QStringList{QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
  columns.AddColumn(QStringLiteral("Parity"), QStringLiteral("Parity"), 64)->DisplayValues =
      QStringList{QStringLiteral("No"), QStringLiteral("Odd"), QStringLiteral("Even"), QStringLiteral("Mark"),
                  QStringLiteral("Space")};
  columns.AddColumn(QStringLiteral("Enabled"), QStringLiteral("Enabled"), 64)->DisplayValues =
      QStringList{QStringLiteral("-"), QStringLiteral("Y")};
  FTablePort = std::move(table);
  FTablePort->AddControl(FGridPort);
}

void TFrameOptionPort::PortsChanged() {
  LoadPorts();
  MainUpdateDevices();
}

void TFrameOptionPort::ButtonAddPortClick() {
  TFormEditComPort editor(this);
  if (editor.exec() == QDialog::Accepted) PortsChanged();
}

void TFrameOptionPort::ButtonEditPortClick() {
  if (FTablePort->RecordCount() <= 0) return;
  if (!FTablePort->MoveTo(FGridPort->Row() - 1)) return;
  const TDqPortData data = PortDataOf(*FTablePort);
  TFormEditComPort editor(this);
  editor.SetPortData(data);
  if (editor.exec() == QDialog::Accepted) PortsChanged();
}

void TFrameOptionPort::ButtonDeletePortClick() {
  if (!ShowConfirmBox(QStringLiteral("Are you sure to DELETE selected port(s)?"))) return;
  QStringList ids;
  const TDqDrawGrid::TGridRect selection = FGridPort->Selection();
  for (int row = selection.Top; row <= selection.Bottom; ++row)
    if (FTablePort->MoveTo(row - 1)) ids << FTablePort->FieldByName(QStringLiteral("ID"))->AsString();
  TSQLiteTable table(GetDatabase());
  for (const QString& id : ids) {
    table.SetSQL(QStringLiteral("DELETE FROM DevicePort WHERE ID=:ID"));
    table.Params().Clear();
    table.SetParamValues(":ID", id);
    table.ExecSQL();
    // The controllers stay, without a port.
    table.SetSQL(QStringLiteral("UPDATE Device SET DevicePortID = NULL WHERE DevicePortID=:DevicePortID"));
    table.Params().Clear();
    table.SetParamValues(":DevicePortID", id);
    table.ExecSQL();
  }
  PortsChanged();
}
