#include "Form_EditDevice.h"
#include "ui/base/Main_Audit.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "plant/Tervox_Device.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QStylePainter>
#include <QVBoxLayout>

#include <climits>

namespace {

// The name of the DevicePort row with that ID (the port list's item text).
QString PortNameOf(const QString& AID) {
  std::int64_t id = 0;
  if (!TryStrToInt(AID, id)) return QString();
  return VarAsText(
      GetDatabase()->Lookup(QStringLiteral("DevicePort"), QStringLiteral("ID"), id, QStringLiteral("Name")));
}

// The port list holds port IDs and paints their names, in the box and in
// its drop-down list alike.
class TPortNameDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QString displayText(const QVariant& AValue, const QLocale&) const override { return PortNameOf(AValue.toString()); }
};

class TPortNameCombo : public QComboBox {
public:
  explicit TPortNameCombo(QWidget* AParent) : QComboBox(AParent) { setItemDelegate(new TPortNameDelegate(this)); }

protected:
  void paintEvent(QPaintEvent*) override {
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    option.currentText = PortNameOf(currentText());
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
  }
};

int IntOrMinusOne(const QString& AText) {
  std::int64_t value = 0;
  return TryStrToInt(AText, value) && value >= INT_MIN && value <= INT_MAX ? static_cast<int>(value) : -1;
}

// "" for "Not defined" or no choice, else the item's first letter.
QString OptionLetter(const QComboBox* ACombo) {
  return ACombo->currentIndex() <= 0 ? QString() : ACombo->currentText().left(1);
}

QComboBox* NewList(QWidget* AParent, const char* AName, const QStringList& AItems) {
  auto* combo = new QComboBox(AParent);
  combo->setObjectName(QString::fromLatin1(AName));
  combo->addItems(AItems);
  combo->setCurrentIndex(0);
  return combo;
}

} // namespace

