// The "SMS" options page: the modem's port and provider, the test message,
// the alert repeat interval, the live signal, balance, refill, a test send
// and the modem's other output. It works on the program's one modem
// driver, opening it when SMS alerting has not, and lets it go on leaving
// unless SMS alerting is on.
#pragma once

#include "widgets/DqFrameList.h"
#include "comm/DqSMS.h"

#include <QTimer>

#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class TFrameOptionSMS : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionSMS(QWidget* AOwner = nullptr);
  ~TFrameOptionSMS() override;

  QComboBox* ComboSMSPort() const { return FComboSMSPort; }
  QComboBox* ComboProvider() const { return FComboProvider; }
  QPlainTextEdit* MemoMessage() const { return FMemoMessage; }
  QLineEdit* EditSendAgain() const { return FEditSendAgain; }
  QProgressBar* ProgressSignal() const { return FProgressSignal; }
  QLineEdit* EditRefillCode() const { return FEditRefillCode; }
  QPushButton* ButtonRefill() const { return FButtonRefill; }
  QLineEdit* MemoMobileNumber() const { return FMemoMobileNumber; }
  QPushButton* ButtonSend() const { return FButtonSend; }
  QPushButton* ButtonCheckBalance() const { return FButtonCheckBalance; }
  QLabel* LabelBalance() const { return FLabelBalance; }
  QPlainTextEdit* MemoReport() const { return FMemoReport; }
  QTimer* TimerSignal() { return &FTimerSignal; }
  TDqSMS* Modem() const { return FModem.get(); }

  // The state of the page once it has gone: the repeat interval stored, the
  // driver's handler given back, the driver let go unless SMS alerting is
  // on. Called by the destructor; safe to call twice.
  void Leave();

private:
  struct TLink;
  void ComboSMSPortChange();
  void ComboProviderChange();
  void SendAgainAccepted();
  void StepSendAgain(int AStep);
  // On the UI thread, with the values the driver reported.
  void ModemData(int ADataType, unsigned ASignal, bool ABalance, const QString& AText);

  QComboBox* FComboSMSPort;
  QComboBox* FComboProvider;
  QPlainTextEdit* FMemoMessage;
  QLineEdit* FEditSendAgain;
  QProgressBar* FProgressSignal;
  QLineEdit* FEditRefillCode;
  QPushButton* FButtonRefill;
  QLineEdit* FMemoMobileNumber;
  QPushButton* FButtonSend;
  QPushButton* FButtonCheckBalance;
  QLabel* FLabelBalance;
  QPlainTextEdit* FMemoReport;
  QTimer FTimerSignal;
  // Shared with the modem's worker, which may still be sending through it.
  std::shared_ptr<TDqSMS> FModem;
  TSMSDataEvent FOldOnData;
  std::shared_ptr<TLink> FLink;
  bool FLeft = false;
};
