#include "Frame_AddGroupDevice.h"

#include "store/DqSQLite.h"
#include "Form_EditDeviceGroup.h"
#include "store/Main_Database.h"

#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

TFrameAddGroupDevice::TFrameAddGroupDevice(QWidget* AOwner)
    : TDqFrame(AOwner), FPanel1(new QFrame(this)), FListBoxDevice(new QListWidget(FPanel1)),
      FButtonAdd(new QPushButton(QStringLiteral("Add"), FPanel1)),
      FButtonCancel(new QPushButton(QStringLiteral("Cancel"), FPanel1)) {
  setObjectName(QStringLiteral("FrameAddGroupDevice"));
  FPanel1->setObjectName(QStringLiteral("Panel1"));
  FPanel1->setFrameShape(QFrame::Panel);
  FPanel1->setFrameShadow(QFrame::Raised);
  FPanel1->setAutoFillBackground(true);
  FListBoxDevice->setObjectName(QStringLiteral("ListBoxDevice"));
  FButtonAdd->setObjectName(QStringLiteral("ButtonAdd"));
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
  setFixedWidth(200);
  FPanel1->setGeometry(0, 0, 200, 100);
  connect(FButtonAdd, &QPushButton::clicked, this, &TFrameAddGroupDevice::ButtonAddClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &TFrameAddGroupDevice::Panel1Exit);
  connect(FListBoxDevice, &QListWidget::itemDoubleClicked, this, &TFrameAddGroupDevice::ButtonAddClick);
  // Leaving the panel with the focus closes it, as a drop-down does.
  FFocusWatch = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* ANow) {
    if (isVisible() && ANow && !isAncestorOf(ANow)) Panel1Exit();
  });
  LoadDevices();
}

TFrameAddGroupDevice::~TFrameAddGroupDevice() { disconnect(FFocusWatch); }

void TFrameAddGroupDevice::SetDeviceGroupID(int AValue) {
  FDeviceGroupID = AValue;
  LoadDevices();
}

void TFrameAddGroupDevice::LoadDevices() {
  TFormEditDeviceGroup* editor = EditDeviceGroupForm();
  FListBoxDevice->clear();
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM Device\r\nORDER BY ID"));
  table.Open();
  while (!table.Eof()) {
    const int id = table.FieldByName(QStringLiteral("ID"))->AsInteger();
    if (!editor || !editor->CheckDuplicateID(id)) {
      auto* item = new QListWidgetItem(table.FieldByName(QStringLiteral("Name"))->AsString(), FListBoxDevice);
      item->setData(Qt::UserRole, id);
    }
    table.Next();
  }
  if (FListBoxDevice->count() > 0) FListBoxDevice->setCurrentRow(0);
  FitList();
}

void TFrameAddGroupDevice::FitList() {
  const int entryHeight = FListBoxDevice->sizeHintForRow(0) > 0 ? FListBoxDevice->sizeHintForRow(0) : 18;
  const int listHeight = std::max(100, FListBoxDevice->count() * entryHeight + 8);
  FListBoxDevice->setGeometry(8, 8, 184, listHeight);
  FButtonAdd->setGeometry(8, FListBoxDevice->geometry().bottom() + 8, 88, 26);
  FButtonCancel->setGeometry(104, FButtonAdd->y(), 88, 26);
  const int height = FButtonCancel->geometry().bottom() + 8;
  FPanel1->setGeometry(0, 0, 200, height);
  setFixedHeight(height);
}

void TFrameAddGroupDevice::ButtonAddClick() {
  const int index = FListBoxDevice->currentRow();
  if (index < 0) return;
  QListWidgetItem* item = FListBoxDevice->item(index);
  if (TFormEditDeviceGroup* editor = EditDeviceGroupForm())
    editor->AddDeviceToGrid(item->data(Qt::UserRole).toInt(), item->text());
  delete FListBoxDevice->takeItem(index);
  if (FListBoxDevice->count() == 0) {
    hide();
    return;
  }
  FListBoxDevice->setCurrentRow(std::min(index, FListBoxDevice->count() - 1));
}

void TFrameAddGroupDevice::Panel1Exit() { hide(); }

void TFrameAddGroupDevice::keyPressEvent(QKeyEvent* AEvent) {
  if (AEvent->key() == Qt::Key_Escape) {
    Panel1Exit();
    return;
  }
  TDqFrame::keyPressEvent(AEvent);
}
