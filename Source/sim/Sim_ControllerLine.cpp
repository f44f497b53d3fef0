#include "Sim_ControllerLine.h"

#include "Sim_Controller.h"
#include "Sim_Pty.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
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

// Sockets are written with send: a peer gone never raises SIGPIPE in a
// test that serves in-process.
void WriteAll(int AHandle, const char* AData, int ALength, bool ASocket = false) {
  int sent = 0;
  while (sent < ALength) {
    const ssize_t count = ASocket ? ::send(AHandle, AData + sent, static_cast<size_t>(ALength - sent), MSG_NOSIGNAL)
                                  : ::write(AHandle, AData + sent, static_cast<size_t>(ALength - sent));
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

// The length of the request frame at the start of APending, by its
// function code; -1 while too little of it has come to tell.
int RequestFrameLength(const QByteArray& APending) {
  const std::uint8_t function = static_cast<std::uint8_t>(APending[1]);
  if (function >= 1 && function <= 6) return 8;
  if ((function == 15 || function == 16) && APending.size() >= 7) return 9 + static_cast<std::uint8_t>(APending[6]);
  return -1;
}

} // namespace

struct TSimControllerLine::TSlave {
  std::unique_ptr<TSimController> Controller;
  bool Silent = false;
  bool CorruptCRC = false;
  bool WrongSlave = false;
  bool Slow = false;
  int SlowDelay = 500;
  bool Exception = false;
  int ExceptionCode = 4;
  bool Transaction = false;
  bool Cut = false;
  bool Trickle = false;
  int Requests = 0;
};

struct TSimControllerLine::TReply {
  QByteArray Frame; // RTU, with its CRC
  int RequestLength = 0;
  int Delay = 0;
  bool Cut = false;
  bool Trickle = false;
  bool WrongTransaction = false;
  bool BadLength = false;
};

TSimControllerLine::TSimControllerLine(const QString& ALink, const std::vector<int>& AAddresses, int ABaud)
    : FPty(std::make_unique<TSimPty>(ALink)), FBaud(ABaud) {
  for (int address : AAddresses) {
    auto slave = std::make_unique<TSlave>();
    slave->Controller = std::make_unique<TSimController>(address);
    FSlaves[address] = std::move(slave);
  }
}

TSimControllerLine::TSimControllerLine(TSimLineMode AMode, int ATcpPort, const std::vector<int>& AAddresses,
                                       const QString& ABindAddress)
    : FBaud(0), FMode(AMode), FBindAddress(ABindAddress.isEmpty() ? QStringLiteral("127.0.0.1") : ABindAddress),
      FTcpPort(ATcpPort) {
  if (FMode == TSimLineMode::Pty) FPty = std::make_unique<TSimPty>(QStringLiteral("tervox-sim"));
  for (int address : AAddresses) {
    auto slave = std::make_unique<TSlave>();
    slave->Controller = std::make_unique<TSimController>(address);
    FSlaves[address] = std::move(slave);
  }
}

TSimControllerLine::~TSimControllerLine() { Stop(); }

QString TSimControllerLine::LinkPath() const { return FPty ? FPty->LinkPath() : QString(); }

bool TSimControllerLine::OpenListener(QString* AError) {
  if (FListen >= 0) return true;
  const bool v6 = FBindAddress.contains(QLatin1Char(':'));
  const int handle = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (handle < 0) {
    if (AError) *AError = QStringLiteral("socket failed");
    return false;
  }
  int on = 1;
  setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage storage{};
  socklen_t length = 0;
  const QByteArray host = FBindAddress.toLatin1();
  bool parsed = false;
  if (v6) {
    auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(static_cast<std::uint16_t>(FTcpPort.load()));
    parsed = inet_pton(AF_INET6, host.constData(), &address->sin6_addr) == 1;
    length = sizeof(sockaddr_in6);
  } else {
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<std::uint16_t>(FTcpPort.load()));
    parsed = inet_pton(AF_INET, host.constData(), &address->sin_addr) == 1;
    length = sizeof(sockaddr_in);
  }
  if (!parsed || ::bind(handle, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(handle, 16) != 0) {
    if (AError)
      *AError = QStringLiteral("cannot listen on %1 port %2: %3")
                    .arg(FBindAddress)
                    .arg(FTcpPort.load())
                    .arg(QString::fromLocal8Bit(parsed ? std::strerror(errno) : "bad address"));
    ::close(handle);
    return false;
  }
  length = sizeof storage;
  if (getsockname(handle, reinterpret_cast<sockaddr*>(&storage), &length) == 0)
    FTcpPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  FListen = handle;
  return true;
}

void TSimControllerLine::CloseListener() {
  if (FListen >= 0) ::close(FListen);
  FListen = -1;
}

bool TSimControllerLine::Wait(int AMilliseconds) {
  const auto until = TClock::now() + std::chrono::milliseconds(AMilliseconds);
  while (!FStop && TClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return !FStop;
}

bool TSimControllerLine::WaitWhilePeerListens(int AHandle, int AMilliseconds) {
  const auto until = TClock::now() + std::chrono::milliseconds(AMilliseconds);
  while (!FStop && TClock::now() < until) {
    pollfd descriptor{AHandle, POLLRDHUP, 0};
    if (poll(&descriptor, 1, 5) > 0 && (descriptor.revents & (POLLRDHUP | POLLHUP | POLLERR))) return false;
  }
  return !FStop;
}

double TSimControllerLine::NowSeconds() const {
  return std::chrono::duration<double>(TClock::now().time_since_epoch()).count();
}

bool TSimControllerLine::Start(QString* AError) {
  if (FThread.joinable()) return true;
  if (FPty ? !FPty->Open(AError) : !OpenListener(AError)) return false;
  if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (AError) *AError = QStringLiteral("pipe2 failed");
    if (FPty) FPty->Close();
    CloseListener();
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
  if (FPty) FPty->Close();
  CloseListener();
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
    if (FPty && APlug)
      FPty->Open();
    else if (FPty)
      FPty->Close();
    else if (APlug)
      OpenListener(nullptr);
    else
      CloseListener();
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
  return FPty ? FPty->Active() : FListen >= 0;
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
  case TSimFault::Exception: slave.Exception = AOn; break;
  case TSimFault::Transaction: slave.Transaction = AOn; break;
  case TSimFault::Cut: slave.Cut = AOn; break;
  case TSimFault::Trickle: slave.Trickle = AOn; break;
  }
}

void TSimControllerLine::SetExceptionCode(int AAddress, int ACode) {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FSlaves.find(AAddress);
  if (it != FSlaves.end()) it->second->ExceptionCode = std::clamp(ACode, 1, 255);
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
  if (FPty)
    RunPty();
  else
    RunNetwork();
}

void TSimControllerLine::RunPty() {
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
      const int length = RequestFrameLength(pending);
      if (length < 0 || pending.size() < length) break;
      const QByteArray frame = pending.left(length);
      if (!CRCValid(frame)) break; // damaged: dropped after the gap
      pending.remove(0, length);
      TReply reply;
      if (HandleFrame(frame, reply)) DeliverPty(reply);
    }
    if (!pending.isEmpty() && TClock::now() - lastByte >= gap) {
      // The line fell silent: a frame of another function, or garbage.
      TReply reply;
      if (!CRCValid(pending))
        ++FDropped;
      else if (HandleFrame(pending, reply))
        DeliverPty(reply);
      pending.clear();
    }
  }
}

