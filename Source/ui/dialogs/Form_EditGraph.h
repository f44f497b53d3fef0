// The profile-name dialog of the graph pages, and the white-to-colour
// background the graph dialogs share.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

// Paints the dialog background: a 1 x 512 fade from white at the top to
// AColor at the bottom, stretched over ARect.
void PaintDialogGradient(QWidget* AWidget, const QColor& AColor);

class TFormEditGraph : public QDialog {
  Q_OBJECT
public:
  explicit TFormEditGraph(QWidget* AParent = nullptr);
  QString GraphName() const;
  void SetGraphName(const QString& AValue);
  QLineEdit* EditName() const { return FEditName; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  // Opens left of and below the mouse pointer.
  void PlaceAtPointer(const QPoint& APointer);

protected:
  void showEvent(QShowEvent* AEvent) override;
  void paintEvent(QPaintEvent* AEvent) override;

private:
  void SaveClick();
  QLineEdit* FEditName = nullptr;
  QPushButton* FButtonSave = nullptr;
};
