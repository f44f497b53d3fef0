// The program page of the "Mode Setting" dialog ("Step Program Setting"):
// the live execution state, refreshed by every status poll while the page
// is enabled, and the RUN, PRG, HOLD and SKIP keys in their colours.
#pragma once

#include "Frame_ModeBase.h"

#include <array>

class QFrame;
class QLineEdit;
class TPushPanel;

class TFrameModeProgram : public TFrameModeBase {
  Q_OBJECT
public:
  explicit TFrameModeProgram(QWidget* AOwner = nullptr);
  ~TFrameModeProgram() override;

  void EnableAll(bool AValue) override;
  bool IsModify() const override { return false; }
  bool Writable() const override { return false; }
  void ReadMode() override { ReadProgramState(true); }
  void ReadProgramState(bool ARefresh);

  // The ten display edits: pattern time and its maximum, step and end
  // step, step time and the next, OUT1 PID and the next, OUT2 PID and the next.
  QLineEdit* Display(int AIndex) const { return FDisplay.at(static_cast<std::size_t>(AIndex)); }
  TPushPanel* PanelRun() const { return FPanelRun; }
  TPushPanel* PanelPrg() const { return FPanelPrg; }
  TPushPanel* PanelHold() const { return FPanelHold; }
  TPushPanel* PanelSkip() const { return FPanelSkip; }
  TPushPanel* PanelSetting() const { return FPanelSetting; }

  void PanelRunClick();
  void PanelPrgClick();
  void PanelHoldClick();
  void PanelSkipClick();
  void PanelSettingClick();
  // Opens the pattern editor (the dialog installs it).
  std::function<void(TTervoxDevice&)> OnSetting;

protected:
  bool LoadData() override;
  void SendData(TTervoxWriteNotify) override {}

private:
  void RefreshColors();

  QFrame* FPanel2;
  std::array<QLineEdit*, 10> FDisplay{};
  TPushPanel* FPanelRun;
  TPushPanel* FPanelPrg;
  TPushPanel* FPanelHold;
  TPushPanel* FPanelSkip;
  TPushPanel* FPanelSetting;
};
