#include "Frame_OptionSMS.h"

#include "core/DqRoutine.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_Alerts.h"
#include "ui/base/Main_Routine.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>
#include <mutex>

// The driver reports on its port's worker; the page may be gone by then.
struct TFrameOptionSMS::TLink {
  std::mutex Lock;
  TFrameOptionSMS* Page = nullptr;
};

namespace {

void ScrollToEnd(QPlainTextEdit* AMemo) { AMemo->verticalScrollBar()->setValue(AMemo->verticalScrollBar()->maximum()); }

} // namespace

TFrameOptionSMS::TFrameOptionSMS(QWidget* AOwner)
    : TDqFrame(AOwner), FComboSMSPort(new QComboBox(this)), FComboProvider(new QComboBox(this)),
      FMemoMessage(new QPlainTextEdit(this)), FEditSendAgain(new QLineEdit(this)), FProgressSignal(new QProgressBar(this)),
      FEditRefillCode(new QLineEdit(this)), FButtonRefill(new QPushButton(QStringLiteral("Refill"), this)),
      FMemoMobileNumber(new QLineEdit(this)), FButtonSend(new QPushButton(QStringLiteral("Send"), this)),
      FButtonCheckBalance(new QPushButton(QStringLiteral("Check Balance"), this)),
      FLabelBalance(new QLabel(QStringLiteral("Click to check balance information."), this)),
      FMemoReport(new QPlainTextEdit(this)), FLink(std::make_shared<TLink>()) {
  setObjectName(QStringLiteral("FrameOptionSMS"));
  FComboSMSPort->setObjectName(QStringLiteral("ComboSMSPort"));
  FComboProvider->setObjectName(QStringLiteral("ComboProvider"));
  FMemoMessage->setObjectName(QStringLiteral("MemoMessage"));
  FEditSendAgain->setObjectName(QStringLiteral("EditSendAgain"));
  FProgressSignal->setObjectName(QStringLiteral("ProgressSignal"));
  FEditRefillCode->setObjectName(QStringLiteral("EditRefillCode"));
  FButtonRefill->setObjectName(QStringLiteral("ButtonRefill"));
  FMemoMobileNumber->setObjectName(QStringLiteral("MemoMobileNumber"));
  FButtonSend->setObjectName(QStringLiteral("ButtonSend"));
  FButtonCheckBalance->setObjectName(QStringLiteral("ButtonCheckBalance"));
  FLabelBalance->setObjectName(QStringLiteral("LabelBalance"));
  FMemoReport->setObjectName(QStringLiteral("MemoReport"));
  FMemoReport->setReadOnly(true);
  FMemoMobileNumber->setToolTip(QStringLiteral("Ex.: 0811234567;0811234566"));
  FLabelBalance->setWordWrap(true);
  FProgressSignal->setOrientation(Qt::Vertical);
  FProgressSignal->setRange(0, 31);
  FProgressSignal->setTextVisible(false);
  FEditSendAgain->setAlignment(Qt::AlignRight);
  FEditSendAgain->setMaximumWidth(70);

  // Layout: settings on the left, the signal bar at the right edge, the
  // actions and the modem's report below.
  auto* settings = new QGridLayout;
  settings->addWidget(new QLabel(QStringLiteral("COM PORT:"), this), 0, 0);
  settings->addWidget(FComboSMSPort, 0, 1, 1, 3);
  settings->addWidget(new QLabel(QStringLiteral("Provider:"), this), 1, 0);
  settings->addWidget(FComboProvider, 1, 1, 1, 3);
  settings->addWidget(new QLabel(QStringLiteral("Message:"), this), 2, 0, Qt::AlignTop);
  settings->addWidget(FMemoMessage, 2, 1, 1, 3);
  settings->addWidget(new QLabel(QStringLiteral("Time to send again:"), this), 3, 0);
  auto* up = new QToolButton(this);
  up->setObjectName(QStringLiteral("ButtonSendAgainUp"));
  up->setArrowType(Qt::UpArrow);
  auto* down = new QToolButton(this);
  down->setObjectName(QStringLiteral("ButtonSendAgainDown"));
  down->setArrowType(Qt::DownArrow);
  auto* again = new QHBoxLayout;
  again->addWidget(FEditSendAgain);
  again->addWidget(up);
  again->addWidget(down);
  again->addWidget(new QLabel(QStringLiteral("Min."), this));
  again->addStretch(1);
  settings->addLayout(again, 3, 1, 1, 3);
  FMemoMessage->setMaximumHeight(70);

  auto* signal = new QVBoxLayout;
  signal->addWidget(FProgressSignal, 1, Qt::AlignHCenter);
  signal->addWidget(new QLabel(QStringLiteral("Signal"), this), 0, Qt::AlignHCenter);
  auto* top = new QHBoxLayout;
  top->addLayout(settings, 1);
  top->addLayout(signal);

  auto* refill = new QGroupBox(QStringLiteral(" Refill "), this);
  auto* refillLayout = new QHBoxLayout(refill);
  refillLayout->addWidget(new QLabel(QStringLiteral("PIN No.:"), refill));
  refillLayout->addWidget(FEditRefillCode, 1);
  refillLayout->addWidget(FButtonRefill);
  auto* test = new QGroupBox(QStringLiteral(" Test Send SMS "), this);
  auto* testLayout = new QHBoxLayout(test);
  testLayout->addWidget(new QLabel(QStringLiteral("Mobile No.:"), test));
  testLayout->addWidget(FMemoMobileNumber, 1);
  testLayout->addWidget(FButtonSend);
  auto* groups = new QHBoxLayout;
  groups->addWidget(refill, 1);
  groups->addWidget(test, 1);
  auto* balance = new QHBoxLayout;
  balance->addWidget(FButtonCheckBalance);
  balance->addWidget(FLabelBalance, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(groups);
  layout->addLayout(balance);
  layout->addWidget(FMemoReport, 1);

  // Opening the page.
  FProgressSignal->setValue(0);
  FMemoReport->clear();
  QStringList ports;
  ListComPorts(ports, true);
  FComboSMSPort->addItems(ports);
  FComboSMSPort->setCurrentIndex(FComboSMSPort->findText(Config()->GetValues(QStringLiteral("SMSPort"))));
  FEditSendAgain->setText(QString::number(TervoxAlerts::SMSSendAgain()));
  TTervoxDevice::OpenSMS();
  FModem = SMSModem();
  // A recorder owns the modem: the page keeps its settings, the recorder
  // opens it with them.
  if (!FModem) FModem = std::make_shared<TDqSMS>(false);
  TSMSProviderList& providers = FModem->Providers();
  for (int i = 0; i < providers.Count(); ++i) FComboProvider->addItem(providers.NameOfIndex(i));
  FModem->SetProviderName(Config()->GetValues(QStringLiteral("SMSProvider")));
  FComboProvider->setCurrentIndex(FModem->ProviderIndex());
  FMemoMessage->setPlainText(Config()->GetValues(QStringLiteral("SMSMessage")));

  FLink->Page = this;
  FOldOnData = FModem->OnData();
  FModem->SetOnData([link = FLink](TDqSMS* ASender, TSMSDataType ADataType) {
    // Taken here, on the worker: the parser moves on (the USSD mode is
    // cleared right after the answer is reported).
    const unsigned signal = ASender->Signal();
    const bool balance = ASender->USSDMode() == ussdBalance;
    QString text;
    if (ADataType == smsUSSD) text = ASender->USSDText();
    else if (ADataType == smsReceiveData) text = ASender->ReceiveData();
    std::lock_guard<std::mutex> guard(link->Lock);
    if (TFrameOptionSMS* page = link->Page)
      QMetaObject::invokeMethod(page, [page, ADataType, signal, balance, text] {
        page->ModemData(ADataType, signal, balance, text);
      }, Qt::QueuedConnection);
  });
  FTimerSignal.setInterval(1000);
  if (RemoteStation()) {
    // The page's modem here has no port: its buttons would wait for
    // answers that never come.
    for (QPushButton* button : {FButtonCheckBalance, FButtonRefill, FButtonSend}) button->setEnabled(false);
    FLabelBalance->setText(QStringLiteral("The recorder holds the modem: balance, refill and test messages are not "
                                          "available in this window."));
  } else {
    FModem->SendMessageCenterNumber();
    FModem->ReadSignal();
    connect(&FTimerSignal, &QTimer::timeout, this, [this] {
      if (FModem) FModem->ReadSignal();
    });
    FTimerSignal.start();
  }

  connect(FComboSMSPort, &QComboBox::activated, this, &TFrameOptionSMS::ComboSMSPortChange);
  connect(FComboProvider, &QComboBox::activated, this, &TFrameOptionSMS::ComboProviderChange);
  connect(FMemoMessage, &QPlainTextEdit::textChanged, this,
          [this] { Config()->SetValues(QStringLiteral("SMSMessage"), FMemoMessage->toPlainText()); });
  connect(FEditSendAgain, &QLineEdit::editingFinished, this, &TFrameOptionSMS::SendAgainAccepted);
  connect(up, &QToolButton::clicked, this, [this] { StepSendAgain(1); });
  connect(down, &QToolButton::clicked, this, [this] { StepSendAgain(-1); });
  connect(FButtonCheckBalance, &QPushButton::clicked, this, [this] {
    FLabelBalance->setText(QStringLiteral("Retrieving balance infomation from mobile network, please wait ..."));
    FModem->ReadBalance();
  });
  connect(FButtonRefill, &QPushButton::clicked, this, [this] { FModem->Refill(FEditRefillCode->text()); });
  connect(FButtonSend, &QPushButton::clicked, this,
          [this] { FModem->DeleteAndSendSMS(FMemoMobileNumber->text(), FMemoMessage->toPlainText()); });
}

TFrameOptionSMS::~TFrameOptionSMS() { Leave(); }

void TFrameOptionSMS::Leave() {
  if (FLeft) return;
  FLeft = true;
  FTimerSignal.stop();
  // The repeat interval as typed; text that is no number means 0.
  bool ok = false;
  const int minutes = FEditSendAgain->text().trimmed().toInt(&ok);
  TervoxAlerts::SetSMSSendAgain(ok ? minutes : 0);
  {
    std::lock_guard<std::mutex> guard(FLink->Lock);
    FLink->Page = nullptr;
  }
  if (FModem) FModem->SetOnData(FOldOnData);
  // Alerting holds the driver while it is on; a send still running on the
  // worker holds its own share, so letting go never frees it under a send.
  if (!Config()->GetValueBoolDef(QStringLiteral("SMSAlert"), false)) TTervoxDevice::CloseSMS();
  FModem.reset();
  MainStationSettingsChanged();
}

void TFrameOptionSMS::ComboSMSPortChange() {
  const QString port = FComboSMSPort->currentText();
  Config()->SetValues(QStringLiteral("SMSPort"), port);
  if (!RemoteStation()) FModem->OpenPort(port);
  FModem->ReadSignal();
}

void TFrameOptionSMS::ComboProviderChange() {
  FModem->SetProviderIndex(FComboProvider->currentIndex());
  Config()->SetValues(QStringLiteral("SMSProvider"), FModem->ProviderName());
  FModem->SendMessageCenterNumber();
}

void TFrameOptionSMS::SendAgainAccepted() {
  bool ok = false;
  const double value = FEditSendAgain->text().trimmed().toDouble(&ok);
  if (!ok) return; // not a value: left to the leaving rule
  const int minutes = static_cast<int>(std::lround(std::clamp(value, 0.0, 999.0)));
  FEditSendAgain->setText(QString::number(minutes));
  TervoxAlerts::SetSMSSendAgain(minutes);
}

void TFrameOptionSMS::StepSendAgain(int AStep) {
  bool ok = false;
  const int minutes = std::clamp(FEditSendAgain->text().trimmed().toInt(&ok) + AStep, 0, 999);
  FEditSendAgain->setText(QString::number(minutes));
  SendAgainAccepted();
}

void TFrameOptionSMS::ModemData(int ADataType, unsigned ASignal, bool ABalance, const QString& AText) {
  switch (ADataType) {
  case smsSignal: FProgressSignal->setValue(static_cast<int>(std::min(ASignal, 31u))); break;
  case smsUSSD:
    if (ABalance) {
      FLabelBalance->setText(AText);
    } else {
      FMemoReport->appendPlainText(AText);
      ScrollToEnd(FMemoReport);
    }
    break;
  case smsReceiveData:
    FMemoReport->moveCursor(QTextCursor::End);
    FMemoReport->insertPlainText(AText);
    ScrollToEnd(FMemoReport);
    break;
  default: break;
  }
}
