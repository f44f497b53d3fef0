// Mode page 5: the three event outputs (operation mode, gap, standby,
// latching, output characteristics, operating point, delay and timer) and
// the latching-release keys, which act at once. An event that is not
// fitted shows grey and is written as not there.
#pragma once

#include "Frame_ModeBase.h"

#include <QFrame>

#include <array>
#include <functional>

class QComboBox;
class QGroupBox;
class QLineEdit;

// A panel used as a push key: lowered while pressed, a click on release.
class TPushPanel : public QFrame {
public:
  TPushPanel(const QString& ACaption, const QColor& AColor, QWidget* AParent);
  std::function<void()> OnClick;

protected:
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseReleaseEvent(QMouseEvent* AEvent) override;
};

class TFrameMode5 : public TFrameModeBase {
  Q_OBJECT
public:
  explicit TFrameMode5(QWidget* AOwner = nullptr);

  QFrame* Panel2() const { return FPanel2; }
  QGroupBox* GroupEvent(int AIndex) const { return FGroupEvent.at(static_cast<std::size_t>(AIndex)); }
  QGroupBox* GroupDelay(int AIndex) const { return FGroupDelay.at(static_cast<std::size_t>(AIndex)); }
  QComboBox* ComboOpMode(int AIndex) const { return FComboOpMode.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditGap(int AIndex) const { return FEditGap.at(static_cast<std::size_t>(AIndex)); }
  QComboBox* ComboOutChar(int AIndex) const { return FComboOutChar.at(static_cast<std::size_t>(AIndex)); }
  QComboBox* ComboLatch(int AIndex) const { return FComboLatch.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditPoint(int AIndex) const { return FEditPoint.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditDelayON(int AIndex) const { return FEditDelayON.at(static_cast<std::size_t>(AIndex)); }
  // 0-2: EV 1 to EV 3, 3: ALL.
  TPushPanel* PanelRelease(int AIndex) const { return FPanelRelease.at(static_cast<std::size_t>(AIndex)); }

  static QStringList OperationModes();

protected:
  bool LoadData() override;
  void SendData(TTervoxWriteNotify ACallback) override;

private:
  QFrame* FPanel2;
  std::array<QGroupBox*, 3> FGroupEvent{}, FGroupDelay{};
  std::array<QComboBox*, 3> FComboOpMode{}, FComboStandby{}, FComboLatch{}, FComboOutChar{}, FComboDelay{},
      FComboTimerUnit{};
  std::array<QLineEdit*, 3> FEditGap{}, FEditPoint{}, FEditDelayON{}, FEditDelayOFF{}, FEditTimerON{}, FEditTimerOFF{};
  std::array<TPushPanel*, 4> FPanelRelease{};
};
