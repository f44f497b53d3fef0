#include "Sim_Modem.h"

#include "Sim_Pty.h"

#include <QDateTime>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

const char kCtrlZ = 26;
const char kEscape = 27;

QString HexToText(const QString& AHex) {
  QString text;
  for (qsizetype i = 0; i + 4 <= AHex.size(); i += 4) {
    bool ok = false;
    const uint code = AHex.mid(i, 4).toUInt(&ok, 16);
    text += QChar(static_cast<char16_t>(ok ? code : 0xFFFD));
  }
  return text;
}

QString TextToHex(const QString& AText) {
  QString hex;
  for (const QChar unit : AText) hex += QStringLiteral("%1").arg(unit.unicode(), 4, 16, QLatin1Char('0')).toUpper();
  return hex;
}

// The text between the first pair of double quotes.
QString Quoted(const QString& AText) {
  const qsizetype open = AText.indexOf(QLatin1Char('"'));
  if (open < 0) return QString();
  const qsizetype close = AText.indexOf(QLatin1Char('"'), open + 1);
  return close < 0 ? QString() : AText.mid(open + 1, close - open - 1);
}

QByteArray Info(const QString& ALine) { return "\r\n" + ALine.toLatin1() + "\r\n"; }

const QByteArray kOK = "\r\nOK\r\n";
const QByteArray kError = "\r\nERROR\r\n";

} // namespace

struct TSimModem::TState {
  struct TStored {
    int Index = 0;
    QString Status;
    QString Sender;
    QString Time;
    QString Body;
  };

  // Line state.
  QByteArray Line;
  bool AfterCR = false;
  bool InBody = false;
  QString BodyNumber;
  QByteArray Body;
  QByteArray Out; // what goes back after the current input

  // Settings.
  bool Echo = true;
  bool TextMode = false;
  int DataCoding = 0;
  QString MessageCenter = QStringLiteral("+66000000000");
  int Rssi = 17, Ber = 99;
  int BatteryMode = 0, BatteryLevel = 85;
  QString USSDText = QStringLiteral("Balance 100.00 Baht");
  bool USSDHex = false;
  int Reference = 0;
  std::vector<TStored> Stored;
  int NextIndex = 1;

  // Faults.
  bool RefuseSend = false;
  bool FailSubmit = false;
  bool Silent = false;
  int SubmitDelay = 0;

  // Log.
  QStringList Commands;
  std::vector<TSimSentSMS> Sent;
  QStringList USSDCodes;
};

TSimModem::TSimModem(const QString& ALink) : FPty(std::make_unique<TSimPty>(ALink)), FState(std::make_unique<TState>()) {}

TSimModem::~TSimModem() { Stop(); }

QString TSimModem::LinkPath() const { return FPty->LinkPath(); }

bool TSimModem::Start(QString* AError) {
  if (FThread.joinable()) return true;
  if (!FPty->Open(AError)) return false;
  if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (AError) *AError = QStringLiteral("pipe2 failed");
    FPty->Close();
    return false;
  }
  FStop = false;
  FThread = std::thread([this] { Run(); });
  return true;
}

void TSimModem::Wake() {
  const char wake = 1;
  [[maybe_unused]] ssize_t ignored = ::write(FWake[1], &wake, 1);
}

void TSimModem::Stop() {
  if (FThread.joinable()) {
    FStop = true;
    Wake();
    FThread.join();
  }
  FPty->Close();
  for (int& handle : FWake) {
    if (handle >= 0) ::close(handle);
    handle = -1;
  }
}

void TSimModem::Run() {
  while (!FStop) {
    const int line = FPty->Handle();
    pollfd descriptors[2] = {{FWake[0], POLLIN, 0}, {line, POLLIN, 0}};
    const int ready = poll(descriptors, 2, 200);
    if (ready < 0 && errno != EINTR) break;
    if (descriptors[0].revents & POLLIN) {
      char drain[64];
      while (::read(FWake[0], drain, sizeof drain) > 0) {
      }
    }
    if (descriptors[1].revents & POLLIN) {
      char buffer[512];
      ssize_t count;
      while ((count = ::read(line, buffer, sizeof buffer)) > 0) Receive(buffer, static_cast<int>(count));
    }
  }
}

