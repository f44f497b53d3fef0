// The Graph page: the history graph of a profile over a chosen window of
// recorded readings, with zooming, printing and the picture as a file.
#pragma once

#include "Frame_GraphBase.h"

#include <QLineEdit>

#include <memory>
#include <vector>

class TDqHistoryLoader;

// A date or time picker that also takes typed text: dates as day/month/year
// in the Buddhist era with an optional time, times as hour:minute:second.
class TGraphPicker : public QLineEdit {
  Q_OBJECT
public:
  enum TKind { pkDate, pkTime };
  TGraphPicker(TKind AKind, QWidget* AParent = nullptr);
  double Value() const { return FValue; }
  void SetValue(double AValue);
  // Reads the typed text; raises EDqException when it is not a date.
  void CommitText();

signals:
  void Changed();

protected:
  void keyPressEvent(QKeyEvent* AEvent) override;
  void focusOutEvent(QFocusEvent* AEvent) override;

private:
  void ShowValue();
  TKind FKind;
  double FValue = 0;
};

class TFrameGraph : public TFrameGraphBase {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameGraph(QWidget* AOwner = nullptr);
  ~TFrameGraph() override;
  // Reloads the profiles (controllers or profiles changed elsewhere).
  void UpdateDevices();
  // The profile the page shows when it is next created (the demo's), and
  // the window it opens on (else the designed one).
  static void RememberProfile(const QString& AName);
  static void RememberWindow(double AFirst, double ALast);

  TGraphPicker* PickerFirstDate() const { return FPickerFirstDate; }
  TGraphPicker* PickerFirstTime() const { return FPickerFirstTime; }
  TGraphPicker* PickerLastDate() const { return FPickerLastDate; }
  TGraphPicker* PickerLastTime() const { return FPickerLastTime; }
  QToolButton* ButtonPrint() const { return FButtonPrint; }
  QToolButton* ButtonSetting() const { return FButtonSetting; }
  TDqHistoryLoader* Loader() const { return FLoader.get(); }
  // The graph rectangle inside the bitmap, and its plot area.
  QRect GraphRect() const;
  // True while the lines' readings for the current picture are being read.
  bool Reading() const;
  int ReadCount() const { return FReadCount; }
  bool Dragging() const { return FDraging; }

  void ApplyRange();
  void ComboGraphChange() override;
  void RenderGraph() override;
  void ZoomIn();
  void ZoomOut();
  void ZoomRect(const QPoint& AFrom, const QPoint& ATo);
  void PickerChange();
  // Prints the shown profile on APrinter (already set up). Its readings
  // are read first behind a progress window; Cancel there prints nothing
  // and returns false.
  bool PrintGraph(class QPrinter& APrinter);

protected:
  void NotifyOtherPage() override;
  QString LineRowBracket(const TDqTrendLine& ALine) const override;
  QString LineRowValue(const TDqTrendLine& ALine) const override;
  void RangeBoxChange(QComboBox* ABox) override;
  void RangeBoxLeave(QComboBox* ABox) override;
  void LayoutControls() override;
  bool EditByDoubleClick() const override { return false; }

private:
  // The window becomes [ALow, AHigh] in AParts of its own width and height.
  void ZoomWindow(int ALow, int AHigh, int AParts);
  void SetBoundFromBox(QComboBox* ABox);
  void ButtonPrintClick();
  void ButtonSettingClick();
  void StartReading(std::vector<TDqHistoryRequest> ARequests);
  const TDqHistorySeries* SeriesOf(const TDqTrendLine& ALine, const QRect& APlot) const;
  void RememberPickers();

  TGraphPicker* FPickerFirstDate = nullptr;
  TGraphPicker* FPickerFirstTime = nullptr;
  TGraphPicker* FPickerLastDate = nullptr;
  TGraphPicker* FPickerLastTime = nullptr;
  QToolButton* FButtonPrint = nullptr;
  QToolButton* FButtonSetting = nullptr;
  int FDragX = 0, FDragY = 0, FPosX = 0, FPosY = 0;
  bool FDraging = false;
  bool FChanging = false;
  // Readings of the current picture: what was asked, what came back.
  std::unique_ptr<TDqHistoryLoader> FLoader;
  std::vector<TDqHistoryRequest> FShownRequests;
  std::vector<TDqHistorySeries> FShownSeries;
  std::vector<TDqHistoryRequest> FPendingRequests;
  std::uint64_t FPendingGeneration = 0;
  bool FStale = false; // read again at the next picture
  int FReadCount = 0;
};
