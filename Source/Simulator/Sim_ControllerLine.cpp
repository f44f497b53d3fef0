#include "Sim_ControllerLine.h"

#include "Sim_Controller.h"
#include "Sim_Pty.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

std::uint16_t CRC16(const char* AData, int ALength) {
  std::uint16_t crc = 0xFFFF;
  for (int i = 0; i < ALength; ++i) {
    crc ^= static_cast<std::uint8_t>(AData[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

bool CRCValid(const QByteArray& AFrame) {
  if (AFrame.size() < 4) return false;
  const int n = static_cast<int>(AFrame.size()) - 2;
  const std::uint16_t crc = CRC16(AFrame.constData(), n);
  return static_cast<std::uint8_t>(AFrame[n]) == (crc & 0xFF) && static_cast<std::uint8_t>(AFrame[n + 1]) == (crc >> 8);
}

void AppendCRC(QByteArray& AFrame) {
  const std::uint16_t crc = CRC16(AFrame.constData(), static_cast<int>(AFrame.size()));
  AFrame.append(static_cast<char>(crc & 0xFF));
  AFrame.append(static_cast<char>(crc >> 8));
}

void WriteAll(int AHandle, const char* AData, int ALength) {
  int sent = 0;
  while (sent < ALength) {
    const ssize_t count = ::write(AHandle, AData + sent, static_cast<size_t>(ALength - sent));
    if (count > 0) {
      sent += static_cast<int>(count);
    } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd descriptor{AHandle, POLLOUT, 0};
      if (poll(&descriptor, 1, 100) < 0 && errno != EINTR) return;
    } else {
      return;
    }
  }
}

} // namespace

struct TSimControllerLine::TSlave {
  std::unique_ptr<TSimController> Controller;
  bool Silent = false;
  bool CorruptCRC = false;
  bool WrongSlave = false;
  bool Slow = false;
  int SlowDelay = 500;
  int Requests = 0;
};

TSimControllerLine::TSimControllerLine(const QString& ALink, const std::vector<int>& AAddresses, int ABaud)
    : FPty(std::make_unique<TSimPty>(ALink)), FBaud(ABaud) {
  for (int address : AAddresses) {
    auto slave = std::make_unique<TSlave>();
    slave->Controller = std::make_unique<TSimController>(address);
    FSlaves[address] = std::move(slave);
  }
}

TSimControllerLine::~TSimControllerLine() { Stop(); }

QString TSimControllerLine::LinkPath() const { return FPty->LinkPath(); }

double TSimControllerLine::NowSeconds() const {
  return std::chrono::duration<double>(TClock::now().time_since_epoch()).count();
}

bool TSimControllerLine::Start(QString* AError) {
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

void TSimControllerLine::Stop() {
  if (FThread.joinable()) {
    FStop = true;
    const char wake = 1;
    [[maybe_unused]] ssize_t ignored = ::write(FWake[1], &wake, 1);
    FThread.join();
  }
  FPty->Close();
  for (int& handle : FWake) {
    if (handle >= 0) ::close(handle);
    handle = -1;
  }
  {
    std::lock_guard<std::mutex> guard(FLock);
    FPendingCommand = 0;
  }
  FCommandDone.notify_all();
}

void TSimControllerLine::RunLineCommand(bool APlug) {
  std::unique_lock<std::mutex> lock(FLock);
  if (!FThread.joinable()) {
    if (APlug)
      FPty->Open();
    else
      FPty->Close();
    return;
  }
  FPendingCommand = APlug ? 2 : 1;
  const char wake = 1;
  [[maybe_unused]] ssize_t ignored = ::write(FWake[1], &wake, 1);
  FCommandDone.wait(lock, [this] { return FPendingCommand == 0; });
}

void TSimControllerLine::Unplug() { RunLineCommand(false); }
void TSimControllerLine::Replug() { RunLineCommand(true); }

bool TSimControllerLine::Plugged() {
  std::lock_guard<std::mutex> guard(FLock);
  return FPty->Active();
}

void TSimControllerLine::SetFault(int AAddress, TSimFault AFault, bool AOn) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FSlaves.find(AAddress);
  if (it == FSlaves.end()) return;
  TSlave& slave = *it->second;
  switch (AFault) {
  case TSimFault::Silent: slave.Silent = AOn; break;
  case TSimFault::CorruptCRC: slave.CorruptCRC = AOn; break;
  case TSimFault::WrongSlave: slave.WrongSlave = AOn; break;
  case TSimFault::Slow: slave.Slow = AOn; break;
  }
}

void TSimControllerLine::SetSlowDelay(int AAddress, int AMilliseconds) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FSlaves.find(AAddress);
  if (it != FSlaves.end()) it->second->SlowDelay = std::max(0, AMilliseconds);
}

bool TSimControllerLine::WithController(int AAddress, const std::function<void(TSimController&)>& AFunction) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FSlaves.find(AAddress);
  if (it == FSlaves.end()) return false;
  it->second->Controller->Advance(NowSeconds());
  AFunction(*it->second->Controller);
  return true;
}

