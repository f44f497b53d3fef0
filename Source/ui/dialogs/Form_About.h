// The About window: the product picture in a borderless rounded window, the
// version and a notice; a click on the picture closes it.
#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;

class TFormAbout : public QDialog {
  Q_OBJECT
public:
  explicit TFormAbout(QWidget* AOwner = nullptr);

  QLabel* ImageAbout() const { return FImageAbout; }
  QLabel* LabelVersion() const { return FLabelVersion; }
  QPlainTextEdit* MemoNotice() const { return FMemoNotice; }

protected:
  void showEvent(QShowEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void FormShow();
  void ImageAboutClick();

  QLabel* FImageAbout;
  QLabel* FLabelVersion;
  QPlainTextEdit* FMemoNotice;
};
