// The "Database" options page: where the database file is, how many months
// of history it keeps (older history goes to the yearly archives), how
// fast it grows and how long its disk lasts, and its reset (behind the
// admin password).
#pragma once

#include "widgets/DqFrameList.h"
#include "plant/Tervox_Retention.h"

#include <QPointer>

#include <cstdint>
#include <memory>

class QDialog;
class TDqBackgroundTask;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TFrameOptionDatabase : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionDatabase(QWidget* AOwner = nullptr);
  ~TFrameOptionDatabase() override;

  // The Options window hosting the page; closed with OK to start a reset.
  QDialog* Form() const { return FForm; }
  void SetForm(QDialog* AForm) { FForm = AForm; }

  QLineEdit* EditDatabase() const { return FEditDatabase; }
  QPushButton* ButtonBrowse() const { return FButtonBrowse; }
  QPushButton* ButtonReset() const { return FButtonReset; }
  QSpinBox* SpinKeepMonths() const { return FSpinKeepMonths; }
  QLabel* LabelFileSize() const { return FLabelFileSize; }
  QLabel* LabelGrowth() const { return FLabelGrowth; }
  QLabel* LabelDaysLeft() const { return FLabelDaysLeft; }
  QLabel* LabelLastArchive() const { return FLabelLastArchive; }

  // Measures again off this thread (ANow and AFreeBytes for tests: the
  // clock and the disk when negative); the labels change when it is done.
  void Measure(double ANow = -1, std::int64_t AFreeBytes = -1);
  bool Measuring() const;

private:
  void ButtonResetClick();
  void ShowGrowth(const TDatabaseGrowth& AGrowth, const QString& AError);

  QLineEdit* FEditDatabase;
  QPushButton* FButtonBrowse;
  QPushButton* FButtonReset;
  QSpinBox* FSpinKeepMonths;
  QLabel* FLabelFileSize;
  QLabel* FLabelGrowth;
  QLabel* FLabelDaysLeft;
  QLabel* FLabelLastArchive;
  QPointer<QDialog> FForm;
  // The measurement reads every summarised minute: on a thread of its own,
  // cancelled when the page goes.
  std::unique_ptr<TDqBackgroundTask> FMeasurer;
};
