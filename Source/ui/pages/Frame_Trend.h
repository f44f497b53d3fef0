// The Trend page: the live trend of a graph profile, sampled once a
// second from the controllers' latest readings; created first so that
// sampling runs whichever page is shown.
#pragma once

#include "Frame_GraphBase.h"

class QTimer;

class TFrameTrend : public TFrameGraphBase {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameTrend(QWidget* AOwner = nullptr);
  ~TFrameTrend() override;
  // Reloads the profiles (controllers or profiles changed elsewhere).
  void UpdateDevices();

  QComboBox* ComboMaxX() const { return FComboMaxX; }
  QTimer* TimerTrend() const { return FTimerTrend; }
  // One sampling tick: sample, render, update the line list.
  void TimerTrendTimer();
  void SampleLines();
  void ComboGraphChange() override;
  void RenderGraph() override;

  // The profile the page shows when it is next created (the demo's).
  static void RememberProfile(const QString& AName);

protected:
  void NotifyOtherPage() override;
  void StopSampling() override;
  void StartSampling() override;
  QString LineRowBracket(const TDqTrendLine& ALine) const override;
  QString LineRowValue(const TDqTrendLine& ALine) const override;
  void RangeBoxChange(QComboBox* ABox) override;
  void RangeBoxLeave(QComboBox* ABox) override;
  void LayoutControls() override;

private:
  void SetRangeValue(QComboBox* ABox, const QString& AText);
  QComboBox* FComboMaxX = nullptr;
  QTimer* FTimerTrend = nullptr;
};
