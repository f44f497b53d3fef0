// Network lines: Modbus TCP (an MBAP header before each PDU, the unit
// identifier carrying the slave address, transactions matched by their
// identifier) and Modbus RTU frames over a TCP connection (a serial device
// server in raw mode). Each is a frame transport of a TDqComPort: the
// Modbus layer hands it an RTU request frame and gets the reply as RTU
// bytes, so the checks of a serial reply apply unchanged.
#pragma once

#include "DqPort.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

// Time limits of a network line, in ms.
inline constexpr int kDqNetConnectTimeOut = 1500; // name look-up, and then the connection
inline constexpr int kDqNetReplyTimeOut = 300;    // a request's whole reply
// A line from which nothing at all arrived for this long (and at least
// three requests timed out) is taken for half-open and connected anew.
inline constexpr int kDqNetSilentReconnect = 5000;

// One MBAP frame taken from the start of a byte stream.
struct TDqMbapFrame {
  std::uint16_t Transaction = 0;
  std::uint8_t Unit = 0;
  QByteArray Pdu;  // function code and data
  int Size = 0;    // bytes of the stream the frame took
};
enum class TDqMbapCheck : std::uint8_t {
  Complete, // a well-formed frame (its transaction is the caller's to check)
  NeedMore, // the frame has not fully arrived
  Framing   // not a Modbus TCP reply: protocol id, length field or PDU wrong
};
// Checks the reply frame at the start of AData; AError says what is wrong.
// The PDU's length must fit its function (an exception, a read's byte
// count, a write's echo).
TDqMbapCheck DqParseMbapReply(const char* AData, int ASize, TDqMbapFrame& AFrame, QString& AError);
// The length of the RTU reply at the start of AData: 0 while too little
// arrived to tell, -1 for a function no request asks for.
int DqRtuReplyLength(const char* AData, int ASize);
// An RTU request frame (slave, PDU, CRC) as a Modbus TCP request.
QByteArray DqMbapRequest(const QByteArray& ARtuRequest, std::uint16_t ATransaction);
// A reply's unit and PDU as an RTU frame with its CRC.
QByteArray DqRtuFromMbap(const TDqMbapFrame& AFrame);

class TDqNetTransport : public TDqFrameTransport {
public:
  // APortType dqtTCP or dqtRTUTCP.
  TDqNetTransport(TDqPortType APortType, const QString& AHost, const QString& APort);
  ~TDqNetTransport() override;

  bool Transact(const QByteArray& ARequest, QByteArray& AReply, QString& AError) override;
  bool TransactChecked(const QByteArray& ARequest, QByteArray& AReply, QString& AError, TFault& AFault) override;

  bool Connected() const;
  // The last connection problem (empty while connected).
  QString LineError() const;
  QString AddressText() const;
  // Closes the connection; the next request connects again at once.
  void Disconnect();

  // Checks host and port as the port dialog takes them; the reason when
  // not (empty when fine).
  static QString CheckHost(const QString& AHost);
  static QString CheckPort(const QString& APort);

private:
  bool EnsureConnected(QString& AError);
  bool Connect(QString& AError);
  void CloseSocket();
  bool SendAll(const QByteArray& AData, std::chrono::steady_clock::time_point ADeadline, QString& AError);
  // Reads what has come (waiting until ADeadline for more); 0 on time-out,
  // -1 when the connection failed or closed (AError says which).
  int ReadSome(std::chrono::steady_clock::time_point ADeadline, QString& AError);
  void DropStaleInput();
  // The connection failed or was closed: closed here, and one that never
  // brought a byte (a peer that takes connections and drops them) counts
  // as a failed attempt for the back-off.
  void Lost(const QString& AError);

  TDqPortType FType;
  QString FHost;
  QString FPort;
  mutable std::mutex FLock;
  int FSocket = -1;
  QByteArray FInput; // received, not yet taken
  std::uint16_t FTransaction = 0;
  TDqReopenBackOff FBackOff;
  QString FLineError;
  int FSilentRequests = 0;
  bool FAnswered = false; // anything came on this connection
  std::chrono::steady_clock::time_point FLastInput{};
  struct TResolve;
  std::shared_ptr<TResolve> FResolve; // a name look-up still running
};

// The transport of a network line's port row (nullptr for a serial one).
std::shared_ptr<TDqFrameTransport> DqMakeNetTransport(const TDqPortData& AData);
