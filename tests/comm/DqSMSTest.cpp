// The modem driver against the simulated modem over a real pseudo-terminal.
#include "comm/DqPort.h"
#include "comm/DqSMS.h"
#include "sim/Sim_Modem.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace tervox_test;

namespace {

const QString kThai = QString(QChar(0x0E22)) + QChar(0x0E2D) + QChar(0x0E14);

bool WaitFor(const std::function<bool()>& APredicate, int AMilliseconds = 20000) {
  return QTest::qWaitFor(APredicate, AMilliseconds);
}

// What the driver reported, recorded from its worker.
class TReports {
public:
  void Attach(TDqSMS& ASMS) {
    ASMS.SetOnData([this](TDqSMS* ASender, TSMSDataType AType) {
      std::lock_guard<std::mutex> guard(FLock);
      FTypes.push_back(AType);
      FModes.push_back(ASender->USSDMode());
    });
    ASMS.SetOnSendFailed([this](TDqSMS*, const QString& ANumbers) {
      std::lock_guard<std::mutex> guard(FLock);
      FFailed << ANumbers;
      FFailedOnMain = FFailedOnMain || QThread::currentThread() == qApp->thread();
    });
  }
  int Count(TSMSDataType AType) {
    std::lock_guard<std::mutex> guard(FLock);
    return static_cast<int>(std::count(FTypes.begin(), FTypes.end(), AType));
  }
  // The USSD mode when AType was last reported.
  TSMSUSSDType ModeAt(TSMSDataType AType) {
    std::lock_guard<std::mutex> guard(FLock);
    for (std::size_t i = FTypes.size(); i-- > 0;)
      if (FTypes[i] == AType) return FModes[i];
    return ussdNone;
  }
  QStringList Failed() {
    std::lock_guard<std::mutex> guard(FLock);
    return FFailed;
  }
  bool FailedOnMain() {
    std::lock_guard<std::mutex> guard(FLock);
    return FFailedOnMain;
  }

private:
  std::mutex FLock;
  std::vector<TSMSDataType> FTypes;
  std::vector<TSMSUSSDType> FModes;
  QStringList FFailed;
  bool FFailedOnMain = false;
};

// Message boxes the driver asked for.
class TFakeNotifier {
public:
  explicit TFakeNotifier(std::function<void()> AWhileShown = nullptr) {
    TDqSMS::SetErrorNotifier([this, AWhileShown](const QString& AMessage) {
      Messages << AMessage;
      OnMainThread = OnMainThread && QThread::currentThread() == qApp->thread();
      if (AWhileShown) AWhileShown();
    });
  }
  ~TFakeNotifier() { TDqSMS::SetErrorNotifier(nullptr); }
  QStringList Messages;
  bool OnMainThread = true;
};

class DqSMSTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(FModem.Start());
  }

  // A driver on the modem, initialised.
  std::unique_ptr<TDqSMS> OpenDriver(bool AThreadMonitor = false) {
    auto sms = std::make_unique<TDqSMS>(AThreadMonitor, FModem.LinkPath());
    EXPECT_TRUE(sms->Active());
    EXPECT_TRUE(WaitFor([&] { return FModem.CommandCount(QStringLiteral("AT&W")) == 1; }));
    EXPECT_EQ(sms->Port()->Thread()->WaitForExecute(10000), 0u); // the set-up's replies parsed
    FReports.Attach(*sms);
    return sms;
  }

  TempDir FDir;
  TSimModem FModem{FDir.Path(QStringLiteral("GSM"))};
  TReports FReports;
};

