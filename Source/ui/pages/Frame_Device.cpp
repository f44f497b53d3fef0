#include "Frame_Device.h"
#include "trust/Tervox_Audit.h"

#include "comm/DqModbus.h"
#include "store/DqSQLite.h"
#include "ui/dialogs/Form_EditDevice.h"
#include "plant/Tervox_Device.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <vector>

TFrameDevice::TFrameDevice(QWidget* AOwner)
    : TFrameTableList(AOwner, {"FrameDevice", "GridDevice", "ButtonDelete", "ButtonAdd", "ButtonEdit",
                               "Delete Selected Device(s)", "Add Device", "Edit Selected Device", true, true, 3}),
      FGridStatistics(new QTableWidget(this)), FStatisticsTimer(new QTimer(this)) {
  setAutoFillBackground(true);
  QVBoxLayout* layout = ListLayout();
  FGridStatistics->setObjectName(QStringLiteral("GridStatistics"));
  const QStringList headers = {QStringLiteral("Device"),      QStringLiteral("Requests"),    QStringLiteral("Answers"),
                               QStringLiteral("Time-outs"),   QStringLiteral("CRC/framing"), QStringLiteral("Other slave/transaction"),
                               QStringLiteral("Exceptions"),  QStringLiteral("No line"),     QStringLiteral("Last error"),
                               QStringLiteral("Last error at"), QStringLiteral("Last answer at"), QStringLiteral("Mean ms"),
                               QStringLiteral("Worst ms")};
  FGridStatistics->setColumnCount(static_cast<int>(headers.size()));
  FGridStatistics->setHorizontalHeaderLabels(headers);
  FGridStatistics->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FGridStatistics->verticalHeader()->setVisible(false);
  FGridStatistics->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(new QLabel(QStringLiteral("Communication since the start:"), this));
  layout->addWidget(FGridStatistics, 2);
  FStatisticsTimer->setInterval(1000);
  connect(FStatisticsTimer, &QTimer::timeout, this, &TFrameDevice::RefreshStatistics);
  FStatisticsTimer->start();
  LoadDevices();
}

TFrameDevice::~TFrameDevice() = default;

void TFrameDevice::LoadDevices() {
  auto table = OpenTable(QStringLiteral("SELECT * FROM Device ORDER BY ID"));
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
  ShowTable(std::move(table));
  FControllers.clear();
  TSQLiteTable list(GetDatabase());
  list.SetSQL(QStringLiteral("SELECT Name, DevicePortID, Address FROM Device ORDER BY ID"));
  list.Open();
  while (!list.Eof()) {
    FControllers.push_back({list.GetFields(0)->AsString(), list.GetFields(1)->AsInteger(-1), list.GetFields(2)->AsInteger(-1)});
    list.Next();
  }
  list.Close();
  RefreshStatistics();
}

void TFrameDevice::RefreshStatistics() {
  FGridStatistics->setRowCount(static_cast<int>(FControllers.size()));
  auto time = [](const QDateTime& ATime) {
    return ATime.isValid() ? ATime.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
  };
  for (int row = 0; row < static_cast<int>(FControllers.size()); ++row) {
    const TController& controller = FControllers[static_cast<std::size_t>(row)];
    const TModbusStatistics stats = ModbusStatistics(controller.PortID, controller.Slave & 0xFF);
    const QStringList cells = {controller.Name,
                               QString::number(stats.Requests),
                               QString::number(stats.Answers),
                               QString::number(stats.TimeOuts),
                               QString::number(stats.Corrupt),
                               QString::number(stats.Foreign),
                               stats.Exceptions > 0 ? QStringLiteral("%1 (%2)").arg(stats.Exceptions).arg(stats.ExceptionsText())
                                                    : QStringLiteral("0"),
                               QString::number(stats.NoLine),
                               stats.LastError,
                               time(stats.LastErrorTime),
                               time(stats.LastAnswerTime),
                               stats.Answers > 0 ? QString::number(stats.MeanReplyMs(), 'f', 1) : QString(),
                               stats.Answers > 0 ? QString::number(stats.WorstReplyMs, 'f', 1) : QString()};
    for (int column = 0; column < cells.size(); ++column) {
      QTableWidgetItem* item = FGridStatistics->item(row, column);
      if (!item) {
        item = new QTableWidgetItem;
        if (column > 0 && column != 8) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        FGridStatistics->setItem(row, column, item);
      }
      if (item->text() != cells[column]) item->setText(cells[column]);
    }
  }
}

void TFrameDevice::DevicesChanged() {
  LoadDevices();
  MainUpdateDevices();
}

void TFrameDevice::AddClick() {
  TFormEditDevice editor(this);
  if (editor.exec() == QDialog::Accepted) DevicesChanged();
}

void TFrameDevice::EditClick() {
  if (!MoveToCurrentRow()) return;
  TTervoxDeviceData data;
  data.LoadFromDB(*TableDevice());
  TFormEditDevice editor(this);
  editor.SetData(data);
  if (editor.exec() == QDialog::Accepted) DevicesChanged();
}

void TFrameDevice::DeleteClick() {
  const bool deleted = DeleteSelected(QStringLiteral("Are you sure to DELETE selected device(s)?"), QStringLiteral("ID"),
                                      {TervoxAudit::kController, QStringLiteral("SELECT * FROM Device WHERE ID = ?")},
                                      [](TSQLiteTable& ATable, const QString& AKey) {
                                        const int id = AKey.toInt();
                                        ExecWith(ATable, QStringLiteral("DELETE FROM Device WHERE ID=:ID"), ":ID", id);
                                        // Its readings stay; its group memberships go.
                                        ExecWith(ATable, QStringLiteral("DELETE FROM DeviceGroupItem WHERE DeviceID=:DeviceID"),
                                                 ":DeviceID", id);
                                      });
  if (deleted) DevicesChanged();
}
