#include "Form_EditDeviceGroup.h"
#include "ui/base/Main_Audit.h"

#include "widgets/DqDrawGrid.h"
#include "store/DqSQLite.h"
#include "Frame_AddGroupDevice.h"
#include "Frame_AddGroupMobile.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>
#include <QVBoxLayout>

int EditGroupID = -1;

namespace {

QPointer<TFormEditDeviceGroup> gEditor;

// Whether a text holds a character below U+0020.
bool HasControl(const QString& AText) {
  for (QChar c : AText)
    if (c.unicode() < 0x20) return true;
  return false;
}

QToolButton* SmallButton(const QString& AText, const QString& AName, const QString& AHint, QWidget* AParent) {
  auto* button = new QToolButton(AParent);
  button->setText(AText);
  button->setObjectName(AName);
  button->setToolTip(AHint);
  button->setFixedSize(28, 24);
  return button;
}

} // namespace

QString SquashSpaces(const QString& AText) {
  QString text = AText.trimmed();
  static const QRegularExpression spaces(QStringLiteral(" {2,}"));
  text.replace(spaces, QStringLiteral(" "));
  return text;
}

TFormEditDeviceGroup* EditDeviceGroupForm() { return gEditor.data(); }

TFormEditDeviceGroup::TFormEditDeviceGroup(QWidget* AParent)
    : QDialog(AParent), FEditName(new QLineEdit(this)),
      FButtonAddDevice(SmallButton(QStringLiteral("+"), QStringLiteral("ButtonAddDevice"), QStringLiteral("Add device"), this)),
      FSpeedButtonDeleteDevice(SmallButton(QStringLiteral("-"), QStringLiteral("SpeedButtonDeleteDevice"),
                                           QStringLiteral("Remove device"), this)),
      FButtonAddMobile(SmallButton(QStringLiteral("+"), QStringLiteral("ButtonAddMobile"), QStringLiteral("Add mobile"), this)),
      FButtonDeleteMobile(SmallButton(QStringLiteral("-"), QStringLiteral("ButtonDeleteMobile"),
                                      QStringLiteral("Remove mobile"), this)),
      FStringGridDevice(new TDqDrawGrid(this)), FStringGridMobile(new TDqDrawGrid(this)),
      FButtonSave(new QPushButton(QStringLiteral("Save"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("Cancel"), this)) {
  // FormCreate: the pop-ups act on the editor created last.
  gEditor = this;
  setObjectName(QStringLiteral("FormEditDeviceGroup"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setMinimumSize(556, 360);
  resize(550, 419);
  FEditName->setObjectName(QStringLiteral("EditName"));
  FStringGridDevice->setObjectName(QStringLiteral("StringGridDevice"));
  FStringGridMobile->setObjectName(QStringLiteral("StringGridMobile"));
  FButtonSave->setObjectName(QStringLiteral("ButtonSave"));
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
  FButtonSave->setDefault(true);

  auto makePanel = [this](const QString& ATitle, const QString& AName, QToolButton* AAdd, QToolButton* ADelete,
                          TDqDrawGrid* AGrid) {
    auto* panel = new QGroupBox(ATitle, this);
    panel->setObjectName(AName);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(AAdd);
    buttons->addWidget(ADelete);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(panel);
    layout->addLayout(buttons);
    layout->addWidget(AGrid, 1);
    AGrid->SetColCount(2);
    AGrid->SetFixedRows(1);
    AGrid->SetRangeSelect(true);
    AGrid->SetOnDrawCell([this](TDqDrawGrid* AGridSender, QPainter& ACanvas, int ACol, int ARow, const QRect& ARect,
                                TGridDrawState AState) {
      StringGridDeviceDrawCell(AGridSender, ACanvas, ACol, ARow, ARect, AState);
    });
    return panel;
  };
  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(new QLabel(QStringLiteral("Group Name:"), this));
  nameRow->addWidget(FEditName, 1);
  auto* panels = new QHBoxLayout;
  panels->addWidget(makePanel(QStringLiteral("Device in Group"), QStringLiteral("PanelDevice"), FButtonAddDevice,
                              FSpeedButtonDeleteDevice, FStringGridDevice));
  panels->addWidget(makePanel(QStringLiteral("Mobiles"), QStringLiteral("PanelMobile"), FButtonAddMobile,
                              FButtonDeleteMobile, FStringGridMobile));
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(FButtonSave);
  bottom->addWidget(FButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(nameRow);
  layout->addLayout(panels, 1);
  layout->addLayout(bottom);

  connect(FButtonAddDevice, &QToolButton::clicked, this, &TFormEditDeviceGroup::ButtonAddDeviceClick);
  connect(FSpeedButtonDeleteDevice, &QToolButton::clicked, this, &TFormEditDeviceGroup::SpeedButtonDeleteDeviceClick);
  connect(FButtonAddMobile, &QToolButton::clicked, this, &TFormEditDeviceGroup::ButtonAddMobileClick);
  connect(FButtonDeleteMobile, &QToolButton::clicked, this, &TFormEditDeviceGroup::ButtonDeleteMobileClick);
  connect(FButtonSave, &QPushButton::clicked, this, &TFormEditDeviceGroup::ButtonSaveClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);

  LoadGroupData();
  // The picker fills its list at once, against the grid just loaded.
  FFrameAddGroupDevice = new TFrameAddGroupDevice(this);
  FFrameAddGroupDevice->hide();
  FFrameAddGroupMobile = new TFrameAddGroupMobile(this);
  FFrameAddGroupMobile->hide();
}

TFormEditDeviceGroup::~TFormEditDeviceGroup() = default;

void TFormEditDeviceGroup::LoadGroupData() {
  FAllDevices.clear();
  {
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT * FROM Device ORDER BY ID"));
    table.Open();
    while (!table.Eof()) {
      FAllDevices[table.FieldByName(QStringLiteral("ID"))->AsInteger()] = table.FieldByName(QStringLiteral("Name"))->AsString();
      table.Next();
    }
  }
  FDeviceRows.clear();
  {
    // Members whose controller is gone are not shown (inner join); the next
    // save drops them.
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT * FROM DeviceGroupItem\r\nINNER JOIN Device\r\n"
                                "ON DeviceGroupItem.DeviceID = Device.ID\r\nWHERE DeviceGroupItem.GroupID = :GroupID\r\n"
                                "ORDER BY Device.ID"));
    table.SetParamValues(":GroupID", EditGroupID);
    table.Open();
    while (!table.Eof()) {
      const int id = table.FieldByName(QStringLiteral("DeviceID"))->AsInteger();
      FDeviceRows.push_back({QString::number(id), GetDeviceName(id)});
      table.Next();
    }
  }
  FMobileRows.clear();
  {
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT * FROM DeviceGroupMobile\r\nWHERE GroupID = :GroupID"));
    table.SetParamValues(":GroupID", EditGroupID);
    table.Open();
    while (!table.Eof()) {
      FMobileRows.push_back({table.FieldByName(QStringLiteral("Name"))->AsString(),
                             table.FieldByName(QStringLiteral("MobileNumber"))->AsString()});
      table.Next();
    }
  }
  FStringGridDevice->SetColWidths(0, 32);
  FStringGridDevice->SetColWidths(1, 164);
  FStringGridMobile->SetColWidths(0, 170);
  FStringGridMobile->SetColWidths(1, 120);
  ShowRows();
}

void TFormEditDeviceGroup::ShowRows() {
  // A grid keeps one data row at least: an empty group shows it blank.
  FStringGridDevice->SetRowCount(static_cast<int>(FDeviceRows.size()) + 1);
  FStringGridMobile->SetRowCount(static_cast<int>(FMobileRows.size()) + 1);
  FStringGridDevice->viewport()->update();
  FStringGridMobile->viewport()->update();
}

bool TFormEditDeviceGroup::CheckDuplicateID(int AID) const {
  for (const QStringList& row : FDeviceRows)
    if (row.value(0).toInt() == AID) return true;
  return false;
}

bool TFormEditDeviceGroup::CheckDuplicateMobile(const QString& AMobile) const {
  for (const QStringList& row : FMobileRows)
    if (row.value(1) == AMobile) return true;
  return false;
}

void TFormEditDeviceGroup::AddDeviceToGrid(int AID, const QString& AName) {
  if (CheckDuplicateID(AID)) return;
  auto it = FDeviceRows.begin();
  while (it != FDeviceRows.end() && it->value(0).toInt() < AID) ++it;
  FDeviceRows.insert(it, {QString::number(AID), AName});
  ShowRows();
}

void TFormEditDeviceGroup::AddMobileToGrid(const QString& AName, const QString& AMobile) {
  FMobileRows.push_back({AName, AMobile});
  ShowRows();
}

QString TFormEditDeviceGroup::GetDeviceName(int AID) const {
  const auto it = FAllDevices.find(AID);
  return it == FAllDevices.end() ? QString() : it->second;
}

void TFormEditDeviceGroup::ButtonAddDeviceClick() {
  FFrameAddGroupDevice->SetDeviceGroupID(EditGroupID);
  if (FFrameAddGroupDevice->ListBoxDevice()->count() == 0) {
    ShowDialogOK(QStringLiteral("No Device Found."), 369);
    return;
  }
  const QPoint at = FButtonAddDevice->mapTo(this, QPoint(0, 0));
  FFrameAddGroupDevice->move(at.x() + FButtonAddDevice->width() + 16, at.y() + FButtonAddDevice->height());
  FFrameAddGroupDevice->show();
  FFrameAddGroupDevice->raise();
  FFrameAddGroupDevice->ListBoxDevice()->setFocus();
}

void TFormEditDeviceGroup::SpeedButtonDeleteDeviceClick() {
  // Only the current row goes, even when a range is selected.
  const int row = FStringGridDevice->Row();
  if (row < 1 || row > static_cast<int>(FDeviceRows.size())) return;
  FDeviceRows.erase(FDeviceRows.begin() + (row - 1));
  ShowRows();
}

void TFormEditDeviceGroup::ButtonAddMobileClick() {
  FFrameAddGroupMobile->move((width() - FFrameAddGroupMobile->width()) / 2,
                             (height() - FFrameAddGroupMobile->height()) / 2);
  FFrameAddGroupMobile->Start();
}

void TFormEditDeviceGroup::ButtonDeleteMobileClick() {
  const int row = FStringGridMobile->Row();
  if (row < 1 || row > static_cast<int>(FMobileRows.size())) return;
  FMobileRows.erase(FMobileRows.begin() + (row - 1));
  ShowRows();
}

void TFormEditDeviceGroup::ButtonSaveClick() {
  const QString name = SquashSpaces(FEditName->text());
  if (name.isEmpty()) {
    ShowDialogOK(QStringLiteral("Group Name cannot be empty."), 400);
    return;
  }
  if (HasControl(name)) {
    ShowDialogOK(QStringLiteral("Invalid Group Name. Please try again."), 500);
    return;
  }
  if (name.size() > 100) {
    ShowDialogOK(QStringLiteral("Maximum of Group Name is 100 characters."), 500);
    return;
  }
  QString reason;
  if (!AskChangeReason(this, reason)) return;
  // The group with its controllers and mobile numbers, as lists.
  TAuditedRecord audit(
      TervoxAudit::kGroup, QStringLiteral("SELECT * FROM DeviceGroup WHERE ID = ?"),
      EditGroupID < 0 ? QString() : QString::number(EditGroupID), reason,
      {QStringLiteral("SELECT group_concat(DeviceID, ', ') AS Controllers FROM "
                      "(SELECT DeviceID FROM DeviceGroupItem WHERE GroupID = ? ORDER BY DeviceID)"),
       QStringLiteral("SELECT group_concat(MobileNumber || ' ' || Name, ', ') AS \"Mobile numbers\" FROM "
                      "(SELECT MobileNumber, Name FROM DeviceGroupMobile WHERE GroupID = ? ORDER BY MobileNumber)")});
  TSQLiteTable table(GetDatabase());
  auto run = [&table](const QString& ASQL, auto&& ABind) {
    table.Close();
    table.SetSQL(ASQL);
    table.Params().Clear();
    table.SetParamValues(":GroupID", EditGroupID);
    ABind();
    table.ExecSQL();
  };
  if (EditGroupID < 0) {
    // The ID comes back from the insert itself: the recorder may insert
    // history rows on the same connection at any moment, so asking for the
    // last inserted row afterwards could answer with one of those.
    table.SetSQL(QStringLiteral("INSERT INTO DeviceGroup (Name)\r\nVALUES (:GroupName)\r\nRETURNING ID"));
    table.SetParamValues(":GroupName", name);
    table.Open();
    EditGroupID = table.GetFields(0)->AsInteger();
    table.Close();
  } else {
    table.SetSQL(QStringLiteral("UPDATE DeviceGroup SET Name = :GroupName WHERE ID = :GroupID"));
    table.SetParamValues(":GroupName", name);
    table.SetParamValues(":GroupID", EditGroupID);
    table.ExecSQL();
  }
  run(QStringLiteral("DELETE FROM DeviceGroupItem WHERE GroupID=:GroupID"), [] {});
  for (const QStringList& row : FDeviceRows)
    run(QStringLiteral("INSERT INTO DeviceGroupItem (GroupID, DeviceID)\r\nVALUES (:GroupID, :DeviceID)"),
        [&] { table.SetParamValues(":DeviceID", row.value(0).toInt()); });
  run(QStringLiteral("DELETE FROM DeviceGroupMobile WHERE GroupID=:GroupID"), [] {});
  for (const QStringList& row : FMobileRows)
    run(QStringLiteral("INSERT INTO DeviceGroupMobile (GroupID, MobileNumber, Name)\r\nVALUES (:GroupID, :MobileNumber, :Name)"),
        [&] {
          table.SetParamValues(":MobileNumber", row.value(1));
          table.SetParamValues(":Name", row.value(0));
        });
  audit.Saved(EditGroupID, QString::number(EditGroupID));
  accept();
}

void TFormEditDeviceGroup::StringGridDeviceDrawCell(TDqDrawGrid* AGrid, QPainter& ACanvas, int ACol, int ARow,
                                                    const QRect& ARect, unsigned AState) {
  ACanvas.setFont(AGrid->font());
  const QPalette& palette = AGrid->palette();
  QColor brush = palette.color(QPalette::Base);
  QColor pen = palette.color(QPalette::Text);
  if (ARow == 0) {
    brush = QColor(192, 192, 192);
    QFont bold = AGrid->font();
    bold.setBold(true);
    ACanvas.setFont(bold);
  } else if (AState & gdSelected) {
    brush = palette.color(QPalette::Highlight);
    pen = Qt::white;
  }
  ACanvas.fillRect(ARect, brush);
  const std::vector<QStringList>& rows = AGrid == FStringGridDevice ? FDeviceRows : FMobileRows;
  QString text;
  if (ARow == 0) {
    text = AGrid == FStringGridDevice ? (ACol == 0 ? QStringLiteral("ID") : QStringLiteral("Device Name"))
                                      : (ACol == 0 ? QStringLiteral("Name") : QStringLiteral("Mobile Number"));
  } else if (ARow - 1 < static_cast<int>(rows.size())) {
    text = rows[static_cast<std::size_t>(ARow - 1)].value(ACol);
  }
  ACanvas.setPen(pen);
  const int textWidth = ACanvas.fontMetrics().horizontalAdvance(text);
  ACanvas.drawText(QPoint(ARect.left() + (ARect.width() - textWidth) / 2, ARect.top() + 4 + ACanvas.fontMetrics().ascent()),
                   text);
}