// The master side is written by the modem thread and by Inject; a
// receiver that stops reading costs at most a second, never a hang.
void TSimModem::Write(const QByteArray& AData) {
  std::lock_guard<std::mutex> guard(FWriteLock);
  const int line = FPty->Handle();
  if (line < 0) return;
  const auto deadline = TClock::now() + std::chrono::seconds(1);
  qsizetype sent = 0;
  while (sent < AData.size() && !FStop && TClock::now() < deadline) {
    const ssize_t count = ::write(line, AData.constData() + sent, static_cast<size_t>(AData.size() - sent));
    if (count > 0) {
      sent += count;
    } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd descriptor{line, POLLOUT, 0};
      poll(&descriptor, 1, 50);
    } else {
      return;
    }
  }
}

void TSimModem::Receive(const char* AData, int ACount) {
  std::unique_lock<std::mutex> lock(FLock);
  TState& state = *FState;
  for (int i = 0; i < ACount; ++i) {
    const char c = AData[i];
    // The LF of a CR LF that ended a command line belongs to that line,
    // also when the command opened the message prompt.
    const bool afterCR = state.AfterCR;
    state.AfterCR = c == '\r';
    if (afterCR && c == '\n') continue;
    if (state.InBody) {
      if (c == kCtrlZ) {
        HandleBody();
        // The confirmation may come late, like a network's.
        const int delay = state.SubmitDelay;
        QByteArray echoed = std::move(state.Out);
        state.Out.clear();
        QByteArray confirmation;
        if (state.Silent) {
          // nothing
        } else if (state.FailSubmit) {
          confirmation = kError;
        } else {
          confirmation = "\r\n+CMGS: " + QByteArray::number(state.Reference) + "\r\n" + kOK;
        }
        lock.unlock();
        if (!echoed.isEmpty()) Write(echoed);
        const auto until = TClock::now() + std::chrono::milliseconds(delay);
        while (!FStop && TClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!confirmation.isEmpty()) Write(confirmation);
        lock.lock();
      } else if (c == kEscape) {
        state.InBody = false;
        state.Body.clear();
        state.Out += kOK;
      } else {
        state.Body += c;
        if (state.Echo && !state.Silent) state.Out += c;
      }
      continue;
    }
    if (c == '\n') continue; // lines end with CR
    if (state.Echo && !state.Silent) state.Out += c;
    if (c == '\r') {
      const QString command = QString::fromLatin1(state.Line).trimmed();
      state.Line.clear();
      if (!command.isEmpty()) HandleLine(command);
    } else {
      state.Line += c;
    }
  }
  const QByteArray out = std::move(state.Out);
  state.Out.clear();
  lock.unlock();
  if (!out.isEmpty()) Write(out);
}

