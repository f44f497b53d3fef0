#include "Frame_AddGroupMobile.h"

#include "Form_EditDeviceGroup.h"
#include "ui/base/Main_Routine.h"

#include <QApplication>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TFrameAddGroupMobile::TFrameAddGroupMobile(QWidget* AOwner)
    : TDqFrame(AOwner), FEditName(new QLineEdit(this)), FEditMobile(new QLineEdit(this)),
      FButtonSave(new QPushButton(QStringLiteral("Save"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("Cancel"), this)) {
  setObjectName(QStringLiteral("FrameAddGroupMobile"));
  setFrameShape(QFrame::Panel);
  setFrameShadow(QFrame::Raised);
  setAutoFillBackground(true);
  FEditName->setObjectName(QStringLiteral("EditName"));
  FEditMobile->setObjectName(QStringLiteral("EditMobile"));
  FButtonSave->setObjectName(QStringLiteral("ButtonSave"));
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Name:"), this), 0, 0);
  layout->addWidget(FEditName, 0, 1, 1, 2);
  layout->addWidget(new QLabel(QStringLiteral("Mobile No.:"), this), 1, 0);
  layout->addWidget(FEditMobile, 1, 1, 1, 2);
  layout->addWidget(FButtonSave, 2, 1);
  layout->addWidget(FButtonCancel, 2, 2);
  resize(320, 120);
  connect(FButtonSave, &QPushButton::clicked, this, &TFrameAddGroupMobile::ButtonSaveClick);
  connect(FEditMobile, &QLineEdit::returnPressed, this, &TFrameAddGroupMobile::ButtonSaveClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &TFrameAddGroupMobile::FrameExit);
  // A refusal's message box takes the focus for a moment; only a focus
  // that moves to another part of the editor closes the entry.
  FFocusWatch = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* ANow) {
    if (isVisible() && ANow && ANow->window() == window() && !isAncestorOf(ANow)) FrameExit();
  });
}

TFrameAddGroupMobile::~TFrameAddGroupMobile() { disconnect(FFocusWatch); }

void TFrameAddGroupMobile::Start() {
  FEditName->clear();
  FEditMobile->clear();
  show();
  raise();
  FEditName->setFocus();
}

void TFrameAddGroupMobile::ButtonSaveClick() {
  TFormEditDeviceGroup* editor = EditDeviceGroupForm();
  const QString name = SquashSpaces(FEditName->text());
  const QString number = FEditMobile->text().trimmed();
  auto refuse = [](const char* AText, int AWidth) { ShowDialogOK(QString::fromLatin1(AText), AWidth); };
  if (name.isEmpty()) return refuse("Name cannot be empty.", 400);
  for (QChar c : name)
    if (c.unicode() < 0x20) return refuse("Invalid Name. Please try again.", 500);
  if (name.size() > 100) return refuse("Maximum of Name is 100 characters.", 500);
  if (number.isEmpty()) return refuse("Mobile Number cannot be empty.", 400);
  if (editor && editor->CheckDuplicateMobile(QLatin1Char('+') + number))
    return refuse("Mobile Number is existing. Re-enter another number.", 600);
  for (QChar c : number)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return refuse("Mobile Number must contain only 0-9.", 500);
  if (number.size() > 12) return refuse("Maximum of Mobile Number is 12 numbers.", 500);
  if (number.size() < 7) return refuse("Minimum of Mobile Number is 7 numbers.", 500);
  if (editor) editor->AddMobileToGrid(name, QLatin1Char('+') + number);
  hide();
}

void TFrameAddGroupMobile::FrameExit() { hide(); }

void TFrameAddGroupMobile::keyPressEvent(QKeyEvent* AEvent) {
  if (AEvent->key() == Qt::Key_Escape) {
    FrameExit();
    return;
  }
  TDqFrame::keyPressEvent(AEvent);
}