void TSimControllerLine::Run() {
  QByteArray pending;
  auto lastByte = TClock::now();
  // A frame ends after 3.5 quiet characters (at least 1.75 ms); with no
  // wire delay a short pause marks the end of a damaged frame.
  const auto gap = FBaud > 0 ? std::max(std::chrono::microseconds(38500000LL / FBaud), std::chrono::microseconds(1750))
                             : std::chrono::microseconds(3000);
  while (!FStop) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FPendingCommand != 0) {
        if (FPendingCommand == 2)
          FPty->Open();
        else
          FPty->Close();
        FPendingCommand = 0;
        pending.clear();
        FCommandDone.notify_all();
      }
    }
    const int line = FPty->Handle();
    pollfd descriptors[2] = {{FWake[0], POLLIN, 0}, {line, POLLIN, 0}};
    int timeout = 200;
    if (!pending.isEmpty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lastByte + gap - TClock::now());
      timeout = static_cast<int>(std::max<long long>(left.count(), 0)) + 1;
    }
    const int ready = poll(descriptors, line >= 0 ? 2 : 1, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (descriptors[0].revents & POLLIN) {
      char drain[64];
      while (::read(FWake[0], drain, sizeof drain) > 0) {
      }
    }
    if (line >= 0 && (descriptors[1].revents & POLLIN)) {
      char buffer[512];
      for (;;) {
        const ssize_t count = ::read(line, buffer, sizeof buffer);
        if (count <= 0) break;
        pending.append(buffer, static_cast<int>(count));
        lastByte = TClock::now();
      }
    }
    // Whole frames by their length; a frame for another slave is consumed
    // exactly, so the next one is read intact.
    while (pending.size() >= 2) {
      const std::uint8_t function = static_cast<std::uint8_t>(pending[1]);
      int length = -1;
      if (function >= 1 && function <= 6)
        length = 8;
      else if ((function == 15 || function == 16) && pending.size() >= 7)
        length = 9 + static_cast<std::uint8_t>(pending[6]);
      if (length < 0 || pending.size() < length) break;
      const QByteArray frame = pending.left(length);
      if (!CRCValid(frame)) break; // damaged: dropped after the gap
      pending.remove(0, length);
      HandleFrame(frame);
    }
    if (!pending.isEmpty() && TClock::now() - lastByte >= gap) {
      // The line fell silent: a frame of another function, or garbage.
      if (CRCValid(pending))
        HandleFrame(pending);
      else
        ++FDropped;
      pending.clear();
    }
  }
}

int TSimControllerLine::RequestCount(int AAddress) const {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FSlaves.find(AAddress);
  return it == FSlaves.end() ? 0 : it->second->Requests;
}

