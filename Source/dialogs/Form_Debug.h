// The debug window ("(o-o)"): each line worker's queued events and the
// events it executed in its last pass, for the developer.
#pragma once

#include <QDialog>

#include <array>
#include <memory>

class QPlainTextEdit;
class QPushButton;

class TFormDebug : public QDialog {
  Q_OBJECT
public:
  explicit TFormDebug(QWidget* AOwner = nullptr);
  ~TFormDebug() override;

  QPlainTextEdit* Memo(int AIndex) const { return FMemos.at(static_cast<std::size_t>(AIndex)); }
  QPushButton* ButtonRefresh() const { return FButtonRefresh; }

  void FormShow();
  void ButtonRefreshClick() { FormShow(); }

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  void Detach();
  class TListing;

  std::array<QPlainTextEdit*, 4> FMemos{};
  QPushButton* FButtonRefresh;
  // The views the line workers write into (on their own threads).
  std::unique_ptr<TListing> FListing;
};