void TSimControllerLine::RunNetwork() {
  struct TClient {
    int Handle = -1;
    QByteArray Pending;
    TClock::time_point LastByte;
    bool Closed = false;
  };
  std::vector<TClient> clients;
  auto closeAll = [&] {
    for (TClient& client : clients) ::close(client.Handle);
    clients.clear();
    FConnections = 0;
  };
  const bool mbap = FMode == TSimLineMode::Tcp;
  const auto gap = std::chrono::microseconds(3000);
  while (!FStop) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FPendingCommand != 0) {
        if (FPendingCommand == 2) {
          OpenListener(nullptr);
        } else {
          CloseListener();
          closeAll();
        }
        FPendingCommand = 0;
        FCommandDone.notify_all();
      }
    }
    std::vector<pollfd> descriptors{{FWake[0], POLLIN, 0}};
    if (FListen >= 0) descriptors.push_back({FListen, POLLIN, 0});
    const std::size_t first = descriptors.size();
    int timeout = 200;
    for (const TClient& client : clients) {
      descriptors.push_back({client.Handle, POLLIN, 0});
      if (!mbap && !client.Pending.isEmpty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(client.LastByte + gap - TClock::now());
        timeout = std::min(timeout, static_cast<int>(std::max<long long>(left.count(), 0)) + 1);
      }
    }
    const int ready = poll(descriptors.data(), descriptors.size(), timeout);
    if (ready < 0 && errno != EINTR) break;
    if (descriptors[0].revents & POLLIN) {
      char drain[64];
      while (::read(FWake[0], drain, sizeof drain) > 0) {
      }
    }
    if (FListen >= 0 && (descriptors[1].revents & POLLIN)) {
      for (;;) {
        const int handle = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle < 0) break;
        int on = 1;
        setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        clients.push_back(TClient{handle, {}, TClock::now(), false});
      }
    }
    for (std::size_t i = 0; i + first < descriptors.size() && i < clients.size(); ++i) {
      TClient& client = clients[i];
      if (!(descriptors[i + first].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      for (;;) {
        const ssize_t count = ::recv(client.Handle, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count > 0) {
          client.Pending.append(buffer, static_cast<int>(count));
          client.LastByte = TClock::now();
          continue;
        }
        if (count == 0 || (errno != EAGAIN && errno != EINTR)) client.Closed = true;
        break;
      }
    }
    for (TClient& client : clients) {
      QByteArray& pending = client.Pending;
      if (mbap) {
        while (!client.Closed && pending.size() >= 7) {
          const int length = BigEndianWord(pending, 4);
          if (BigEndianWord(pending, 2) != 0 || length < 2 || length > 254) {
            client.Closed = true; // not Modbus TCP: the connection goes
            break;
          }
          if (pending.size() < 6 + length) break;
          const std::uint16_t transaction = BigEndianWord(pending, 0);
          QByteArray frame = pending.mid(6, length);
          pending.remove(0, 6 + length);
          AppendCRC(frame);
          TReply reply;
          if (HandleFrame(frame, reply) && !Deliver(client.Handle, reply, transaction)) client.Closed = true;
        }
        continue;
      }
      // RTU frames through: as on the wire, by length, else by the gap.
      while (!client.Closed && pending.size() >= 2) {
        const int length = RequestFrameLength(pending);
        if (length < 0 || pending.size() < length) break;
        const QByteArray frame = pending.left(length);
        if (!CRCValid(frame)) break;
        pending.remove(0, length);
        TReply reply;
        if (HandleFrame(frame, reply) && !Deliver(client.Handle, reply, 0)) client.Closed = true;
      }
      if (!client.Closed && !pending.isEmpty() && TClock::now() - client.LastByte >= gap) {
        TReply reply;
        if (!CRCValid(pending))
          ++FDropped;
        else if (HandleFrame(pending, reply) && !Deliver(client.Handle, reply, 0))
          client.Closed = true;
        pending.clear();
      }
    }
    for (auto it = clients.begin(); it != clients.end();) {
      if (it->Closed) {
        ::close(it->Handle);
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
    FConnections = static_cast<int>(clients.size());
  }
  closeAll();
}

bool TSimControllerLine::Deliver(int AHandle, const TReply& AReply, std::uint16_t ATransaction) {
  QByteArray out;
  if (FMode == TSimLineMode::Tcp) {
    const QByteArray pdu = AReply.Frame.mid(1, AReply.Frame.size() - 3);
    AppendBigEndianWord(out, AReply.WrongTransaction ? static_cast<std::uint16_t>(ATransaction + 1) : ATransaction);
    AppendBigEndianWord(out, 0);
    AppendBigEndianWord(out, AReply.BadLength ? 0 : static_cast<std::uint16_t>(pdu.size() + 1));
    out.append(AReply.Frame[0]);
    out.append(pdu);
  } else {
    out = AReply.Frame;
  }
  if (AReply.Delay > 0 && !Wait(AReply.Delay)) return false;
  if (AReply.Cut) {
    WriteAll(AHandle, out.constData(), static_cast<int>(out.size() / 2), true);
    return false;
  }
  if (AReply.Trickle) {
    // A client that gave up on the reply and closed stops the trickle:
    // the line serves its next connection at once, as a gateway would.
    for (int i = 0; i < out.size(); ++i) {
      WriteAll(AHandle, out.constData() + i, 1, true);
      if (i + 1 < out.size() && !WaitWhilePeerListens(AHandle, 1000)) return false;
    }
    return true;
  }
  WriteAll(AHandle, out.constData(), static_cast<int>(out.size()), true);
  return true;
}

int TSimControllerLine::RequestCount(int AAddress) const {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FSlaves.find(AAddress);
  return it == FSlaves.end() ? 0 : it->second->Requests;
}

bool TSimControllerLine::HandleFrame(const QByteArray& AFrame, TReply& AReply) {
  const int address = static_cast<std::uint8_t>(AFrame[0]);
  const QByteArray request = AFrame.mid(1, AFrame.size() - 3);
  QByteArray reply;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (address == 0) {
      // Broadcast: every controller takes a write, nobody answers.
      for (auto& [served, slave] : FSlaves) slave->Controller->Process(request, NowSeconds());
      ++FIgnored;
      return false;
    }
    auto it = FSlaves.find(address);
    if (it == FSlaves.end()) {
      ++FIgnored;
      return false;
    }
    TSlave& slave = *it->second;
    ++slave.Requests;
    if (slave.Silent) return false;
    QByteArray answer = slave.Controller->Process(request, NowSeconds());
    if (slave.Exception) {
      answer = QByteArray(1, static_cast<char>((request.isEmpty() ? 3 : static_cast<std::uint8_t>(request[0])) | 0x80));
      answer.append(static_cast<char>(slave.ExceptionCode));
    }
    const int replyAddress = slave.WrongSlave ? (address >= 247 ? 1 : address + 1) : address;
    reply.append(static_cast<char>(replyAddress));
    reply.append(answer);
    AppendCRC(reply);
    if (slave.CorruptCRC) {
      if (FMode == TSimLineMode::Tcp)
        AReply.BadLength = true;
      else
        reply[reply.size() - 1] = static_cast<char>(reply[reply.size() - 1] ^ 0x5A);
    }
    if (slave.Slow) AReply.Delay = slave.SlowDelay;
    AReply.WrongTransaction = slave.Transaction;
    AReply.Cut = slave.Cut;
    AReply.Trickle = slave.Trickle;
  }
  AReply.Frame = reply;
  AReply.RequestLength = static_cast<int>(AFrame.size());
  ++FAnswered;
  return true;
}

void TSimControllerLine::DeliverPty(const TReply& AReply) {
  if (AReply.Delay > 0 && !Wait(AReply.Delay)) return;
  const int line = FPty->Handle();
  if (line < 0) return;
  if (AReply.Cut) {
    WriteAll(line, AReply.Frame.constData(), static_cast<int>(AReply.Frame.size() / 2));
    return;
  }
  if (AReply.Trickle) {
    for (int i = 0; i < AReply.Frame.size(); ++i) {
      WriteAll(line, AReply.Frame.constData() + i, 1);
      if (i + 1 < AReply.Frame.size() && !Wait(1000)) return;
    }
    return;
  }
  SendReply(AReply.Frame, AReply.RequestLength);
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
      "  exception ADDR on|off [CODE]  the slave answers with exception CODE (default 4)\n"
      "  transaction ADDR on|off  Modbus TCP: the reply carries another transaction id\n"
      "  cut ADDR on|off          half the reply, then (network) the connection is closed\n"
      "  trickle ADDR on|off      the reply goes out one byte a second\n"
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
                                                     {QStringLiteral("slow"), TSimFault::Slow},
                                                     {QStringLiteral("exception"), TSimFault::Exception},
                                                     {QStringLiteral("transaction"), TSimFault::Transaction},
                                                     {QStringLiteral("cut"), TSimFault::Cut},
                                                     {QStringLiteral("trickle"), TSimFault::Trickle}};
  if (auto fault = faults.find(command); fault != faults.end()) {
    if (words.size() < 3 || (words[2] != QLatin1String("on") && words[2] != QLatin1String("off")))
      return error(QStringLiteral("say on or off"));
    SetFault(address, fault->second, words[2] == QLatin1String("on"));
    if (fault->second == TSimFault::Slow && words.size() >= 4) SetSlowDelay(address, words[3].toInt());
    if (fault->second == TSimFault::Exception && words.size() >= 4) SetExceptionCode(address, words[3].toInt());
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
