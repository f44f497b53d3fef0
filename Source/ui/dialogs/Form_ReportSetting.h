// The paper setup dialog of the report ("Report Setting") and, with the
// orientation buttons, of the history graph (Form_GraphSetting): paper size,
// six millimetre boxes and a preview of the sheet with its margins.
#pragma once

#include <QColor>
#include <QDialog>
#include <QRect>

class QComboBox;
class QDoubleSpinBox;
class TBaseReport;

// The paper sizes offered: width x height in millimetres; the last is
// "Custom" (no values).
struct TPaperSize {
  const char* Name;
  double Width;
  double Height;
};
inline constexpr TPaperSize kPaperSizes[] = {
    {"A4 (210 x 297 mm)", 210, 297},
    {"Letter(8.5 x 11 inch)", 216, 279},
    {"Legal (8.5 x 14 inch)", 216, 356},
    {"Custom", 0, 0},
};
inline constexpr int kPaperCustom = 3;

// The first size equal to AWidth x AHeight, else kPaperCustom. With
// AAnyOrientation the smaller value is matched against the width.
int MatchPaperSize(double AWidth, double AHeight, bool AAnyOrientation);

// The preview of a AWidth x AHeight sheet (whole millimetres) in the
// 210 x 297 pixel area at (8, 8): the sheet and the dotted margin line.
struct TPaperPreview {
  QRect Paper;
  QRect Margin;
};
TPaperPreview PaperPreview(int AWidth, int AHeight, int ALeft, int ARight, int ATop, int ABottom);

class TFormReportSetting : public QDialog {
  Q_OBJECT
public:
  // On the "Report" profile.
  explicit TFormReportSetting(QWidget* AOwner = nullptr);

  QComboBox* ComboSize() const { return FComboSize; }
  QDoubleSpinBox* EditWidth() const { return FEditWidth; }
  QDoubleSpinBox* EditHeight() const { return FEditHeight; }
  QDoubleSpinBox* EditLeft() const { return FEditLeft; }
  QDoubleSpinBox* EditRight() const { return FEditRight; }
  QDoubleSpinBox* EditTop() const { return FEditTop; }
  QDoubleSpinBox* EditBottom() const { return FEditBottom; }
  const TPaperPreview& Preview() const { return FPreview; }
  void accept() override;

protected:
  TFormReportSetting(QWidget* AOwner, TBaseReport* AProfile, const QString& ACaption, const QColor& AColor,
                     bool AAnyOrientation);
  void paintEvent(QPaintEvent* AEvent) override;
  // After any change of a box: the size box and the preview follow.
  virtual void BoxesChanged();
  void SetBoxes(double AWidth, double AHeight);
  void WriteProfile();
  TBaseReport* Profile() const { return FProfile; }
  QWidget* OptionArea() const { return FOptionArea; }

private:
  void ComboSizeChange(int AIndex);

  TBaseReport* FProfile;
  QColor FColor;
  bool FAnyOrientation;
  bool FUpdating = false;
  QComboBox* FComboSize;
  QDoubleSpinBox* FEditWidth;
  QDoubleSpinBox* FEditHeight;
  QDoubleSpinBox* FEditLeft;
  QDoubleSpinBox* FEditRight;
  QDoubleSpinBox* FEditTop;
  QDoubleSpinBox* FEditBottom;
  QWidget* FPreviewArea;
  QWidget* FOptionArea;
  TPaperPreview FPreview;
};
