// The debug window ("(o-o)"): each line worker's queued events and the
// events it executed in its last pass, and the communication statistics of
// the controller picked above them (second box), for the developer.
#pragma once

#include <QDialog>

#include <array>
#include <memory>

class QComboBox;
class QPlainTextEdit;
class QTimer;
class QPushButton;

class TFormDebug : public QDialog {
  Q_OBJECT
public:
  explicit TFormDebug(QWidget* AOwner = nullptr);
  ~TFormDebug() override;

  QPlainTextEdit* Memo(int AIndex) const { return FMemos.at(static_cast<std::size_t>(AIndex)); }
  QPushButton* ButtonRefresh() const { return FButtonRefresh; }
  QComboBox* ComboController() const { return FComboController; }
  // The picked controller's statistics into the second box.
  void ShowStatistics();

  void FormShow();
  void ButtonRefreshClick() { FormShow(); }

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  void Detach();
  class TListing;

  void LoadControllers();
  std::array<QPlainTextEdit*, 4> FMemos{};
  QComboBox* FComboController;
  QTimer* FStatisticsTimer;
  QPushButton* FButtonRefresh;
  // The views the line workers write into (on their own threads).
  std::unique_ptr<TListing> FListing;
};
