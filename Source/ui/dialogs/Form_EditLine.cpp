#include "Form_EditLine.h"

#include "Form_EditGraph.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_GraphSource.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QColorDialog>
#include <QComboBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

TFormEditLine::TFormEditLine(QWidget* AParent) : QDialog(AParent) {
  setObjectName(QStringLiteral("FormEditLine"));
  setWindowTitle(QStringLiteral("Graph Line"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  FComboDevice = new QComboBox(this);
  FComboDevice->setObjectName(QStringLiteral("ComboDevice"));
  FEditName = new QLineEdit(this);
  FEditName->setObjectName(QStringLiteral("EditName"));
  FComboValueType = new QComboBox(this);
  FComboValueType->setObjectName(QStringLiteral("ComboValueType"));
  FButtonColor = new QPushButton(this);
  FButtonColor->setObjectName(QStringLiteral("ShapeColor"));
  FButtonColor->setFixedSize(80, 22);
  form->addRow(QStringLiteral("Device Name:"), FComboDevice);
  form->addRow(QStringLiteral("Display Name:"), FEditName);
  form->addRow(QStringLiteral("Value Type:"), FComboValueType);
  form->addRow(QStringLiteral("Line Color:"), FButtonColor);
  layout->addLayout(form);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  FButtonOK = new QPushButton(QStringLiteral("OK"), this);
  FButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  FButtonOK->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("ButtonCancel"));
  buttons->addWidget(FButtonOK);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  setMinimumWidth(340);

  if (TTervoxDeviceList* devices = DeviceList()) {
    devices->Lock();
    for (int i = 0; i < devices->Count(); ++i)
      FComboDevice->addItem(devices->GetDevices(i)->DeviceName(), devices->GetDevices(i)->ID());
    devices->Unlock();
  }
  FComboDevice->setCurrentIndex(-1);
  QStringList types;
  if (ValueTypes()) ValueTypes()->GetNameList(types, false);
  FComboValueType->addItems(types);
  FComboValueType->setCurrentIndex(-1);
  SetLineColor(0);

  connect(FComboDevice, qOverload<int>(&QComboBox::activated), this,
          [this](int AIndex) { FEditName->setText(FComboDevice->itemText(AIndex)); });
  connect(FButtonColor, &QPushButton::clicked, this, &TFormEditLine::ColorClick);
  connect(FButtonOK, &QPushButton::clicked, this, &TFormEditLine::OKClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormEditLine::SetLineColor(TDqColor AColor) {
  FColor = AColor;
  FButtonColor->setStyleSheet(QStringLiteral("background-color: %1; border: 1px solid black;").arg(ToQColor(AColor).name()));
}

void TFormEditLine::SetLine(TDqTrendLine* ALine) {
  FLine = ALine;
  if (!ALine) return;
  const int device = ALine->ValueObject ? FComboDevice->findData(ALine->ValueObject->SourceID()) : -1;
  FComboDevice->setCurrentIndex(device);
  FEditName->setText(ALine->Name);
  FComboValueType->setCurrentIndex(ALine->ValueType - 1 < FComboValueType->count() ? ALine->ValueType - 1 : -1);
  SetLineColor(ALine->Color);
}

void TFormEditLine::showEvent(QShowEvent* AEvent) {
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->geometry().center() - rect().center());
  QDialog::showEvent(AEvent);
  FComboDevice->setFocus();
}

void TFormEditLine::paintEvent(QPaintEvent*) { PaintDialogGradient(this, QColor(255, 224, 0)); }

void TFormEditLine::ColorClick() {
  const QColor chosen = QColorDialog::getColor(ToQColor(FColor), this);
  if (chosen.isValid()) SetLineColor(FromQColor(chosen));
}

void TFormEditLine::OKClick() {
  TDqTrendLine* line = FLine;
  if (!line) {
    FNewLine = std::make_unique<TDqTrendLine>();
    line = FNewLine.get();
  }
  const int device = FComboDevice->currentIndex();
  line->ValueObject = device >= 0 ? GraphSourceOf(FComboDevice->itemData(device).toInt()) : nullptr;
  if (line->ValueObject) line->ValueObjectID = line->ValueObject->SourceID();
  line->Name = FEditName->text();
  line->ValueType = FComboValueType->currentIndex() + 1;
  line->Color = FColor;
  accept();
}