TEST_F(DqSMSTest, OpeningConfiguresTheLineAndInitialisesTheModem) {
  auto sms = OpenDriver();
  const TDqPortData& data = sms->Port()->PortData();
  EXPECT_EQ(data.BaudRate, 115200);
  EXPECT_EQ(data.DataBits, 8);
  EXPECT_EQ(data.StopBits, 0);
  EXPECT_EQ(data.Parity, 0);
  EXPECT_FALSE(sms->Port()->FixTimeOut());
  EXPECT_EQ(FModem.Commands(), (QStringList{QStringLiteral("ATQ0"), QStringLiteral("ATE1"),
                                            QStringLiteral("AT+IPR=115200"), QStringLiteral("AT&W")}));
  EXPECT_EQ(sms->ProviderIndex(), -1);
  EXPECT_EQ(sms->Providers().Count(), 3);

  TDqSMS missing(false, FDir.Path(QStringLiteral("NOTHING")));
  EXPECT_FALSE(missing.Active());
  EXPECT_FALSE(missing.OpenPort(FDir.Path(QStringLiteral("NOTHING"))));
}

// Numbers go last first, blank entries are skipped, the body is UCS-2 and
// each number gets the text-mode set-up before its +CMGS.
TEST_F(DqSMSTest, SendsToEveryNumberLastFirstInUCS2) {
  auto sms = OpenDriver();
  sms->SetProviderName(QStringLiteral("DTAC"));
  FModem.ClearLog();
  const QString text = QStringLiteral("Oven 1 EV1 High Alarm 105.0 ") + kThai;
  sms->SendSMS(QStringLiteral("0811234567; ;0811234566"), text);
  ASSERT_TRUE(WaitFor([&] { return FModem.Sent().size() == 2; }));
  const std::vector<TSimSentSMS> sent = FModem.Sent();
  EXPECT_EQ(sent[0].Number, QStringLiteral("0811234566"));
  EXPECT_EQ(sent[1].Number, QStringLiteral("0811234567"));
  for (const TSimSentSMS& message : sent) {
    EXPECT_EQ(message.Text, text);
    EXPECT_EQ(message.Body, TDqSMS::EncodeUCS2(text));
    EXPECT_EQ(message.DataCoding, 8);
  }
  const QStringList setUp = {QStringLiteral("AT+CMGF=1"), QStringLiteral("AT+CSCS=\"GSM\""),
                             QStringLiteral("AT+CSMP=17,167,0,8")};
  EXPECT_EQ(FModem.Commands(), setUp + QStringList{QStringLiteral("AT+CMGS=\"0811234566\"")} + setUp +
                                   QStringList{QStringLiteral("AT+CMGS=\"0811234567\"")});
  EXPECT_TRUE(WaitFor([&] { return sms->Port()->Thread()->WaitForExecute(100) == 0; }));
  EXPECT_TRUE(sms->FailedNumber().isEmpty());
  EXPECT_TRUE(FReports.Failed().isEmpty());
}

// How the modem confirms (or not) a typed message.
TEST_F(DqSMSTest, ConfirmationDecidesWhetherANumberFailed) {
  struct TCase {
    const char* Name;
    int Delay;
    bool FailSubmit;
    bool Sent;
  };
  const TCase cases[] = {{"at once", 0, false, true},
                         {"after a network delay", 1200, false, true},
                         {"refused after typing", 0, true, false}};
  auto sms = OpenDriver();
  sms->SetProviderIndex(1);
  for (const TCase& example : cases) {
    SCOPED_TRACE(example.Name);
    FModem.SetSubmitDelay(example.Delay);
    FModem.SetFailSubmit(example.FailSubmit);
    const int before = static_cast<int>(FReports.Failed().size());
    FModem.ClearLog();
    sms->SendSMS(QStringLiteral("0811111111;0822222222"), QStringLiteral("Loss signal"));
    ASSERT_TRUE(WaitFor([&] { return FModem.CommandCount(QStringLiteral("AT+CMGS=")) == 2; }));
    ASSERT_TRUE(WaitFor([&] { return sms->Port()->Thread()->WaitForExecute(100) == 0; }));
    EXPECT_EQ(FModem.Sent().size(), example.Sent ? 2u : 0u);
    EXPECT_EQ(FModem.CommandCount(QStringLiteral("AT+CMGS=")), 2); // no retry of a typed message
    if (example.Sent) {
      EXPECT_TRUE(sms->FailedNumber().isEmpty());
      EXPECT_EQ(FReports.Failed().size(), before);
    } else {
      EXPECT_EQ(sms->FailedNumber(), QStringLiteral("0822222222;0811111111"));
      ASSERT_EQ(FReports.Failed().size(), before + 1);
      EXPECT_EQ(FReports.Failed().last(), QStringLiteral("0822222222;0811111111"));
    }
  }
  EXPECT_FALSE(FReports.FailedOnMain());
}