// Caller holds FLock; answers go to FState->Out.
void TSimModem::HandleLine(const QString& ALine) {
  TState& state = *FState;
  state.Commands << ALine;
  if (state.Silent || !ALine.startsWith(QLatin1String("AT"), Qt::CaseInsensitive)) return;
  const QString command = ALine.mid(2);
  const QString upper = command.toUpper();
  QByteArray& out = state.Out;
  auto is = [&](const char* AName) { return upper == QLatin1String(AName); };
  auto starts = [&](const char* APrefix) { return upper.startsWith(QLatin1String(APrefix)); };
  auto argument = [&](const char* APrefix) { return command.mid(static_cast<qsizetype>(qstrlen(APrefix))); };

  if (upper.isEmpty() || is("Q0") || is("V1") || is("Z") || is("&W") || starts("+IPR=")) {
    out += kOK;
  } else if (is("E0") || is("E1")) {
    state.Echo = is("E1");
    out += kOK;
  } else if (starts("+CMGF=")) {
    const QString mode = argument("+CMGF=").trimmed();
    if (mode != QLatin1String("0") && mode != QLatin1String("1")) {
      out += kError;
      return;
    }
    state.TextMode = mode == QLatin1String("1");
    out += kOK;
  } else if (is("+CMGF?")) {
    out += Info(QStringLiteral("+CMGF: %1").arg(state.TextMode ? 1 : 0)) + kOK;
  } else if (starts("+CSCS=")) {
    out += Quoted(command).isEmpty() ? kError : kOK;
  } else if (starts("+CSMP=")) {
    const QStringList values = argument("+CSMP=").split(QLatin1Char(','));
    if (values.size() != 4) {
      out += kError;
      return;
    }
    state.DataCoding = values[3].trimmed().toInt();
    out += kOK;
  } else if (starts("+CSCA=")) {
    state.MessageCenter = Quoted(command);
    out += kOK;
  } else if (is("+CSCA?")) {
    out += Info(QStringLiteral("+CSCA: \"%1\",145").arg(state.MessageCenter)) + kOK;
  } else if (starts("+CMGS=")) {
    const QString number = Quoted(command);
    if (!state.TextMode || number.isEmpty() || state.RefuseSend) {
      out += kError;
      return;
    }
    state.BodyNumber = number;
    state.Body.clear();
    state.InBody = true;
    out += "\r\n> ";
  } else if (starts("+CMGD=")) {
    const int index = argument("+CMGD=").section(QLatin1Char(','), 0, 0).trimmed().toInt();
    std::erase_if(state.Stored, [index](const TState::TStored& AMessage) { return AMessage.Index == index; });
    out += kOK;
  } else if (starts("+CMGL")) {
    if (!state.TextMode) {
      out += kError;
      return;
    }
    QString wanted = Quoted(command).toUpper();
    if (wanted.isEmpty()) wanted = QStringLiteral("REC UNREAD");
    for (TState::TStored& message : state.Stored) {
      if (wanted != QLatin1String("ALL") && message.Status != wanted) continue;
      out += Info(QStringLiteral("+CMGL: %1,\"%2\",\"%3\",\"\",\"%4\"")
                      .arg(message.Index)
                      .arg(message.Status, message.Sender, message.Time))
                 .chopped(2);
      out += "\r\n" + message.Body.toLatin1() + "\r\n";
      if (message.Status == QLatin1String("REC UNREAD")) message.Status = QStringLiteral("REC READ");
    }
    out += kOK;
  } else if (starts("+CUSD=")) {
    const QString code = Quoted(command);
    const QString mode = argument("+CUSD=").section(QLatin1Char(','), 0, 0).trimmed();
    if (mode == QLatin1String("2")) {
      out += kOK;
      return;
    }
    if (code.isEmpty()) {
      out += kError;
      return;
    }
    state.USSDCodes << code;
    out += kOK;
    const QString text = state.USSDHex ? TextToHex(state.USSDText) : state.USSDText;
    out += Info(QStringLiteral("+CUSD: 0,\"%1\",%2").arg(text).arg(state.USSDHex ? 72 : 15));
  } else if (is("+CSQ")) {
    out += Info(QStringLiteral("+CSQ: %1,%2").arg(state.Rssi).arg(state.Ber)) + kOK;
  } else if (is("+CPAS")) {
    out += Info(QStringLiteral("+CPAS: 0")) + kOK;
  } else if (starts("+CREG=")) {
    out += kOK;
    if (argument("+CREG=").trimmed() == QLatin1String("1")) out += Info(QStringLiteral("+CREG: 1"));
  } else if (is("+CREG?")) {
    out += Info(QStringLiteral("+CREG: 0,1")) + kOK;
  } else if (is("+CBC")) {
    out += Info(QStringLiteral("+CBC: %1,%2,4100").arg(state.BatteryMode).arg(state.BatteryLevel)) + kOK;
  } else if (is("+CGMI") || is("+GMI")) {
    out += Info(QStringLiteral("TERVOX")) + kOK;
  } else if (is("+CGMM") || is("+GMM")) {
    out += Info(QStringLiteral("TVX-GSM1")) + kOK;
  } else if (is("+CGSN") || is("+GSN")) {
    out += Info(QStringLiteral("356938035643809")) + kOK;
  } else if (is("+CGMR") || is("+GMR")) {
    out += Info(QStringLiteral("Revision:TVX1.0")) + kOK;
  } else if (is("+CIMI")) {
    out += Info(QStringLiteral("520031234567890")) + kOK;
  } else if (is("+CNUM")) {
    out += Info(QStringLiteral("+CNUM: \"\",\"+66800000000\",145")) + kOK;
  } else {
    out += kError;
  }
}

