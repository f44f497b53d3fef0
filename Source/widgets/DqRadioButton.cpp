#include "DqRadioButton.h"

TRadioButton::TRadioButton(const QString& ACaption, QWidget* AParent) : QRadioButton(ACaption, AParent) {
  // No background of its own: the parent paints under the caption.
  setAutoFillBackground(false);
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_TranslucentBackground);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::transparent);
  palette.setColor(QPalette::Button, Qt::transparent);
  setPalette(palette);
}
