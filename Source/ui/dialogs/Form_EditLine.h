// The line dialog of the graph pages: controller, display name, value type
// and colour of one line.
#pragma once

#include "graph/DqGraph.h"

#include <QDialog>

#include <memory>

class QComboBox;
class QLineEdit;
class QPushButton;

class TFormEditLine : public QDialog {
  Q_OBJECT
public:
  explicit TFormEditLine(QWidget* AParent = nullptr);
  // Edits ALine in place on OK (not owned); without one OK creates a line.
  void SetLine(TDqTrendLine* ALine);
  // The line OK created, handed over; nullptr when the dialog edited one.
  std::unique_ptr<TDqTrendLine> TakeNewLine() { return std::move(FNewLine); }
  TDqColor LineColor() const { return FColor; }
  void SetLineColor(TDqColor AColor);

  QComboBox* ComboDevice() const { return FComboDevice; }
  QLineEdit* EditName() const { return FEditName; }
  QComboBox* ComboValueType() const { return FComboValueType; }
  QPushButton* ButtonColor() const { return FButtonColor; }
  QPushButton* ButtonOK() const { return FButtonOK; }

protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void showEvent(QShowEvent* AEvent) override;

private:
  void OKClick();
  void ColorClick();
  TDqTrendLine* FLine = nullptr;
  std::unique_ptr<TDqTrendLine> FNewLine;
  TDqColor FColor = 0;
  QComboBox* FComboDevice = nullptr;
  QLineEdit* FEditName = nullptr;
  QComboBox* FComboValueType = nullptr;
  QPushButton* FButtonColor = nullptr;
  QPushButton* FButtonOK = nullptr;
};
