#include "Form_EditGraph.h"

#include "ui/base/Main_Routine.h"

#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

void PaintDialogGradient(QWidget* AWidget, const QColor& AColor) {
  QImage strip(1, 512, QImage::Format_RGB32);
  const int target[3] = {AColor.red(), AColor.green(), AColor.blue()};
  for (int i = 0; i < 512; ++i) {
    int c[3];
    for (int k = 0; k < 3; ++k) c[k] = static_cast<int>(std::lround(255 - i * (255.0 - target[k]) / 512.0));
    strip.setPixel(0, i, qRgb(c[0], c[1], c[2]));
  }
  QPainter painter(AWidget);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  painter.drawImage(AWidget->rect(), strip);
}

TFormEditGraph::TFormEditGraph(QWidget* AParent) : QDialog(AParent) {
  setObjectName(QStringLiteral("FormEditGraph"));
  setWindowTitle(QStringLiteral("Graph Setting"));
  auto* layout = new QVBoxLayout(this);
  auto* label = new QLabel(QStringLiteral("Enter Profile Name:"), this);
  FEditName = new QLineEdit(this);
  FEditName->setObjectName(QStringLiteral("EditName"));
  FEditName->setMinimumWidth(260);
  FButtonSave = new QPushButton(QStringLiteral("&Save"), this);
  FButtonSave->setObjectName(QStringLiteral("ButtonSave"));
  FButtonSave->setDefault(true);
  layout->addWidget(label);
  layout->addWidget(FEditName);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(FButtonSave);
  layout->addLayout(buttons);
  connect(FButtonSave, &QPushButton::clicked, this, &TFormEditGraph::SaveClick);
}

QString TFormEditGraph::GraphName() const { return FEditName->text(); }
void TFormEditGraph::SetGraphName(const QString& AValue) { FEditName->setText(AValue); }

void TFormEditGraph::PlaceAtPointer(const QPoint& APointer) {
  adjustSize();
  move(APointer.x() - width() - 40, APointer.y() + 50);
}

void TFormEditGraph::showEvent(QShowEvent* AEvent) {
  setWindowTitle(FEditName->text().isEmpty() ? QStringLiteral("Create New Profile")
                                              : QStringLiteral(" Change Profile Name: "));
  QDialog::showEvent(AEvent);
}

void TFormEditGraph::paintEvent(QPaintEvent*) { PaintDialogGradient(this, QColor(255, 224, 128)); }

void TFormEditGraph::SaveClick() {
  if (FEditName->text().isEmpty()) {
    ShowDialogOK(QStringLiteral("Please enter profile name."));
    FEditName->setFocus();
    return;
  }
  accept();
}