TFormEditDevice::TFormEditDevice(QWidget* AOwner)
    : QDialog(AOwner), FDevice(std::make_shared<TTervoxDevice>()), FComboPortName(new TPortNameCombo(this)),
      FComboAddress(new QComboBox(this)), FMemoDescription(new QPlainTextEdit(this)),
      FComboDimension(NewList(this, "ComboDimension",
                              {"Not defined", "A (W96 x H96mm)", "B (W48 x H96mm)", "C (W72 x H72mm)",
                               "D (w48 x H48mm)"})),
      FComboPower(NewList(this, "ComboPower", {"Not defined", "F (100-240 VAC)", "L (24 VDC/AC, TRX9 Only)"})),
      FEditName(new QLineEdit(QStringLiteral("Device 1"), this)),
      FEditEnabled(new QCheckBox(QStringLiteral("Enabled"), this)),
      FButtonSave(new QPushButton(QStringLiteral("&Save"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("&Cancel"), this)) {
  setObjectName(QStringLiteral("FormEditDevice"));
  setWindowTitle(QStringLiteral("Edit Device"));
  FComboPortName->setObjectName(QStringLiteral("ComboPortName"));
  FComboAddress->setObjectName(QStringLiteral("ComboAddress"));
  FMemoDescription->setObjectName(QStringLiteral("MemoDescription"));
  FMemoDescription->setFixedHeight(64);
  FEditName->setObjectName(QStringLiteral("EditName"));
  FEditEnabled->setObjectName(QStringLiteral("EditEnabled"));
  // A new controller is meant to be polled.
  FEditEnabled->setChecked(true);
  FButtonSave->setObjectName(QStringLiteral("ButtonSave"));
  FButtonSave->setDefault(true);
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));

  auto ports = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM DevicePort ORDER BY Name, ID"));
  for (; !ports->Eof(); ports->Next()) FComboPortName->addItem(ports->FieldByName(QStringLiteral("ID"))->AsString());
  FComboPortName->setCurrentIndex(FComboPortName->count() > 0 ? 0 : -1);
  FComboAddress->setEditable(true);
  for (int address = 1; address <= 255; ++address) FComboAddress->addItem(QString::number(address));
  FComboAddress->setCurrentIndex(0);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Port Name:"), FComboPortName);
  form->addRow(QStringLiteral("Address:"), FComboAddress);
  form->addRow(QStringLiteral("Description:"), FMemoDescription);
  auto* optional = new QGroupBox(QStringLiteral("Optional"), this);
  optional->setObjectName(QStringLiteral("GroupOptional"));
  auto* optionalForm = new QFormLayout(optional);
  optionalForm->addRow(new QLabel(QStringLiteral("Program can not automatic detect this"), optional));
  optionalForm->addRow(QStringLiteral("Dimension:"), FComboDimension);
  optionalForm->addRow(QStringLiteral("Power Source:"), FComboPower);
  auto* nameForm = new QFormLayout;
  nameForm->addRow(QStringLiteral("Name:"), FEditName);
  nameForm->addRow(QString(), FEditEnabled);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(FButtonSave);
  buttons->addWidget(FButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(optional);
  layout->addLayout(nameForm);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(FButtonSave, &QPushButton::clicked, this, &TFormEditDevice::ButtonSaveClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
  // Only the user's changes rename the controller, not FormShow's.
  connect(FComboAddress, &QComboBox::activated, this, &TFormEditDevice::ComboAddressChange);
  connect(FComboAddress->lineEdit(), &QLineEdit::textEdited, this, &TFormEditDevice::ComboAddressChange);
  connect(FComboDimension, &QComboBox::activated, this, &TFormEditDevice::ComboAddressChange);
  connect(FComboPower, &QComboBox::activated, this, &TFormEditDevice::ComboAddressChange);
}

TFormEditDevice::~TFormEditDevice() {
  // A read still queued keeps the device alive; it must not keep the port.
  FDevice->SetPort(nullptr);
}

TTervoxDeviceData TFormEditDevice::Data() const { return FDevice->DeviceData(); }

void TFormEditDevice::SetData(const TTervoxDeviceData& AData) { FDevice->SetDeviceData(AData); }

void TFormEditDevice::showEvent(QShowEvent* AEvent) {
  FormShow();
  QDialog::showEvent(AEvent);
  if (const QScreen* where = screen()) move(where->availableGeometry().center() - rect().center());
}

void TFormEditDevice::FormShow() {
  const TTervoxDeviceData data = Data();
  if (data.ID < 0) {
    FButtonSave->setText(QStringLiteral("Add"));
    setWindowTitle(QStringLiteral("Add Device"));
    return;
  }
  FButtonSave->setText(QStringLiteral("Save"));
  setWindowTitle(QStringLiteral("Edit Device"));
  FComboPortName->setCurrentIndex(FComboPortName->findText(QString::number(data.DevicePortID)));
  const QString address = QString::number(data.SlaveID);
  const int addressIndex = FComboAddress->findText(address);
  FComboAddress->setCurrentIndex(addressIndex);
  // An address outside the list still shows, so saving keeps it.
  if (addressIndex < 0) FComboAddress->setEditText(address);
  FMemoDescription->setPlainText(data.Description);
  int dimension = 0;
  if (!data.Dimension.isEmpty()) dimension = 1 + (data.Dimension.at(0).unicode() - u'A');
  // A letter the list does not have is as good as none.
  if (dimension < 0 || dimension >= FComboDimension->count()) dimension = 0;
  FComboDimension->setCurrentIndex(dimension);
  FComboPower->setCurrentIndex(data.Power == QLatin1String("F") ? 1 : data.Power == QLatin1String("L") ? 2 : 0);
  FEditName->setText(data.Name);
  FEditEnabled->setChecked(data.Enabled);
}

void TFormEditDevice::ComboAddressChange() {
  FEditName->setText(QStringLiteral("Device ") + FComboAddress->currentText());
}

void TFormEditDevice::ButtonSaveClick() {
  if (FSaving) return;
  if (!AskChangeReason(this, FAuditReason)) return;
  TTervoxDeviceData data = Data();
  const QString previousModel = data.Model;
  data.Name = FEditName->text();
  data.DevicePortID = IntOrMinusOne(FComboPortName->currentText());
  data.SlaveID = IntOrMinusOne(FComboAddress->currentText());
  data.Description = FMemoDescription->toPlainText();
  data.Dimension = OptionLetter(FComboDimension);
  data.Power = OptionLetter(FComboPower);
  data.Enabled = FEditEnabled->isChecked();
  SetData(data);
  // One read at a time: the button stays off until the read is back.
  FSaving = true;
  FButtonSave->setEnabled(false);
  // The worker finds the port in the port list by DevicePortID. The answer
  // may come after the dialog was cancelled or freed: then nothing is
  // stored.
  QPointer<TFormEditDevice> self(this);
  FDevice->ReadInformation([self, previousModel] {
    if (self && self->FSaving) self->StoreRecord(previousModel);
  });
}

void TFormEditDevice::reject() {
  FSaving = false;
  FButtonSave->setEnabled(true);
  QDialog::reject();
}

void TFormEditDevice::StoreRecord(const QString& APreviousModel) {
  FSaving = false;
  TTervoxDeviceData data = Data();
  // No identification arrived: the model code stays what it was.
  if (FDevice->ModelType().Name().isEmpty()) data.Model = APreviousModel;
  SetData(data);
  try {
    const bool added = data.ID < 0;
    TAuditedRecord audit(TervoxAudit::kController, QStringLiteral("SELECT * FROM Device WHERE ID = ?"),
                         added ? QString() : QString::number(data.ID), FAuditReason);
    if (added)
      data.InsertToDB(*GetDatabase());
    else
      data.UpdateDB(*GetDatabase());
    const QString id = added ? NewestID(QStringLiteral("Device")) : QString::number(data.ID);
    audit.Saved(id.toLongLong(), id);
  } catch (...) {
    FButtonSave->setEnabled(true);
    ShowException(std::current_exception());
    return;
  }
  FDevice->SetPort(nullptr);
  accept();
}