// Caller holds FLock: the text typed at the prompt has ended with Ctrl-Z.
void TSimModem::HandleBody() {
  TState& state = *FState;
  state.InBody = false;
  TSimSentSMS message;
  message.Number = state.BodyNumber;
  message.Body = QString::fromLatin1(state.Body);
  message.DataCoding = state.DataCoding;
  message.Text = (state.DataCoding & 0x0C) == 0x08 ? HexToText(message.Body) : message.Body;
  state.Body.clear();
  if (state.FailSubmit) return;
  state.Reference = (state.Reference + 1) % 256;
  state.Sent.push_back(std::move(message));
}

QStringList TSimModem::Commands() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState->Commands;
}

int TSimModem::CommandCount(const QString& APrefix) const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<int>(std::count_if(FState->Commands.begin(), FState->Commands.end(), [&](const QString& ALine) {
    return ALine.startsWith(APrefix, Qt::CaseInsensitive);
  }));
}

std::vector<TSimSentSMS> TSimModem::Sent() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState->Sent;
}

QStringList TSimModem::USSDCodes() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState->USSDCodes;
}

void TSimModem::ClearLog() {
  std::lock_guard<std::mutex> guard(FLock);
  FState->Commands.clear();
  FState->Sent.clear();
  FState->USSDCodes.clear();
}

void TSimModem::SetRefuseSend(bool AOn) {
  std::lock_guard<std::mutex> guard(FLock);
  FState->RefuseSend = AOn;
}

void TSimModem::SetFailSubmit(bool AOn) {
  std::lock_guard<std::mutex> guard(FLock);
  FState->FailSubmit = AOn;
}

void TSimModem::SetSilent(bool AOn) {
  std::lock_guard<std::mutex> guard(FLock);
  FState->Silent = AOn;
}

void TSimModem::SetSubmitDelay(int AMilliseconds) {
  std::lock_guard<std::mutex> guard(FLock);
  FState->SubmitDelay = std::max(0, AMilliseconds);
}

void TSimModem::SetSignal(int ARssi, int ABer) {
  std::lock_guard<std::mutex> guard(FLock);
  FState->Rssi = ARssi;
  FState->Ber = ABer;
}

void TSimModem::SetBattery(int AMode, int ALevel) {
  std::lock_guard<std::mutex> guard(FLock);
  FState->BatteryMode = AMode;
  FState->BatteryLevel = ALevel;
}

void TSimModem::SetUSSDAnswer(const QString& AText, bool AHex) {
  std::lock_guard<std::mutex> guard(FLock);
  FState->USSDText = AText;
  FState->USSDHex = AHex;
}

int TSimModem::StoreMessage(const QString& ASender, const QString& ABody, const QString& AStatus) {
  int index = 0;
  bool announce = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    TState::TStored message;
    message.Index = index = FState->NextIndex++;
    message.Status = AStatus;
    message.Sender = ASender;
    message.Time = QDateTime::currentDateTime().toString(QStringLiteral("yy/MM/dd,hh:mm:ss")) + QStringLiteral("+28");
    message.Body = ABody;
    FState->Stored.push_back(message);
    announce = AStatus == QLatin1String("REC UNREAD") && !FState->Silent;
  }
  if (announce) Write(Info(QStringLiteral("+CMTI: \"SM\",%1").arg(index)));
  return index;
}