TEST_F(DqSMSTest, RefusedPromptIsTriedTenTimesThenTheNumberFails) {
  auto sms = OpenDriver();
  sms->SetProviderName(QStringLiteral("TRUE"));
  FModem.SetRefuseSend(true);
  FModem.ClearLog();
  sms->SendSMS(QStringLiteral("0899999999"), QStringLiteral("EV2 Low Alarm"));
  ASSERT_TRUE(WaitFor([&] { return FReports.Failed().size() == 1; }, 60000));
  EXPECT_EQ(FReports.Failed().first(), QStringLiteral("0899999999"));
  EXPECT_EQ(sms->FailedNumber(), QStringLiteral("0899999999"));
  EXPECT_EQ(FModem.CommandCount(QStringLiteral("AT+CMGS=\"0899999999\"")), 10);
  EXPECT_EQ(FModem.CommandCount(QStringLiteral("AT+CMGF=1")), 1);
  EXPECT_TRUE(FModem.Sent().empty());

  // The next job starts with an empty list of failures.
  FModem.SetRefuseSend(false);
  sms->SendSMS(QStringLiteral("0899999999"), QStringLiteral("EV2 Low Alarm"));
  ASSERT_TRUE(WaitFor([&] { return FModem.Sent().size() == 1; }));
  EXPECT_TRUE(WaitFor([&] { return sms->FailedNumber().isEmpty(); }));
  EXPECT_EQ(FReports.Failed().size(), 1);
}

TEST_F(DqSMSTest, SignalIsTakenAndItsLineRemoved) {
  auto sms = OpenDriver();
  FModem.SetSignal(17, 99);
  sms->ReadSignal();
  ASSERT_TRUE(WaitFor([&] { return FReports.Count(smsSignal) == 1; }));
  EXPECT_EQ(sms->Signal(), 17u);
  EXPECT_TRUE(WaitFor([&] { return sms->Port()->Thread()->WaitForExecute(100) == 0; }));
  EXPECT_EQ(sms->ReceiveData(), QString());
  EXPECT_EQ(FReports.Count(smsReceiveData), 0);
  sms->ClosePort();
  EXPECT_EQ(sms->Signal(), 0u);
}

