// What the Trend and Graph pages share: the graph picture and its paint
// box, the profile panel (profiles, the line list and its buttons), the
// splitter, Hide/Show, the line colour palette and saving the picture.
#pragma once

#include "widgets/DqFrameList.h"
#include "graph/DqGraph.h"

#include <QImage>

#include <functional>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QToolButton;
class TDqDrawGrid;

// The graph's paint box: shows the page's bitmap as rendered, with an
// optional overlay, and reports the mouse.
class TGraphPaintBox : public QWidget {
  Q_OBJECT
public:
  explicit TGraphPaintBox(QWidget* AParent = nullptr);
  std::function<void(QPainter& APainter)> OnOverlay;
  std::function<void(QMouseEvent* AEvent)> OnMousePress, OnMouseMove, OnMouseRelease;
  std::function<void(QWheelEvent* AEvent)> OnWheel;
  void SetBitmap(const QImage* ABitmap) { FBitmap = ABitmap; }

protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseMoveEvent(QMouseEvent* AEvent) override;
  void mouseReleaseEvent(QMouseEvent* AEvent) override;
  void wheelEvent(QWheelEvent* AEvent) override;

private:
  const QImage* FBitmap = nullptr;
};

// The palette a new line's colour is suggested from, and the suggestion
// after a last line of ALastColor (entry 0 when there is none).
TDqColor LinePaletteColor(int AIndex);
TDqColor SuggestLineColor(const TDqColor* ALastColor);

class TFrameGraphBase : public TDqFrame {
  Q_OBJECT
public:
  explicit TFrameGraphBase(QWidget* AOwner, const QColor& AColor);
  ~TFrameGraphBase() override;

  TDqTrendGraphList& Graphs() { return FGraphs; }
  TDqTrendGraph* ActiveGraph() const { return FActiveGraph; }
  const QImage& Bitmap() const { return FBitmap; }
  TGraphPaintBox* PaintBox() const { return FPaintBox; }
  QComboBox* ComboGraph() const { return FComboGraph; }
  QComboBox* ComboMinY() const { return FComboMinY; }
  QComboBox* ComboMaxY() const { return FComboMaxY; }
  TDqDrawGrid* GridLine() const { return FGridLine; }
  QPushButton* ButtonHide() const { return FButtonHide; }
  QFrame* PanelProfile() const { return FPanelProfile; }
  QFrame* PanelSplit() const { return FPanelSplit; }
  QToolButton* ButtonBMP() const { return FButtonBMP; }

  // Profile operations of the panel's buttons, without their dialogs.
  void LoadProfiles(int AIndex);
  void CreateProfile(const QString& AName);
  void RenameProfile(const QString& AName);
  void DeleteProfile(); // after the question
  void AddLine(std::unique_ptr<TDqTrendLine> ALine);
  void LineEdited();
  void DeleteSelectedLines(); // after the question
  void MoveLine(bool AUp);
  TDqColor NextLineColor() const;
  void SaveImage(const QString& AFileName, int AFilterIndex) const;
  void SetProfilePanelVisible(bool AVisible);
  // Splitter drag by ADelta pixels (positive: the panel narrows).
  void DragSplitter(int ADelta);

  virtual void ComboGraphChange() = 0;
  virtual void RenderGraph() = 0;
  void UpdateLineGrid();

protected:
  // The page that is told to reload after a change here.
  virtual void NotifyOtherPage() = 0;
  virtual void StopSampling() {}
  virtual void StartSampling() {}
  // The bracketed text and the value of a line's row in the grid.
  virtual QString LineRowBracket(const TDqTrendLine& ALine) const = 0;
  virtual QString LineRowValue(const TDqTrendLine& ALine) const = 0;
  // Where the range boxes and bottom controls sit, after the base layout.
  virtual void LayoutControls() {}
  virtual bool EditByDoubleClick() const { return true; }

  // Looks the box's text up among the profiles; sets FActiveGraph.
  bool FindChosenProfile();
  // A range box (editable, its tag in property "Tag"): choosing an item
  // runs RangeBoxChange, Enter and leaving it run RangeBoxLeave.
  QComboBox* NewRangeBox(const QString& AName, int ATag, const QStringList& AItems);
  virtual void RangeBoxChange(QComboBox* ABox) = 0;
  virtual void RangeBoxLeave(QComboBox* ABox) = 0;
  QLabel* NewLabel(const QString& AText);
  QToolButton* NewToolButton(const QString& AName, const QString& AText, const QString& AHint);
  static int BoxInteger(const QComboBox* ABox, int ADefault);
  void FillBitmapBackground();
  void resizeEvent(QResizeEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

  QImage FBitmap;
  TDqTrendGraphList FGraphs;
  TDqTrendGraph* FActiveGraph = nullptr;
  int FXSplit = -1;
  QColor FColor;
  TGraphPaintBox* FPaintBox = nullptr;
  QComboBox* FComboMinY = nullptr;
  QComboBox* FComboMaxY = nullptr;
  QComboBox* FComboGraph = nullptr;
  TDqDrawGrid* FGridLine = nullptr;
  QPushButton* FButtonHide = nullptr;
  QFrame* FPanelSplit = nullptr;
  QFrame* FPanelProfile = nullptr;
  QToolButton* FButtonBMP = nullptr;
  int FMinimumWidth = 734;

  void LayoutPage();
  // Called first by the subclasses' destructors.
  void DisconnectControls();

private:
  void ButtonCreateGraphClick();
  void ButtonRenameGraphClick();
  void ButtonDeleteGraphClick();
  void ButtonAddLineClick();
  void ButtonEditClick();
  void ButtonDeleteLineClick();
  void ButtonBMPClick();
  void DrawLineRow(QPainter& ACanvas, int ARow, const QRect& ARect);
  // Runs AWork with sampling stopped; sampling restarts whatever happens.
  void WithSamplingStopped(const std::function<void()>& AWork);
};