void TSimControllerLine::HandleFrame(const QByteArray& AFrame) {
  const int address = static_cast<std::uint8_t>(AFrame[0]);
  const QByteArray request = AFrame.mid(1, AFrame.size() - 3);
  QByteArray reply;
  int delay = 0;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (address == 0) {
      // Broadcast: every controller takes a write, nobody answers.
      for (auto& [served, slave] : FSlaves) slave->Controller->Process(request, NowSeconds());
      ++FIgnored;
      return;
    }
    auto it = FSlaves.find(address);
    if (it == FSlaves.end()) {
      ++FIgnored;
      return;
    }
    TSlave& slave = *it->second;
    ++slave.Requests;
    if (slave.Silent) return;
    const QByteArray answer = slave.Controller->Process(request, NowSeconds());
    const int replyAddress = slave.WrongSlave ? (address >= 247 ? 1 : address + 1) : address;
    reply.append(static_cast<char>(replyAddress));
    reply.append(answer);
    AppendCRC(reply);
    if (slave.CorruptCRC) reply[reply.size() - 1] = static_cast<char>(reply[reply.size() - 1] ^ 0x5A);
    if (slave.Slow) delay = slave.SlowDelay;
  }
  if (delay > 0) {
    const auto until = TClock::now() + std::chrono::milliseconds(delay);
    while (!FStop && TClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  SendReply(reply, static_cast<int>(AFrame.size()));
  ++FAnswered;
}

void TSimControllerLine::SendReply(const QByteArray& AFrame, int ARequestLength) {
  const int line = FPty->Handle();
  if (line < 0) return;
  if (FBaud <= 0) {
    WriteAll(line, AFrame.constData(), static_cast<int>(AFrame.size()));
    return;
  }
  // The request took its time on the wire too; then each byte of the
  // reply goes out at the line's pace (11 bits a character).
  const auto character = std::chrono::microseconds(11000000LL / FBaud);
  const auto start = TClock::now() + character * ARequestLength;
  for (int i = 0; i < AFrame.size(); ++i) {
    std::this_thread::sleep_until(start + character * (i + 1));
    WriteAll(line, AFrame.constData() + i, 1);
  }
}

QString TSimControllerLine::CommandHelp() {
  return QStringLiteral(
      "  silent ADDR on|off       the slave never answers\n"
      "  crc ADDR on|off          the slave answers with a damaged CRC\n"
      "  address ADDR on|off      the slave answers with another slave address\n"
      "  slow ADDR on|off [MS]    the slave answers after MS ms (default 500)\n"
      "  unplug                   hang the line up and remove the link\n"
      "  replug                   a fresh terminal under the same link\n"
      "  set ADDR REG VALUE       set a register (decimal, VALUE may be negative)\n"
      "  get ADDR REG             print a register\n"
      "  ident ADDR TEXT          set the 20-character identification\n");
}

QString TSimControllerLine::Execute(const QString& ACommand) {
  const QStringList words = ACommand.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (words.isEmpty()) return QStringLiteral("error: empty command");
  const QString command = words[0].toLower();
  auto error = [](const QString& AText) { return QStringLiteral("error: ") + AText; };
  if (command == QLatin1String("unplug")) {
    Unplug();
    return QStringLiteral("ok");
  }
  if (command == QLatin1String("replug")) {
    Replug();
    return Plugged() ? QStringLiteral("ok") : error(QStringLiteral("replug failed"));
  }
  if (words.size() < 2) return error(QStringLiteral("missing slave address"));
  bool numeric = false;
  const int address = words[1].toInt(&numeric);
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!numeric || FSlaves.find(address) == FSlaves.end()) return error(QStringLiteral("no slave ") + words[1]);
  }
  static const std::map<QString, TSimFault> faults = {{QStringLiteral("silent"), TSimFault::Silent},
                                                     {QStringLiteral("crc"), TSimFault::CorruptCRC},
                                                     {QStringLiteral("address"), TSimFault::WrongSlave},
                                                     {QStringLiteral("slow"), TSimFault::Slow}};
  if (auto fault = faults.find(command); fault != faults.end()) {
    if (words.size() < 3 || (words[2] != QLatin1String("on") && words[2] != QLatin1String("off")))
      return error(QStringLiteral("say on or off"));
    SetFault(address, fault->second, words[2] == QLatin1String("on"));
    if (fault->second == TSimFault::Slow && words.size() >= 4) SetSlowDelay(address, words[3].toInt());
    return QStringLiteral("ok");
  }
  if (command == QLatin1String("set") || command == QLatin1String("get")) {
    bool registerOk = false, valueOk = command == QLatin1String("get");
    const int reg = words.value(2).toInt(&registerOk);
    const int value = command == QLatin1String("set") ? words.value(3).toInt(&valueOk) : 0;
    if (!registerOk || reg < 0 || reg > 0xFFFF || !valueOk || value < -32768 || value > 65535)
      return error(QStringLiteral("bad register or value"));
    int result = 0;
    WithController(address, [&](TSimController& AController) {
      if (command == QLatin1String("set")) AController.SetRegister(static_cast<std::uint16_t>(reg), static_cast<std::uint16_t>(value));
      result = static_cast<std::int16_t>(AController.Register(static_cast<std::uint16_t>(reg)));
    });
    return QStringLiteral("ok %1").arg(result);
  }
  if (command == QLatin1String("ident")) {
    const QByteArray text = ACommand.simplified().section(QLatin1Char(' '), 2).toLatin1();
    if (text.size() != 20) return error(QStringLiteral("the identification has 20 characters"));
    WithController(address, [&](TSimController& AController) { AController.SetIdentification(text); });
    return QStringLiteral("ok");
  }
  return error(QStringLiteral("unknown command ") + command);
}