// USSD answers: hexadecimal UCS-2 is decoded, anything else taken as it is;
// the report sees the request's mode, which then returns to none.
TEST_F(DqSMSTest, USSDAnswersByProviderAndMode) {
  struct TCase {
    const char* Provider;
    std::function<void(TDqSMS&)> Request;
    QString Answer;
    bool Hex;
    QString Code;
    TSMSUSSDType Mode;
    QString PlainText;
  };
  const TCase cases[] = {
      {"DTAC", [](TDqSMS& A) { A.ReadBalance(); }, kThai, true, QStringLiteral("*101*9#"), ussdBalance,
       QStringLiteral("0E220E2D0E14")},
      {"AIS", [](TDqSMS& A) { A.ReadBalance(); }, QStringLiteral("Balance 12.50 Baht"), false, QStringLiteral("*121#"),
       ussdBalance, QStringLiteral("Balance 12.50 Baht")},
      {"AIS", [](TDqSMS& A) { A.Refill(QStringLiteral("12345678901234")); }, QStringLiteral("Refill done"), false,
       QStringLiteral("*120*12345678901234#"), ussdRefill, QStringLiteral("Refill done")},
      {"TRUE", [](TDqSMS& A) { A.Refill(QStringLiteral("5555")); }, QStringLiteral("OK 5555"), false,
       QStringLiteral("*123*5555#"), ussdRefill, QStringLiteral("OK 5555")},
      {"TRUE", [](TDqSMS& A) { A.Dial(QStringLiteral("*999#")); }, QStringLiteral("Menu"), false,
       QStringLiteral("*999#"), ussdDial, QStringLiteral("Menu")},
  };
  auto sms = OpenDriver();
  int reports = 0;
  for (const TCase& example : cases) {
    SCOPED_TRACE(example.Code.toStdString());
    sms->SetProviderName(QString::fromLatin1(example.Provider));
    FModem.SetUSSDAnswer(example.Answer, example.Hex);
    FModem.ClearLog();
    example.Request(*sms);
    ASSERT_TRUE(WaitFor([&] { return FReports.Count(smsUSSD) == reports + 1; }));
    ++reports;
    EXPECT_EQ(FModem.USSDCodes(), QStringList{example.Code});
    EXPECT_EQ(FModem.Commands(),
              (QStringList{QStringLiteral("AT+CMGF=0"), QStringLiteral("AT+CUSD=1,\"%1\"").arg(example.Code)}));
    EXPECT_EQ(sms->USSDText(), example.Answer);
    EXPECT_EQ(sms->USSDPlainText(), example.PlainText);
    EXPECT_EQ(FReports.ModeAt(smsUSSD), example.Mode);
    EXPECT_EQ(sms->USSDMode(), ussdNone);
  }
  sms->ClosePort();
  EXPECT_EQ(sms->USSDText(), QString());
}

TEST_F(DqSMSTest, ProviderSelectionAndMessageCentre) {
  auto sms = OpenDriver();
  struct TBuiltIn {
    const char* Name;
    const char* Center;
    const char* Balance;
    const char* Refill;
  };
  const TBuiltIn builtIn[] = {{"DTAC", "+66816110400", "*101*9#", "*100*xxxx#"},
                              {"AIS", "+66818110888", "*121#", "*120*xxxx#"},
                              {"TRUE", "+66891009120", "#123#", "*123*xxxx#"}};
  ASSERT_EQ(sms->Providers().Count(), 3);
  for (int i = 0; i < 3; ++i) {
    const TSMSProvider* provider = sms->Providers().GetProvider(i);
    EXPECT_EQ(provider->Name, QString::fromLatin1(builtIn[i].Name));
    EXPECT_EQ(provider->MessageCenterNumber, QString::fromLatin1(builtIn[i].Center));
    EXPECT_EQ(provider->BalanceCode, QString::fromLatin1(builtIn[i].Balance));
    EXPECT_EQ(provider->RefillCode, QString::fromLatin1(builtIn[i].Refill));
  }
  struct TSelect {
    std::function<void()> Select;
    QString Expected;
  };
  const TSelect selections[] = {{[&] { sms->SetProviderIndex(1); }, QStringLiteral("AIS")},
                                {[&] { sms->SetProviderIndex(3); }, QString()},
                                {[&] { sms->SetProviderName(QStringLiteral("TRUE")); }, QStringLiteral("TRUE")},
                                {[&] { sms->SetProviderName(QStringLiteral("true")); }, QString()},
                                {[&] { sms->SetProviderIndex(-1); }, QString()},
                                {[&] { sms->SetProviderIndex(0); }, QStringLiteral("DTAC")}};
  for (const TSelect& selection : selections) {
    selection.Select();
    EXPECT_EQ(sms->ProviderName(), selection.Expected);
    EXPECT_EQ(sms->Provider() == nullptr, selection.Expected.isEmpty());
  }
  EXPECT_EQ(sms->Providers().NameOfIndex(3), QString());
  sms->Providers().AddProvider(QStringLiteral("AIS"));
  EXPECT_EQ(sms->Providers().IndexOfName(QStringLiteral("AIS")), 3); // from the last
  EXPECT_THROW(sms->Providers().GetProvider(4), EDqException);

  sms->SetProviderName(QStringLiteral("DTAC"));
  sms->SetProviderIndex(1);
  FModem.ClearLog();
  sms->SendMessageCenterNumber();
  ASSERT_TRUE(WaitFor([&] { return FModem.MessageCenter() == QStringLiteral("+66818110888"); }));
  EXPECT_EQ(FModem.Commands(), QStringList{QStringLiteral("AT+CSCA=\"+66818110888\"")});
}

