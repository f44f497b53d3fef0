// The debug window ("(o-o)"): the communication worker's queued events and
// the event it is executing, for the developer.
#pragma once

#include <QDialog>

#include <array>
#include <memory>

class QPlainTextEdit;
class QPushButton;
class TDqEventMemo;

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

  std::array<QPlainTextEdit*, 4> FMemos{};
  QPushButton* FButtonRefresh;
  // The views the worker writes into (on its own thread).
  std::unique_ptr<TDqEventMemo> FEventMemo;
  std::unique_ptr<TDqEventMemo> FWorkMemo;
};
