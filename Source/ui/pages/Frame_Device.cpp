#include "Frame_Device.h"

#include "widgets/DqDrawGrid.h"
#include "comm/DqModbus.h"
#include "store/DqSQLite.h"
#include "ui/dialogs/Form_EditDevice.h"
#include "plant/Tervox_Device.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <vector>

TFrameDevice::TFrameDevice(QWidget* AOwner)
    : TDqFrame(AOwner), FButtonDelete(new QPushButton(QStringLiteral("Delete Selected Device(s)"), this)),
      FButtonAdd(new QPushButton(QStringLiteral("Add Device"), this)),
      FButtonEdit(new QPushButton(QStringLiteral("Edit Selected Device"), this)), FGridDevice(new TDqDrawGrid(this)),
      FGridStatistics(new QTableWidget(this)), FStatisticsTimer(new QTimer(this)) {
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
  layout->addWidget(FGridDevice, 3);
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