TEST_F(DqSMSTest, InformationFillsEveryField) {
  FModem.SetBattery(1, 64);
  FModem.SetSignal(23, 0);
  auto sms = OpenDriver();
  sms->ReadInformation();
  ASSERT_TRUE(WaitFor([&] { return FReports.Count(smsBattery) == 1; }));
  EXPECT_EQ(sms->ManufacturerName(), QStringLiteral("TERVOX"));
  EXPECT_EQ(sms->ManufacturerID(), QStringLiteral("TERVOX"));
  EXPECT_EQ(sms->Model(), QStringLiteral("TVX-GSM1"));
  EXPECT_EQ(sms->IMEI(), QStringLiteral("356938035643809"));
  EXPECT_EQ(sms->SoftwareVersion(), QStringLiteral("Revision:TVX1.0"));
  EXPECT_EQ(sms->IMSI(), QStringLiteral("520031234567890"));
  EXPECT_EQ(sms->ISDN(), QStringLiteral("+CNUM: \"\",\"+66800000000\",145"));
  EXPECT_EQ(sms->NetworkStatus(), 1u);
  EXPECT_EQ(sms->Signal(), 23u);
  EXPECT_EQ(sms->BatteryMode(), 1u);
  EXPECT_EQ(sms->BatteryLevel(), 64u);
  for (TSMSDataType type : {smsManufacturerName, smsManufacturerID, smsModel, smsIMEI, smsVersion, smsIMSI, smsISDN,
                            smsActivityStatus, smsNetworkStatus, smsSignal, smsBattery})
    EXPECT_EQ(FReports.Count(type), 1) << static_cast<int>(type);
  EXPECT_EQ(FReports.Count(smsUSSD), 0);
}

TEST_F(DqSMSTest, StoredMessagesAreListedDecodedAndDeleted) {
  auto sms = OpenDriver(true);
  FModem.StoreMessage(QStringLiteral("+66811111111"), QStringLiteral("0E220E2D0E14"), QStringLiteral("REC READ"));
  const int second = FModem.StoreMessage(QStringLiteral("+66822222222"), QStringLiteral("Hello"));
  // A new message announces itself; the port's watch picks it up.
  ASSERT_TRUE(WaitFor([&] { return FReports.Count(smsNewMessage) == 1; }));
  EXPECT_EQ(sms->NewSMSType(), QStringLiteral("SM"));
  EXPECT_EQ(sms->NewSMSLocation(), static_cast<std::uint32_t>(second));

  sms->ReadSMS();
  ASSERT_TRUE(WaitFor([&] { return FReports.Count(smsMessages) == 3; })); // two lines, then the end
  const TSMSMessageList messages = sms->Messages();
  ASSERT_EQ(messages.Count(), 2);
  EXPECT_EQ(messages.GetSMS(0)->ID, QStringLiteral("1"));
  EXPECT_EQ(messages.GetSMS(0)->Title, QStringLiteral("REC READ"));
  EXPECT_EQ(messages.GetSMS(0)->Sender, QStringLiteral("+66811111111"));
  EXPECT_EQ(messages.GetSMS(0)->Detail, QString());
  EXPECT_FALSE(messages.GetSMS(0)->SendTime.isEmpty());
  EXPECT_EQ(messages.GetSMS(0)->PlainText, QStringLiteral("0E220E2D0E14"));
  EXPECT_EQ(messages.GetSMS(0)->Text, kThai);
  EXPECT_EQ(messages.GetSMS(1)->Title, QStringLiteral("REC UNREAD"));
  EXPECT_EQ(messages.GetSMS(1)->Text, QStringLiteral("Hello"));

  sms->DeleteSMS(1);
  EXPECT_TRUE(WaitFor([&] { return FModem.StoredCount() == 1; }));
  sms->ReadSMS();
  ASSERT_TRUE(WaitFor([&] { return FReports.Count(smsMessages) == 5; }));
  ASSERT_EQ(sms->Messages().Count(), 1);
  EXPECT_EQ(sms->Messages().GetSMS(0)->Sender, QStringLiteral("+66822222222"));
}

