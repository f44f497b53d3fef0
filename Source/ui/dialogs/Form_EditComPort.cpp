#include "Form_EditComPort.h"
#include "ui/base/Main_Audit.h"

#include "comm/DqNetLine.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QComboBox* NewCombo(QWidget* AParent, const char* AName, const QStringList& AItems, bool AEditable) {
  auto* combo = new QComboBox(AParent);
  combo->setObjectName(QString::fromLatin1(AName));
  combo->addItems(AItems);
  combo->setEditable(AEditable);
  return combo;
}

int IntOrZero(const QString& AText) {
  std::int64_t value = 0;
  return TryStrToInt(AText, value) && value >= INT32_MIN && value <= INT32_MAX ? static_cast<int>(value) : 0;
}

} // namespace

TFormEditComPort::TFormEditComPort(QWidget* AOwner)
    : QDialog(AOwner), FPortData(std::make_unique<TDqPortData>()), FEditName(new QLineEdit(this)),
      FCheckBoxShow(new QCheckBox(QStringLiteral("Show only avaiable port"), this)),
      FComboPortName(NewCombo(this, "ComboPortName", {}, true)),
      FComboBaudRate(NewCombo(this, "ComboBaudRate",
                              {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
                               "57600", "115200", "128000", "256000"},
                              true)),
      FComboDataBits(NewCombo(this, "ComboDataBits", {"5", "6", "7", "8", "9"}, true)),
      // Only the list entries: what is stored is the entry's index.
      FComboStopBits(NewCombo(this, "ComboStopBits", {"1", "1.5", "2"}, false)),
      FComboParity(NewCombo(this, "ComboParity", {"None", "Odd", "Even", "Mark", "Space"}, false)),
      FComboPortType(NewCombo(this, "ComboPortType", {"Serial", "Modbus TCP", "RTU over TCP"}, false)),
      FEditAddress(new QLineEdit(this)), FEditPortNumber(new QLineEdit(this)), FLabelAddressProblem(new QLabel(this)),
      FLabelPortProblem(new QLabel(this)),
      FButtonSave(new QPushButton(QStringLiteral("&Save"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("&Cancel"), this)) {
  setObjectName(QStringLiteral("FormEditComPort"));
  FEditName->setObjectName(QStringLiteral("EditName"));
  FEditName->setText(QStringLiteral("Com Port 1"));
  FCheckBoxShow->setObjectName(QStringLiteral("CheckBoxShow"));
  FCheckBoxShow->setChecked(true);
  FComboBaudRate->setCurrentText(QStringLiteral("9600"));
  FComboDataBits->setCurrentText(QStringLiteral("8"));
  FButtonSave->setObjectName(QStringLiteral("ButtonSave"));
  FButtonSave->setDefault(true);
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));

  FEditAddress->setObjectName(QStringLiteral("EditAddress"));
  FEditAddress->setPlaceholderText(QStringLiteral("192.168.1.20 or gateway.plant.local"));
  FEditPortNumber->setObjectName(QStringLiteral("EditPortNumber"));
  for (QLabel* label : {FLabelAddressProblem, FLabelPortProblem}) {
    label->setStyleSheet(QStringLiteral("color: #c00000"));
    label->setVisible(false);
  }
  FLabelAddressProblem->setObjectName(QStringLiteral("LabelAddressProblem"));
  FLabelPortProblem->setObjectName(QStringLiteral("LabelPortProblem"));

  // The fields of each kind in a box of their own, shown as the type
  // needs (one form of all rows would have to hide rows one by one).
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Name:"), FEditName);
  form->addRow(QStringLiteral("Type:"), FComboPortType);
  FNetworkBox = new QWidget(this);
  FNetworkBox->setObjectName(QStringLiteral("NetworkFields"));
  auto* network = new QFormLayout(FNetworkBox);
  network->setContentsMargins(0, 0, 0, 0);
  network->addRow(QStringLiteral("Address:"), FEditAddress);
  network->addRow(QString(), FLabelAddressProblem);
  network->addRow(QStringLiteral("TCP port:"), FEditPortNumber);
  network->addRow(QString(), FLabelPortProblem);
  FSerialBox = new QWidget(this);
  FSerialBox->setObjectName(QStringLiteral("SerialFields"));
  auto* serial = new QFormLayout(FSerialBox);
  serial->setContentsMargins(0, 0, 0, 0);
  serial->addRow(QString(), FCheckBoxShow);
  serial->addRow(QStringLiteral("Serial Port:"), FComboPortName);
  serial->addRow(QStringLiteral("Baud rate:"), FComboBaudRate);
  serial->addRow(QStringLiteral("Data bits:"), FComboDataBits);
  serial->addRow(QStringLiteral("Stop bits:"), FComboStopBits);
  serial->addRow(QStringLiteral("Parity:"), FComboParity);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(FButtonSave);
  buttons->addWidget(FButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(FNetworkBox);
  layout->addWidget(FSerialBox);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(FButtonSave, &QPushButton::clicked, this, &TFormEditComPort::ButtonSaveClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(FCheckBoxShow, &QCheckBox::clicked, this, &TFormEditComPort::LoadPortNames);
  // Picking or typing a port names the port after it.
  connect(FComboPortName, &QComboBox::textActivated, this, &TFormEditComPort::ComboPortNameChange);
  connect(FComboPortName->lineEdit(), &QLineEdit::textEdited, this, &TFormEditComPort::ComboPortNameChange);
  connect(FComboPortType, &QComboBox::currentIndexChanged, this, &TFormEditComPort::ComboPortTypeChange);
  // Typing the address names a network line after it, as picking a
  // device names a serial port.
  connect(FEditAddress, &QLineEdit::textEdited, this,
          [this](const QString& AText) { FEditName->setText(QStringLiteral("Gateway ") + AText.trimmed()); });
  ComboPortTypeChange();
}

int TFormEditComPort::PortType() const {
  switch (FComboPortType->currentIndex()) {
  case 1: return dqtTCP;
  case 2: return dqtRTUTCP;
  default: return dqtCOM;
  }
}

// The serial fields or the address fields, as the type needs; a network
// line gets the usual port of its kind while it has none.
void TFormEditComPort::ComboPortTypeChange() {
  const bool network = DqIsNetworkPort(PortType());
  FNetworkBox->setVisible(network);
  FSerialBox->setVisible(!network);
  if (network && FEditPortNumber->text().trimmed().isEmpty())
    FEditPortNumber->setText(PortType() == dqtTCP ? QStringLiteral("502") : QStringLiteral("4001"));
  const bool adding = FPortData->ID < 0;
  setWindowTitle(QStringLiteral("%1 %2").arg(adding ? QStringLiteral("Add") : QStringLiteral("Edit"),
                                             network ? QStringLiteral("Network Line") : QStringLiteral("Serial Port")));
}

bool TFormEditComPort::CheckFields() {
  const bool network = DqIsNetworkPort(PortType());
  const QString address = network ? TDqNetTransport::CheckHost(FEditAddress->text()) : QString();
  const QString port = network ? TDqNetTransport::CheckPort(FEditPortNumber->text()) : QString();
  FLabelAddressProblem->setText(address);
  FLabelPortProblem->setText(port);
  FLabelAddressProblem->setVisible(!address.isEmpty());
  FLabelPortProblem->setVisible(!port.isEmpty());
  FEditAddress->setStyleSheet(address.isEmpty() ? QString() : QStringLiteral("border: 1px solid #c00000"));
  FEditPortNumber->setStyleSheet(port.isEmpty() ? QString() : QStringLiteral("border: 1px solid #c00000"));
  if (!address.isEmpty())
    FEditAddress->setFocus();
  else if (!port.isEmpty())
    FEditPortNumber->setFocus();
  return address.isEmpty() && port.isEmpty();
}

TFormEditComPort::~TFormEditComPort() = default;

void TFormEditComPort::SetPortData(const TDqPortData& AData) {
  FPortData->Assign(AData);
  // Every field as stored, whatever the type: switching types loses none.
  FEditAddress->setText(AData.IPAddress);
  FEditPortNumber->setText(AData.PortNumber);
  FComboPortType->setCurrentIndex(AData.PortType == dqtTCP ? 1 : AData.PortType == dqtRTUTCP ? 2 : 0);
  ComboPortTypeChange();
}

void TFormEditComPort::LoadPortNames() {
  QStringList names;
  ListComPorts(names, FCheckBoxShow->isChecked());
  FComboPortName->clear();
  FComboPortName->addItems(names);
  if (FPortData->ID < 0) {
    FComboPortName->setCurrentIndex(names.isEmpty() ? -1 : 0);
  } else {
    FComboPortName->setCurrentIndex(names.indexOf(FPortData->PortName));
    if (FComboPortName->currentIndex() < 0) FComboPortName->setEditText(QString());
  }
  ComboPortNameChange();
}

void TFormEditComPort::ComboPortNameChange() {
  FEditName->setText(QStringLiteral("Port ") + FComboPortName->currentText());
}

void TFormEditComPort::showEvent(QShowEvent* AEvent) {
  LoadPortNames();
  if (FPortData->ID < 0) {
    FButtonSave->setText(QStringLiteral("Add"));
    if (DqIsNetworkPort(PortType())) FEditName->setText(QStringLiteral("Gateway ") + FEditAddress->text().trimmed());
  } else {
    FButtonSave->setText(QStringLiteral("Save"));
    auto selectText = [](QComboBox* ACombo, const QString& AText) {
      const int index = ACombo->findText(AText);
      ACombo->setCurrentIndex(index);
      if (index < 0) ACombo->setEditText(QString());
    };
    selectText(FComboPortName, FPortData->PortName);
    selectText(FComboBaudRate, QString::number(FPortData->BaudRate));
    selectText(FComboDataBits, QString::number(FPortData->DataBits));
    FComboStopBits->setCurrentIndex(FPortData->StopBits < FComboStopBits->count() ? FPortData->StopBits : -1);
    FComboParity->setCurrentIndex(FPortData->Parity < FComboParity->count() ? FPortData->Parity : -1);
    FEditName->setText(FPortData->Name);
  }
  ComboPortTypeChange();
  QDialog::showEvent(AEvent);
}

void TFormEditComPort::ButtonSaveClick() {
  if (!CheckFields()) return;
  QString reason;
  if (!AskChangeReason(this, reason)) return;
  const bool added = FPortData->ID < 0;
  TAuditedRecord audit(TervoxAudit::kPort, QStringLiteral("SELECT * FROM DevicePort WHERE ID = ?"),
                       added ? QString() : QString::number(FPortData->ID), reason);
  TSQLiteTable table(GetDatabase());
  if (FPortData->ID < 0) {
    table.SetSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate,\n"
                                "DataBits, StopBits, Parity, IPAddress, PortNumber, Enabled)\n"
                                "VALUES(:Name, :PortType, :PortName, :BaudRate,\n"
                                ":DataBits, :StopBits, :Parity, :IPAddress, :PortNumber, :Enabled)"));
  } else {
    table.SetSQL(QStringLiteral("UPDATE DevicePort SET Name = :Name, PortType = :PortType,\n"
                                "PortName = :PortName, BaudRate = :BaudRate,\n"
                                "DataBits = :DataBits, StopBits = :StopBits, Parity = :Parity,\n"
                                "IPAddress = :IPAddress, PortNumber = :PortNumber,\n"
                                "Enabled = :Enabled\n"
                                "WHERE ID = :ID"));
    table.SetParamValues(":ID", FPortData->ID);
  }
  table.SetParamValues(":Name", FEditName->text());
  table.SetParamValues(":PortType", PortType());
  // A network line keeps the serial device it may have had, even one not
  // present here (the list shows only those).
  const QString device = FComboPortName->currentText();
  table.SetParamValues(":PortName", device.isEmpty() && DqIsNetworkPort(PortType()) ? FPortData->PortName : device);
  table.SetParamValues(":BaudRate", IntOrZero(FComboBaudRate->currentText()));
  table.SetParamValues(":DataBits", IntOrZero(FComboDataBits->currentText()));
  table.SetParamValues(":StopBits", std::max(0, FComboStopBits->currentIndex()));
  table.SetParamValues(":Parity", std::max(0, FComboParity->currentIndex()));
  table.SetParamValues(":IPAddress", FEditAddress->text().trimmed());
  table.SetParamValues(":PortNumber", FEditPortNumber->text().trimmed());
  table.SetParamValues(":Enabled", true);
  table.ExecSQL();
  const QString id = added ? NewestID(QStringLiteral("DevicePort")) : QString::number(FPortData->ID);
  audit.Saved(id.toLongLong(), id);
  accept();
}
