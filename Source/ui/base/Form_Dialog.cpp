#include "Form_Dialog.h"

#include "Main_Routine.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {
constexpr int kButtonWidth = 84;
constexpr int kButtonHeight = 28;
constexpr int kGap = 8;
} // namespace

TFormDialogBase::TFormDialogBase(QWidget* AParent)
    : QDialog(AParent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      FLabel(new QLabel(this)) {
  setWindowTitle(QStringLiteral("TERVOX"));
  FLabel->setObjectName(QStringLiteral("LabelText"));
  FLabel->setAlignment(Qt::AlignCenter);
  resize(280, 110);
}

QPushButton* TFormDialogBase::AddButton(const QString& ACaption, const QString& AName, int AResult) {
  auto* button = new QPushButton(ACaption, this);
  button->setObjectName(AName);
  button->resize(kButtonWidth, kButtonHeight);
  connect(button, &QPushButton::clicked, this, [this, AResult] { done(AResult); });
  FButtons.append(button);
  LayoutControls();
  return button;
}

void TFormDialogBase::SetText(const QString& AText) {
  FLabel->setText(AText);
  const QSize text = FLabel->sizeHint();
  const int height = std::max(this->height(), text.height() + 3 * kGap + kButtonHeight + 16);
  resize(std::max(width(), text.width() + 32), height);
  LayoutControls();
}

QString TFormDialogBase::Text() const { return FLabel->text(); }

void TFormDialogBase::LayoutControls() {
  const int buttonsTop = height() - kButtonHeight - 12;
  FLabel->setGeometry(0, 12, width(), buttonsTop - 12 - kGap);
  const int centre = width() / 2;
  if (FButtons.size() == 2) {
    // Yes ends 4 pixels left of centre, No starts 4 pixels right of it.
    FButtons[0]->move(centre - 4 - kButtonWidth, buttonsTop);
    FButtons[1]->move(centre + 4, buttonsTop);
  } else {
    const int total = static_cast<int>(FButtons.size()) * kButtonWidth + (static_cast<int>(FButtons.size()) - 1) * kGap;
    int left = centre - total / 2;
    for (QPushButton* button : FButtons) {
      button->move(left, buttonsTop);
      left += kButtonWidth + kGap;
    }
  }
}

void TFormDialogBase::resizeEvent(QResizeEvent* AEvent) {
  QDialog::resizeEvent(AEvent);
  LayoutControls();
}

void TFormDialogBase::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
  }
}

TFormDialogOK::TFormDialogOK(QWidget* AParent) : TFormDialogBase(AParent) {
  QPushButton* ok = AddButton(QStringLiteral("OK"), QStringLiteral("ButtonOK"), mrYes);
  ok->setDefault(true);
  FEscapeResult = mrYes;
}

void TFormDialogOK::keyPressEvent(QKeyEvent* AEvent) {
  // The single button answers Escape and Enter alike.
  switch (AEvent->key()) {
  case Qt::Key_Escape:
  case Qt::Key_Return:
  case Qt::Key_Enter: done(mrYes); return;
  default: TFormDialogBase::keyPressEvent(AEvent);
  }
}

TFormDialogYN::TFormDialogYN(QWidget* AParent) : TFormDialogBase(AParent) {
  setWindowTitle(QStringLiteral("Select your choice?"));
  AddButton(QStringLiteral("&Yes"), QStringLiteral("ButtonYes"), mrYes)->setDefault(true);
  AddButton(QStringLiteral("&No"), QStringLiteral("ButtonNo"), mrNo);
  FEscapeResult = mrNo;
}

TFormDialogYNC::TFormDialogYNC(QWidget* AParent) : TFormDialogBase(AParent) {
  setWindowTitle(QStringLiteral("Select your choice?"));
  AddButton(QStringLiteral("&Yes"), QStringLiteral("ButtonYes"), mrYes)->setDefault(true);
  AddButton(QStringLiteral("&No"), QStringLiteral("ButtonNo"), mrNo);
  AddButton(QStringLiteral("&Cancel"), QStringLiteral("ButtonCancel"), mrCancel);
  FEscapeResult = mrCancel;
}
