#include "Frame_OptionPort.h"
#include "trust/Tervox_Audit.h"
#include "plant/Tervox_PortRows.h"

#include "comm/DqPort.h"
#include "store/DqSQLite.h"
#include "Form_EditComPort.h"
#include "ui/base/Main_Routine.h"

TFrameOptionPort::TFrameOptionPort(QWidget* AOwner)
    : TFrameTableList(AOwner, {"FrameOptionPort", "GridPort", "ButtonDeletePort", "ButtonAddPort", "ButtonEditPort",
                               "Delete Selected Port", "Add Port", "Edit Selected Port", true, true, 1}) {
  LoadPorts();
}

TFrameOptionPort::~TFrameOptionPort() = default;

void TFrameOptionPort::LoadPorts() {
  auto table = OpenTable(QStringLiteral("SELECT * FROM DevicePort ORDER BY ID"));
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
  ShowTable(std::move(table));
}

void TFrameOptionPort::PortsChanged() {
  LoadPorts();
  MainUpdateDevices();
}

void TFrameOptionPort::AddClick() {
  TFormEditComPort editor(this);
  if (editor.exec() == QDialog::Accepted) PortsChanged();
}

void TFrameOptionPort::EditClick() {
  if (!MoveToCurrentRow()) return;
  const TDqPortData data = PortDataOf(*TablePort());
  TFormEditComPort editor(this);
  editor.SetPortData(data);
  if (editor.exec() == QDialog::Accepted) PortsChanged();
}

void TFrameOptionPort::DeleteClick() {
  const bool deleted = DeleteSelected(QStringLiteral("Are you sure to DELETE selected port(s)?"), QStringLiteral("ID"),
                                      {TervoxAudit::kPort, QStringLiteral("SELECT * FROM DevicePort WHERE ID = ?")},
                                      [](TSQLiteTable& ATable, const QString& AID) {
                                        ExecWith(ATable, QStringLiteral("DELETE FROM DevicePort WHERE ID=:ID"), ":ID", AID);
                                        // The controllers stay, without a port.
                                        ExecWith(ATable,
                                                 QStringLiteral("UPDATE Device SET DevicePortID = NULL WHERE DevicePortID=:DevicePortID"),
                                                 ":DevicePortID", AID);
                                      });
  if (deleted) PortsChanged();
}