TEST(DqSMSText, EncodingAndDecoding) {
  EXPECT_EQ(TDqSMS::EncodeUCS2(QStringLiteral("A")), QStringLiteral("0041"));
  EXPECT_EQ(TDqSMS::EncodeUCS2(kThai + QStringLiteral("z")), QStringLiteral("0E220E2D0E14007A"));
  struct TCase {
    QString Input;
    QString Decoded;
  };
  const TCase cases[] = {{QStringLiteral("0E220E2D0E14"), kThai},
                         {QStringLiteral("004100420"), QStringLiteral("AB")}, // short tail dropped
                         {QStringLiteral("00410XYZ"), QStringLiteral("A") + QChar(0)},
                         {QStringLiteral("Balance 5 Baht"), QStringLiteral("Balance 5 Baht")},
                         {QString(), QString()}};
  for (const TCase& example : cases) EXPECT_EQ(TDqSMS::DecodeText(example.Input), example.Decoded) << qPrintable(example.Input);
}

TEST(DqSMSText, ResponseFields) {
  struct TCase {
    QString Line;
    QString Prefix;
    QStringList Fields; // "#n" a number, else a text
  };
  const TCase cases[] = {
      {QStringLiteral("+CMTI: \"SM\",3"), QStringLiteral("+CMTI"), {QStringLiteral("SM"), QStringLiteral("#3")}},
      {QStringLiteral("+CSQ: 17,99"), QStringLiteral("+CSQ"), {QStringLiteral("#17"), QStringLiteral("#99")}},
      {QStringLiteral("+csq: 5,0"), QStringLiteral("+CSQ"), {QStringLiteral("#5"), QStringLiteral("#0")}},
      {QStringLiteral("+CMGL: 1,\"REC READ\",\"+668\",\"\",\"16/01/05,13:45:10+28\""),
       QStringLiteral("+CMGL"),
       {QStringLiteral("#1"), QStringLiteral("REC READ"), QStringLiteral("+668"), QString(),
        QStringLiteral("16/01/05,13:45:10+28")}},
      {QStringLiteral("+CUSD: 0,\"say \"\"hi\"\"\",15"), QStringLiteral("+CUSD"),
       {QStringLiteral("#0"), QStringLiteral("say \"hi\""), QStringLiteral("#15")}},
      {QStringLiteral("+CBC: 0,,x"), QStringLiteral("+CBC"), {QStringLiteral("#0"), QStringLiteral("#0"), QStringLiteral("#0")}},
      {QStringLiteral("+CSQ 17,99"), QStringLiteral("+CSQ"), {}},
      {QStringLiteral("+CSQX: 17"), QStringLiteral("+CSQ"), {}},
  };
  for (const TCase& example : cases) {
    SCOPED_TRACE(example.Line.toStdString());
    const std::vector<TSMSField> fields = TDqSMS::SplitFields(example.Line, example.Prefix);
    QStringList seen;
    for (const TSMSField& field : fields)
      seen << (field.IsText ? field.Text : QStringLiteral("#%1").arg(field.Number));
    EXPECT_EQ(seen, example.Fields);
  }
}

