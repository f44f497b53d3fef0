#include "DqNetLine.h"

#include "DqModbus.h"

#include <QRegularExpression>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::uint16_t Word(const char* AData) {
  return static_cast<std::uint16_t>((static_cast<std::uint8_t>(AData[0]) << 8) | static_cast<std::uint8_t>(AData[1]));
}

void AppendWord(QByteArray& AData, std::uint16_t AValue) {
  AData.append(static_cast<char>(AValue >> 8));
  AData.append(static_cast<char>(AValue & 0xFF));
}

int RemainingMs(TClock::time_point ADeadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(ADeadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

QString ErrorText(int AError) { return QString::fromLocal8Bit(std::strerror(AError)); }

// The host without the brackets of an IPv6 address.
QString BareHost(const QString& AHost) {
  QString host = AHost.trimmed();
  if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) host = host.mid(1, host.size() - 2);
  return host;
}

struct TAddress {
  sockaddr_storage Storage{};
  socklen_t Length = 0;
};

bool NumericAddress(const QString& AHost, int APort, TAddress& AAddress) {
  const QByteArray host = BareHost(AHost).toLatin1();
  auto* v4 = reinterpret_cast<sockaddr_in*>(&AAddress.Storage);
  if (inet_pton(AF_INET, host.constData(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(APort));
    AAddress.Length = sizeof(sockaddr_in);
    return true;
  }
  AAddress.Storage = {};
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&AAddress.Storage);
  if (inet_pton(AF_INET6, host.constData(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(APort));
    AAddress.Length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

void SetSocketOptions(int ASocket) {
  int on = 1;
  setsockopt(ASocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A gateway that vanished without closing (power cut, cable) is noticed
  // by keep-alive probes while idle and by the user time-out while a
  // request is unacknowledged; the reply time-outs notice it meanwhile.
  setsockopt(ASocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  int idle = 5, interval = 1, count = 3;
  setsockopt(ASocket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(ASocket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(ASocket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  unsigned int userTimeOut = 5000;
  setsockopt(ASocket, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeOut, sizeof userTimeOut);
}

} // namespace

// ------------------------------------------------------------ frame checks

TDqMbapCheck DqParseMbapReply(const char* AData, int ASize, TDqMbapFrame& AFrame, QString& AError) {
  if (ASize >= 4 && Word(AData + 2) != 0) {
    AError = QStringLiteral("Modbus TCP: protocol identifier %1 instead of 0").arg(Word(AData + 2));
    return TDqMbapCheck::Framing;
  }
  if (ASize < 6) return TDqMbapCheck::NeedMore;
  const int length = Word(AData + 4);
  // Unit identifier and PDU: a function code at least, 253 bytes at most.
  if (length < 2 || length > 254) {
    AError = QStringLiteral("Modbus TCP: length field %1 out of range").arg(length);
    return TDqMbapCheck::Framing;
  }
  if (ASize < 6 + length) return TDqMbapCheck::NeedMore;
  const char* pdu = AData + 7;
  const int pduLength = length - 1;
  const auto function = static_cast<std::uint8_t>(pdu[0]);
  int expected = -1;
  if (function & 0x80)
    expected = 2;
  else if (function >= 1 && function <= 4)
    expected = pduLength >= 2 ? 2 + static_cast<std::uint8_t>(pdu[1]) : -1;
  else if (function == 5 || function == 6 || function == 15 || function == 16)
    expected = 5;
  if (expected < 0 && !(function & 0x80) && !(function >= 1 && function <= 4)) {
    AError = QStringLiteral("Modbus TCP: reply with function code %1").arg(function);
    return TDqMbapCheck::Framing;
  }
  if (pduLength != expected) {
    AError = QStringLiteral("Modbus TCP: length field %1 does not fit the reply of function %2").arg(length).arg(function);
    return TDqMbapCheck::Framing;
  }
  AFrame.Transaction = Word(AData);
  AFrame.Unit = static_cast<std::uint8_t>(AData[6]);
  AFrame.Pdu = QByteArray(pdu, pduLength);
  AFrame.Size = 6 + length;
  return TDqMbapCheck::Complete;
}

int DqRtuReplyLength(const char* AData, int ASize) {
  if (ASize < 2) return 0;
  const auto function = static_cast<std::uint8_t>(AData[1]);
  if (function & 0x80) return 5;
  if (function >= 1 && function <= 4) return ASize < 3 ? 0 : 5 + static_cast<std::uint8_t>(AData[2]);
  if (function == 5 || function == 6 || function == 15 || function == 16) return 8;
  return -1;
}

QByteArray DqMbapRequest(const QByteArray& ARtuRequest, std::uint16_t ATransaction) {
  const QByteArray pdu = ARtuRequest.mid(1, ARtuRequest.size() - 3);
  QByteArray frame;
  frame.reserve(7 + pdu.size());
  AppendWord(frame, ATransaction);
  AppendWord(frame, 0);
  AppendWord(frame, static_cast<std::uint16_t>(pdu.size() + 1));
  frame.append(ARtuRequest.isEmpty() ? '\0' : ARtuRequest[0]);
  frame.append(pdu);
  return frame;
}

QByteArray DqRtuFromMbap(const TDqMbapFrame& AFrame) {
  QByteArray frame;
  frame.reserve(AFrame.Pdu.size() + 3);
  frame.append(static_cast<char>(AFrame.Unit));
  frame.append(AFrame.Pdu);
  const std::uint16_t crc = TModbusData::ComputeCRC16(frame);
  frame.append(static_cast<char>(crc & 0xFF));
  frame.append(static_cast<char>(crc >> 8));
  return frame;
}

// ------------------------------------------------------------- transport

// A name look-up on a thread of its own, so that a resolver that does not
// answer costs the line its connect time-out and no more; a look-up still
// running is waited for again instead of starting another.
struct TDqNetTransport::TResolve {
  std::mutex Lock;
  std::condition_variable Finished;
  bool Done = false;
  int Code = 0;
  std::vector<TAddress> Addresses;
};

TDqNetTransport::TDqNetTransport(TDqPortType APortType, const QString& AHost, const QString& APort)
    : FType(APortType), FHost(AHost.trimmed()), FPort(APort.trimmed()) {}

TDqNetTransport::~TDqNetTransport() { CloseSocket(); }

QString TDqNetTransport::AddressText() const {
  TDqPortData data;
  data.PortType = FType;
  data.IPAddress = FHost;
  data.PortNumber = FPort;
  return DqPortAddressText(data);
}

bool TDqNetTransport::Connected() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSocket >= 0;
}

QString TDqNetTransport::LineError() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLineError;
}

void TDqNetTransport::Disconnect() {
  std::lock_guard<std::mutex> guard(FLock);
  CloseSocket();
}

void TDqNetTransport::CloseSocket() {
  if (FSocket >= 0) ::close(FSocket);
  FSocket = -1;
  FInput.clear();
}

QString TDqNetTransport::CheckPort(const QString& APort) {
  bool ok = false;
  const int port = APort.trimmed().toInt(&ok);
  if (!ok || port < 1 || port > 65535) return QStringLiteral("The port number must be a whole number from 1 to 65535.");
  return QString();
}

QString TDqNetTransport::CheckHost(const QString& AHost) {
  const QString host = BareHost(AHost);
  if (host.isEmpty()) return QStringLiteral("Enter the gateway's IP address or host name.");
  TAddress address;
  if (NumericAddress(host, 1, address)) return QString();
  static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
  static const QRegularExpression digits(QStringLiteral("^[0-9.]+$"));
  const QString invalid = QStringLiteral("\"%1\" is neither an IP address nor a host name.").arg(AHost.trimmed());
  if (host.size() > 253 || digits.match(host).hasMatch()) return invalid;
  const QStringList labels = (host.endsWith(QLatin1Char('.')) ? host.chopped(1) : host).split(QLatin1Char('.'));
  for (const QString& part : labels)
    if (!label.match(part).hasMatch()) return invalid;
  return QString();
}

bool TDqNetTransport::Connect(QString& AError) {
  const QString where = AddressText();
  if (const QString bad = CheckPort(FPort); !bad.isEmpty()) {
    AError = QStringLiteral("%1: %2").arg(where, bad);
    return false;
  }
  if (const QString bad = CheckHost(FHost); !bad.isEmpty()) {
    AError = bad;
    return false;
  }
  const int port = FPort.toInt();
  const auto start = TClock::now();
  std::vector<TAddress> addresses;
  TAddress numeric;
  if (NumericAddress(FHost, port, numeric)) {
    addresses.push_back(numeric);
  } else {
    std::shared_ptr<TResolve> resolve = FResolve;
    if (!resolve) {
      resolve = std::make_shared<TResolve>();
      FResolve = resolve;
      std::thread([resolve, host = BareHost(FHost).toUtf8(), service = QByteArray::number(port)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int code = getaddrinfo(host.constData(), service.constData(), &hints, &found);
        std::vector<TAddress> list;
        for (addrinfo* it = code == 0 ? found : nullptr; it; it = it->ai_next) {
          if (it->ai_addrlen > sizeof(sockaddr_storage)) continue;
          TAddress address;
          std::memcpy(&address.Storage, it->ai_addr, it->ai_addrlen);
          address.Length = it->ai_addrlen;
          list.push_back(address);
        }
        if (found) freeaddrinfo(found);
        std::lock_guard<std::mutex> guard(resolve->Lock);
        resolve->Code = code;
        resolve->Addresses = std::move(list);
        resolve->Done = true;
        resolve->Finished.notify_all();
      }).detach();
    }
    std::unique_lock<std::mutex> lock(resolve->Lock);
    if (!resolve->Finished.wait_for(lock, milliseconds(kDqNetConnectTimeOut), [&] { return resolve->Done; })) {
      AError = QStringLiteral("%1: the host name was not resolved within %2 ms").arg(where).arg(kDqNetConnectTimeOut);
      return false;
    }
    FResolve.reset();
    if (resolve->Code != 0 || resolve->Addresses.empty()) {
      AError = QStringLiteral("%1: host name not found (%2)")
                   .arg(where, QString::fromLocal8Bit(gai_strerror(resolve->Code != 0 ? resolve->Code : EAI_NONAME)));
      return false;
    }
    addresses = resolve->Addresses;
  }
  const auto deadline = TClock::now() + milliseconds(kDqNetConnectTimeOut);
  (void)start;
  QString reason;
  for (const TAddress& address : addresses) {
    const int handle = ::socket(address.Storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0) {
      reason = ErrorText(errno);
      continue;
    }
    int result = ::connect(handle, reinterpret_cast<const sockaddr*>(&address.Storage), address.Length);
    int error = result == 0 ? 0 : errno;
    if (result != 0 && error == EINPROGRESS) {
      pollfd descriptor{handle, POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&descriptor, 1, RemainingMs(deadline));
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) {
        error = ETIMEDOUT;
      } else {
        socklen_t length = sizeof error;
        if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      }
    }
    if (error == 0) {
      SetSocketOptions(handle);
      FSocket = handle;
      FInput.clear();
      FSilentRequests = 0;
      FAnswered = false;
      FLastInput = TClock::now();
      return true;
    }
    ::close(handle);
    reason = error == ETIMEDOUT ? QStringLiteral("no connection within %1 ms").arg(kDqNetConnectTimeOut)
                                : ErrorText(error);
    if (RemainingMs(deadline) == 0) break;
  }
  AError = QStringLiteral("Cannot connect to %1: %2").arg(where, reason);
  return false;
}

bool TDqNetTransport::EnsureConnected(QString& AError) {
  if (FSocket >= 0) return true;
  if (!FBackOff.Due(TClock::now())) {
    AError = FLineError.isEmpty() ? QStringLiteral("%1: not connected").arg(AddressText()) : FLineError;
    return false;
  }
  QString error;
  const bool ok = Connect(error);
  FBackOff.Opened(TClock::now(), ok);
  FLineError = ok ? QString() : error;
  AError = error;
  return ok;
}

bool TDqNetTransport::SendAll(const QByteArray& AData, TClock::time_point ADeadline, QString& AError) {
  qsizetype sent = 0;
  while (sent < AData.size()) {
    const ssize_t count = ::send(FSocket, AData.constData() + sent, static_cast<size_t>(AData.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count > 0) {
      sent += count;
      continue;
    }
    if (count < 0 && errno != EAGAIN && errno != EINTR) {
      AError = QStringLiteral("Connection to %1 lost: %2").arg(AddressText(), ErrorText(errno));
      return false;
    }
    pollfd descriptor{FSocket, POLLOUT, 0};
    const int ready = ::poll(&descriptor, 1, RemainingMs(ADeadline));
    if (ready == 0) {
      AError = QStringLiteral("Connection to %1: the request could not be sent").arg(AddressText());
      return false;
    }
  }
  return true;
}

int TDqNetTransport::ReadSome(TClock::time_point ADeadline, QString& AError) {
  for (;;) {
    pollfd descriptor{FSocket, POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, RemainingMs(ADeadline));
    if (ready == 0) return 0;
    if (ready < 0) {
      if (errno == EINTR) continue;
      AError = QStringLiteral("Connection to %1 failed: %2").arg(AddressText(), ErrorText(errno));
      return -1;
    }
    char buffer[4096];
    const ssize_t count = ::recv(FSocket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count > 0) {
      FInput.append(buffer, static_cast<qsizetype>(count));
      FLastInput = TClock::now();
      FAnswered = true;
      return static_cast<int>(count);
    }
    if (count == 0) {
      AError = QStringLiteral("Connection closed by %1").arg(AddressText());
      return -1;
    }
    if (errno == EAGAIN || errno == EINTR) {
      if (RemainingMs(ADeadline) == 0) return 0;
      continue;
    }
    AError = QStringLiteral("Connection to %1 lost: %2").arg(AddressText(), ErrorText(errno));
    return -1;
  }
}

void TDqNetTransport::Lost(const QString& AError) {
  if (FSocket >= 0 && !FAnswered) FBackOff.Opened(TClock::now(), false);
  CloseSocket();
  FLineError = AError;
}

void TDqNetTransport::DropStaleInput() {
  // What came unasked (a late reply) or is still queued; a connection the
  // peer closed meanwhile is closed here, before a request is lost on it.
  QString error;
  while (FSocket >= 0) {
    const int count = ReadSome(TClock::now(), error);
    if (count < 0) Lost(error);
    if (count <= 0) break;
  }
  // RTU frames carry no identifier: what is left is dropped, as on a wire.
  // MBAP frames do: late replies are taken and discarded by transaction.
  if (FType == dqtRTUTCP) FInput.clear();
}

bool TDqNetTransport::Transact(const QByteArray& ARequest, QByteArray& AReply, QString& AError) {
  TFault fault = TFault::None;
  return TransactChecked(ARequest, AReply, AError, fault);
}

bool TDqNetTransport::TransactChecked(const QByteArray& ARequest, QByteArray& AReply, QString& AError, TFault& AFault) {
  std::lock_guard<std::mutex> guard(FLock);
  AReply.clear();
  AFault = TFault::None;
  if (ARequest.size() < 4) {
    AError = QStringLiteral("Modbus: no request");
    return false;
  }
  if (!EnsureConnected(AError)) return false;
  DropStaleInput();
  if (FSocket < 0 && !EnsureConnected(AError)) return false;

  const auto deadline = TClock::now() + milliseconds(kDqNetReplyTimeOut);
  const bool mbap = FType == dqtTCP;
  if (mbap) ++FTransaction;
  if (!SendAll(mbap ? DqMbapRequest(ARequest, FTransaction) : ARequest, deadline, AError)) {
    Lost(AError);
    return false;
  }
  // The stream must be read in step; a reply cut short leaves it out of
  // step, so the connection is closed and the next request connects anew.
  auto cutShort = [&](const QString& AWhy) {
    CloseSocket();
    AFault = TFault::Framing;
    AError = AWhy;
    return true;
  };
  QString foreign;
  for (;;) {
    if (mbap) {
      while (!FInput.isEmpty()) {
        TDqMbapFrame frame;
        QString error;
        const TDqMbapCheck check = DqParseMbapReply(FInput.constData(), static_cast<int>(FInput.size()), frame, error);
        if (check == TDqMbapCheck::NeedMore) break;
        if (check == TDqMbapCheck::Framing) return cutShort(error);
        FInput.remove(0, frame.Size);
        if (frame.Transaction != FTransaction) {
          // A late reply to an earlier request, or a confused peer: never
          // taken for this request's.
          foreign = QStringLiteral("Modbus TCP: reply to transaction %1 instead of %2")
                        .arg(frame.Transaction)
                        .arg(FTransaction);
          continue;
        }
        FSilentRequests = 0;
        AReply = DqRtuFromMbap(frame);
        return true;
      }
    } else {
      const int length = DqRtuReplyLength(FInput.constData(), static_cast<int>(FInput.size()));
      if (length < 0 || (length > 0 && FInput.size() >= length)) {
        // A reply of a function no request asks for is handed on whole,
        // for the Modbus layer to reject.
        AReply = length < 0 ? FInput : FInput.left(length);
        FInput.remove(0, AReply.size());
        FSilentRequests = 0;
        return true;
      }
    }
    QString error;
    const int count = ReadSome(deadline, error);
    if (count > 0) continue;
    if (count < 0) {
      const bool partial = !FInput.isEmpty();
      if (!mbap) AReply = FInput;
      Lost(error);
      if (partial)
        return mbap ? cutShort(QStringLiteral("%1 in the middle of a reply").arg(error)) : true;
      AError = error;
      return false;
    }
    // Time-out.
    if (!FInput.isEmpty()) {
      if (!mbap) {
        AReply = FInput;
        CloseSocket();
        return true; // cut short: the Modbus layer says so
      }
      return cutShort(QStringLiteral("Modbus TCP: reply cut short (%1 bytes within %2 ms)")
                          .arg(FInput.size())
                          .arg(kDqNetReplyTimeOut));
    }
    if (!foreign.isEmpty()) {
      AFault = TFault::Foreign;
      AError = foreign;
      return true;
    }
    // Nothing came: a silent controller, or a connection that is no more.
    ++FSilentRequests;
    if (FSilentRequests >= 3 && TClock::now() - FLastInput >= milliseconds(kDqNetSilentReconnect)) CloseSocket();
    return true;
  }
}

std::shared_ptr<TDqFrameTransport> DqMakeNetTransport(const TDqPortData& AData) {
  if (!DqIsNetworkPort(AData.PortType)) return nullptr;
  return std::make_shared<TDqNetTransport>(AData.PortType, AData.IPAddress, AData.PortNumber);
}
