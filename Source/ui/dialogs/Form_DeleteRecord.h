// "Delete Record": deletes the history rows and usage-log lines of a range
// of whole days, after a confirmation, on a worker with a progress window.
#pragma once

#include <QDialog>
#include <QLabel>

class QDateEdit;

// A panel that acts as a button: lowered while pressed, its caption one
// space further right.
class TPanelButton : public QLabel {
  Q_OBJECT
public:
  TPanelButton(const QString& ACaption, const QColor& AColor, QWidget* AParent);
  void Click() { emit clicked(); }

signals:
  void clicked();

protected:
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseReleaseEvent(QMouseEvent* AEvent) override;

private:
  void SetPressed(bool APressed);
  QString FCaption;
  bool FPressed = false;
};

class TFormDeleteRecord : public QDialog {
  Q_OBJECT
public:
  explicit TFormDeleteRecord(QWidget* AParent = nullptr);

  QDateEdit* DateFrom() const { return FDateFrom; }
  QDateEdit* DateTo() const { return FDateTo; }
  TPanelButton* PanelDelete() const { return FPanelDelete; }
  TPanelButton* PanelCancel() const { return FPanelCancel; }
  // Rows the last deletion removed.
  qint64 Deleted() const { return FDeleted; }

private:
  void PanelDeleteClick();

  QDateEdit* FDateFrom;
  QDateEdit* FDateTo;
  TPanelButton* FPanelDelete;
  TPanelButton* FPanelCancel;
  qint64 FDeleted = 0;
};