int TSimModem::StoredCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<int>(FState->Stored.size());
}

void TSimModem::Inject(const QString& AText) { Write(AText.toLatin1()); }

bool TSimModem::Echo() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState->Echo;
}

QString TSimModem::MessageCenter() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState->MessageCenter;
}

QString TSimModem::CommandHelp() {
  return QStringLiteral(
      "  refuse on|off            answer +CMGS with ERROR instead of the prompt\n"
      "  failsubmit on|off        answer a typed message with ERROR\n"
      "  silent on|off            read everything, answer nothing\n"
      "  delay MS                 confirm a message MS ms after it was typed\n"
      "  signal RSSI [BER]        the +CSQ values\n"
      "  battery MODE LEVEL       the +CBC values\n"
      "  ussd hex|plain TEXT      the answer to every USSD request\n"
      "  store SENDER TEXT        store a received message (announced with +CMTI)\n"
      "  inject TEXT              write TEXT and CR LF to the line\n"
      "  sent                     list the messages sent: NUMBER TEXT, one a line\n");
}

QString TSimModem::Execute(const QString& ACommand) {
  const QString simple = ACommand.simplified();
  const QStringList words = simple.split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (words.isEmpty()) return QStringLiteral("error: empty command");
  const QString command = words[0].toLower();
  auto error = [](const QString& AText) { return QStringLiteral("error: ") + AText; };
  auto rest = [&](int AFrom) { return simple.section(QLatin1Char(' '), AFrom); };
  auto onOff = [&](void (TSimModem::*ASetter)(bool)) {
    if (words.size() < 2 || (words[1] != QLatin1String("on") && words[1] != QLatin1String("off")))
      return error(QStringLiteral("say on or off"));
    (this->*ASetter)(words[1] == QLatin1String("on"));
    return QStringLiteral("ok");
  };
  if (command == QLatin1String("refuse")) return onOff(&TSimModem::SetRefuseSend);
  if (command == QLatin1String("failsubmit")) return onOff(&TSimModem::SetFailSubmit);
  if (command == QLatin1String("silent")) return onOff(&TSimModem::SetSilent);
  if (command == QLatin1String("delay")) {
    bool ok = false;
    const int delay = words.value(1).toInt(&ok);
    if (!ok || delay < 0) return error(QStringLiteral("bad delay"));
    SetSubmitDelay(delay);
    return QStringLiteral("ok");
  }
  if (command == QLatin1String("signal")) {
    bool ok = false;
    const int rssi = words.value(1).toInt(&ok);
    if (!ok) return error(QStringLiteral("bad signal"));
    SetSignal(rssi, words.size() > 2 ? words[2].toInt() : 99);
    return QStringLiteral("ok");
  }
  if (command == QLatin1String("battery")) {
    if (words.size() < 3) return error(QStringLiteral("say MODE LEVEL"));
    SetBattery(words[1].toInt(), words[2].toInt());
    return QStringLiteral("ok");
  }
  if (command == QLatin1String("ussd")) {
    if (words.size() < 3 || (words[1] != QLatin1String("hex") && words[1] != QLatin1String("plain")))
      return error(QStringLiteral("say hex or plain and the text"));
    SetUSSDAnswer(rest(2), words[1] == QLatin1String("hex"));
    return QStringLiteral("ok");
  }
  if (command == QLatin1String("store")) {
    if (words.size() < 3) return error(QStringLiteral("say SENDER TEXT"));
    return QStringLiteral("ok %1").arg(StoreMessage(words[1], rest(2)));
  }
  if (command == QLatin1String("inject")) {
    Inject(rest(1) + QStringLiteral("\r\n"));
    return QStringLiteral("ok");
  }
  if (command == QLatin1String("sent")) {
    QString listing = QStringLiteral("ok %1").arg(Sent().size());
    for (const TSimSentSMS& message : Sent()) listing += QStringLiteral("\n%1 %2").arg(message.Number, message.Text);
    return listing;
  }
  return error(QStringLiteral("unknown command ") + command);
}