// No provider or a closed port: one box on the UI thread, from any thread,
// never blocking the caller, never two at once, and nothing queued.
TEST_F(DqSMSTest, MissingProviderShowsOneBoxOnTheUiThread) {
  const QString text = QStringLiteral("Please select provider before sending SMS.");
  auto sms = OpenDriver();
  {
    TFakeNotifier notifier;
    sms->SendSMS(QStringLiteral("0811111111"), QStringLiteral("x")); // UI thread: at once
    EXPECT_EQ(notifier.Messages, QStringList{text});

    // From a worker, as an alarm would: posted, and one for the burst.
    std::thread worker([&] {
      for (int i = 0; i < 5; ++i) sms->SendSMS(QStringLiteral("0811111111"), QStringLiteral("x"));
    });
    worker.join();
    EXPECT_EQ(notifier.Messages.size(), 1);
    EXPECT_TRUE(WaitFor([&] { return notifier.Messages.size() == 2; }));
    QTest::qWait(50);
    EXPECT_EQ(notifier.Messages.size(), 2);
    EXPECT_TRUE(notifier.OnMainThread);
  }
  {
    // While a box is up, further requests are dropped; afterwards they show.
    TDqSMS* driver = sms.get();
    TFakeNotifier notifier([driver] {
      std::thread worker([driver] { driver->SendSMS(QStringLiteral("0811111111"), QStringLiteral("x")); });
      worker.join();
      QTest::qWait(50); // a modal box runs the event loop
      driver->SendSMS(QStringLiteral("0811111111"), QStringLiteral("x"));
    });
    sms->ClosePort();
    sms->SetProviderIndex(0);
    std::thread worker([&] { sms->SendSMS(QStringLiteral("0811111111"), QStringLiteral("x")); });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return notifier.Messages.size() == 1; }));
    QTest::qWait(100);
    EXPECT_EQ(notifier.Messages.size(), 1);
  }
  // Nothing was queued: a request made afterwards is the modem's first.
  ASSERT_TRUE(sms->OpenPort(FModem.LinkPath()));
  sms->SetProviderIndex(-1);
  FModem.ClearLog();
  {
    TFakeNotifier notifier;
    sms->SendSMS(QStringLiteral("0811111111"), QStringLiteral("x"));
    EXPECT_EQ(notifier.Messages.size(), 1);
  }
  sms->ReadSignal();
  ASSERT_TRUE(WaitFor([&] { return FModem.CommandCount(QStringLiteral("AT+CSQ")) == 1; }));
  EXPECT_EQ(FModem.CommandCount(QStringLiteral("AT+CMG")), 0);
}

// Closing or destroying the driver in the middle of a long send job ends
// the job early and waits for it: nothing runs on a freed driver.
TEST_F(DqSMSTest, ClosingOrDestroyingDuringASendEndsTheJob) {
  FModem.SetRefuseSend(true);
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroy" : "close");
    auto sms = OpenDriver();
    sms->SetProviderIndex(0);
    FModem.ClearLog();
    sms->SendSMS(QStringLiteral("0811111111;0822222222"), QStringLiteral("x"));
    ASSERT_TRUE(WaitFor([&] { return FModem.CommandCount(QStringLiteral("AT+CMGS=")) >= 2; }));
    if (destroy) {
      sms.reset();
    } else {
      sms->ClosePort();
      EXPECT_FALSE(sms->Active());
    }
    const int tries = FModem.CommandCount(QStringLiteral("AT+CMGS="));
    EXPECT_LT(tries, 10);
    QTest::qWait(600); // a job still running would try again by now
    EXPECT_EQ(FModem.CommandCount(QStringLiteral("AT+CMGS=")), tries);
    if (!destroy) {
      // The port opens again with a fresh worker and works.
      FModem.SetRefuseSend(false);
      ASSERT_TRUE(sms->OpenPort(FModem.LinkPath()));
      sms->SendSMS(QStringLiteral("0833333333"), QStringLiteral("again"));
      ASSERT_TRUE(WaitFor([&] { return FModem.Sent().size() == 1; }));
      EXPECT_EQ(FModem.Sent()[0].Text, QStringLiteral("again"));
      FModem.SetRefuseSend(true);
    }
  }
}

} // namespace
