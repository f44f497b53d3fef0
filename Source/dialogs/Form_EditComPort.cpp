#include "Form_EditComPort.h"

#include "Engine/DqPort.h"
#include "Engine/DqRoutine.h"
#include "Engine/DqSQLite.h"
#include "domain/Main_Database.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
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

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Name:"), FEditName);
  form->addRow(QString(), FCheckBoxShow);
  form->addRow(QStringLiteral("Serial Port:"), FComboPortName);
  form->addRow(QStringLiteral("Baud rate:"), FComboBaudRate);
  form->addRow(QStringLiteral("Data bits:"), FComboDataBits);
  form->addRow(QStringLiteral("Stop bits:"), FComboStopBits);
  form->addRow(QStringLiteral("Parity:"), FComboParity);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(FButtonSave);
  buttons->addWidget(FButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(FButtonSave, &QPushButton::clicked, this, &TFormEditComPort::ButtonSaveClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(FCheckBoxShow, &QCheckBox::clicked, this, &TFormEditComPort::LoadPortNames);
  // Picking or typing a port names the port after it.
  connect(FComboPortName, &QComboBox::textActivated, this, &TFormEditComPort::ComboPortNameChange);
  connect(FComboPortName->lineEdit(), &QLineEdit::textEdited, this, &TFormEditComPort::ComboPortNameChange);
}

TFormEditComPort::~TFormEditComPort() = default;

void TFormEditComPort::SetPortData(const TDqPortData& AData) { FPortData->Assign(AData); }

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
    setWindowTitle(QStringLiteral("Add Serial Port"));
  } else {
    FButtonSave->setText(QStringLiteral("Save"));
    setWindowTitle(QStringLiteral("Edit Serial Port"));
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
  QDialog::showEvent(AEvent);
}

void TFormEditComPort::ButtonSaveClick() {
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
  table.SetParamValues(":PortType", static_cast<int>(dqtCOM));
  table.SetParamValues(":PortName", FComboPortName->currentText());
  table.SetParamValues(":BaudRate", IntOrZero(FComboBaudRate->currentText()));
  table.SetParamValues(":DataBits", IntOrZero(FComboDataBits->currentText()));
  table.SetParamValues(":StopBits", std::max(0, FComboStopBits->currentIndex()));
  table.SetParamValues(":Parity", std::max(0, FComboParity->currentIndex()));
  table.SetParamValues(":IPAddress", QString());
  table.SetParamValues(":PortNumber", QString());
  table.SetParamValues(":Enabled", true);
  table.ExecSQL();
  accept();
}
