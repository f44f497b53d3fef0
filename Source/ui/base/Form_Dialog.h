// The program's own message dialogs: stay on top, centred on the screen,
// one centred label, the buttons centred below it.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TFormDialogBase : public QDialog {
  Q_OBJECT
public:
  // Widens the client area to the text width + 32 when that is larger and
  // centres label and buttons.
  void SetText(const QString& AText);
  QString Text() const;

protected:
  explicit TFormDialogBase(QWidget* AParent);
  QPushButton* AddButton(const QString& ACaption, const QString& AName, int AResult);
  void resizeEvent(QResizeEvent* AEvent) override;
  void showEvent(QShowEvent* AEvent) override;
  // Escape and the close box answer this result.
  void reject() override { done(FEscapeResult); }
  int FEscapeResult = 2;

private:
  void LayoutControls();
  QLabel* FLabel;
  QList<QPushButton*> FButtons;
};

class TFormDialogOK : public TFormDialogBase {
  Q_OBJECT
public:
  explicit TFormDialogOK(QWidget* AParent = nullptr);

protected:
  void keyPressEvent(QKeyEvent* AEvent) override;
};

class TFormDialogYN : public TFormDialogBase {
  Q_OBJECT
public:
  explicit TFormDialogYN(QWidget* AParent = nullptr);
};

class TFormDialogYNC : public TFormDialogBase {
  Q_OBJECT
public:
  explicit TFormDialogYNC(QWidget* AParent = nullptr);
};
