#include "DqPortLine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <cerrno>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The errors of a terminal whose device is gone or whose other end closed.
bool IsHangUpError(int AError) { return AError == EIO || AError == ENXIO || AError == ENODEV; }

using TClock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Waits until the handle is readable (or writable) or ATimeout passes; a
// negative time-out waits without limit. Returns poll's revents, 0 on
// time-out, -1 on failure.
int WaitHandle(int AHandle, short AEvents, microseconds ATimeout) {
  pollfd descriptor{AHandle, AEvents, 0};
  for (;;) {
    timespec limit{};
    timespec* limitPointer = nullptr;
    if (ATimeout.count() >= 0) {
      limit.tv_sec = static_cast<time_t>(ATimeout.count() / 1000000);
      limit.tv_nsec = static_cast<long>((ATimeout.count() % 1000000) * 1000);
      limitPointer = &limit;
    }
    const auto start = TClock::now();
    const int result = ppoll(&descriptor, 1, limitPointer, nullptr);
    if (result > 0) return descriptor.revents;
    if (result == 0) return 0;
    if (errno != EINTR) return -1;
    if (ATimeout.count() >= 0) {
      ATimeout -= std::chrono::duration_cast<microseconds>(TClock::now() - start);
      if (ATimeout.count() < 0) return 0;
    }
  }
}

microseconds Remaining(TClock::time_point ADeadline) {
  const auto left = std::chrono::duration_cast<microseconds>(ADeadline - TClock::now());
  return left.count() > 0 ? left : microseconds(0);
}

} // namespace

// ---------------------------------------------------------------- time-outs

void TDqComPort::SetTimeOut(std::uint32_t AReadInterval, std::uint32_t AReadMultiplier, std::uint32_t AReadTotal,
                            std::uint32_t AWriteMultiplier, std::uint32_t AWriteTotal) {
  std::lock_guard<std::mutex> guard(FIoLock);
  FTimeOuts = TDqTimeOuts{AReadInterval, AReadMultiplier, AReadTotal, AWriteMultiplier, AWriteTotal};
}

TDqTimeOuts TDqComPort::TimeOuts() {
  std::lock_guard<std::mutex> guard(FIoLock);
  return FTimeOuts;
}

// ------------------------------------------------------- reads and writes

// Caller holds FIoLock.
int TDqComPort::TakeReadAhead(char* AData, int ACount) {
  const int taken = std::min(ACount, FReadAheadEnd - FReadAheadBegin);
  if (taken <= 0) return 0;
  std::memcpy(AData, FReadAhead + FReadAheadBegin, static_cast<size_t>(taken));
  FReadAheadBegin += taken;
  if (FReadAheadBegin == FReadAheadEnd) FReadAheadBegin = FReadAheadEnd = 0;
  return taken;
}

// Caller holds FIoLock and the handle is open.
int TDqComPort::DoRead(char* AData, int ACount, const TDqTimeOuts& ATimeOuts, bool& AFailed) {
  AFailed = false;
  if (ACount <= 0) return 0;
  // Bytes read ahead by an earlier call come first; a request they fill
  // needs neither the clock nor the handle.
  int got = TakeReadAhead(AData, ACount);
  if (got == ACount) return got;
  const bool immediate = ATimeOuts.ReadInterval == kDqTimeOutMax && ATimeOuts.ReadMultiplier == 0 &&
                         ATimeOuts.ReadTotal == 0;
  const bool firstByteOnly = ATimeOuts.ReadInterval == kDqTimeOutMax && ATimeOuts.ReadMultiplier == kDqTimeOutMax &&
                             ATimeOuts.ReadTotal > 0 && ATimeOuts.ReadTotal < kDqTimeOutMax;
  const auto start = TClock::now();
  bool hasTotal = false;
  TClock::time_point deadline = start;
  if (firstByteOnly) {
    hasTotal = true;
    deadline = start + milliseconds(ATimeOuts.ReadTotal);
  } else if (!immediate && (ATimeOuts.ReadMultiplier != 0 || ATimeOuts.ReadTotal != 0)) {
    hasTotal = true;
    deadline = start + milliseconds(static_cast<std::uint64_t>(ATimeOuts.ReadMultiplier) * ACount +
                                    ATimeOuts.ReadTotal);
  }
  const bool hasInterval = ATimeOuts.ReadInterval != 0 && ATimeOuts.ReadInterval != kDqTimeOutMax;
  TClock::time_point lastByte = start;
  while (got < ACount) {
    // Poll before reading: a reply is never there the moment its request
    // has gone, so a read first would mostly find nothing. Poll also tells
    // a hang-up, without asking the handle anything else.
    microseconds wait(-1);
    if (immediate || (firstByteOnly && got > 0)) {
      wait = microseconds(0);
    } else {
      if (hasTotal) wait = Remaining(deadline);
      if (hasInterval && got > 0) {
        const microseconds gap = Remaining(lastByte + milliseconds(ATimeOuts.ReadInterval));
        wait = wait.count() < 0 ? gap : std::min(wait, gap);
      }
    }
    const int events = WaitHandle(FComID, POLLIN, wait);
    if (events == 0) break; // time-out: the read succeeds with what came
    if (events < 0 || (events & (POLLERR | POLLNVAL)) || ((events & POLLHUP) && !(events & POLLIN))) {
      AFailed = true;
      FHungUp = true;
      break;
    }
    // All that is queued, not just what this call needs: the rest of a
    // reply taken piece by piece then costs no further call.
    const ssize_t count = ::read(FComID, FReadAhead, sizeof FReadAhead);
    if (count > 0) {
      FReadAheadBegin = 0;
      FReadAheadEnd = static_cast<int>(count);
      got += TakeReadAhead(AData + got, ACount - got);
      lastByte = TClock::now();
      // Every awaited byte in the first read after the sleep: the line has
      // been quiet since they crossed it. Anything less, or more, and the
      // line counts as busy until now.
      FLastActivity = FAwaited > 0 && count == FAwaited ? FAwaitedBy : lastByte;
      FAwaited = 0;
    } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
      // Readable yet nothing to read: hung up (an adapter unplugged, the
      // other end gone).
      AFailed = true;
      if (count == 0 || IsHangUpError(errno)) FHungUp = true;
      break;
    }
  }
  return got;
}

void TDqComPort::CountReadResult(bool AFailed) {
  if (!AFailed) {
    FErrorCount = 0;
    return;
  }
  FComError = dqeRead;
  if (++FErrorCount > 100) FSelfClose = true;
}

// A port that hung up (the adapter pulled out, the other end gone) or
// failed more than 100 reads in a row closes itself, after the call has let
// go of the handle; Reopen brings it back by its path.
void TDqComPort::CloseIfFailedTooOften() {
  const bool hungUp = FHungUp.exchange(false);
  if (FSelfClose.exchange(false) || hungUp) Close();
}

bool TDqComPort::Reopen() {
  const auto now = TClock::now();
  {
    std::lock_guard<std::mutex> guard(FIoLock);
    if (!FReopenBackOff.Due(now)) return false;
  }
  const bool opened = Open();
  std::lock_guard<std::mutex> guard(FIoLock);
  // Every controller of the line asks each cycle; while the device node is
  // missing one attempt per step is enough: 250 ms doubling up to 2 s.
  FReopenBackOff.Opened(now, opened);
  return opened;
}

int TDqComPort::ReadWith(void* AData, int ACount, const TDqTimeOuts* APerOperation) {
  int got = 0;
  {
    std::lock_guard<std::mutex> guard(FIoLock);
    if (FComID < 0) {
      FComError = dqeNotOpen;
      return 0;
    }
    bool failed = false;
    const TDqTimeOuts timeOuts = (APerOperation && !FFixTimeOut) ? *APerOperation : FTimeOuts;
    got = DoRead(static_cast<char*>(AData), ACount, timeOuts, failed);
    CountReadResult(failed);
  }
  CloseIfFailedTooOften();
  return got;
}

int TDqComPort::ReadBlock(void* AData, int ABlockSize) {
  const TDqTimeOuts perOperation{kDqTimeOutMax, 0, 0, 0, 0};
  return ReadWith(AData, ABlockSize, &perOperation);
}

void TDqComPort::AwaitBytes(int ACount, std::uint32_t AQuietMicroseconds) {
  const auto seen = TClock::now();
  int missing = 0;
  {
    std::lock_guard<std::mutex> guard(FIoLock);
    missing = ACount - (FReadAheadEnd - FReadAheadBegin);
  }
  const int baud = FPortData.BaudRate;
  if (missing <= 0 || baud <= 0) return;
  const std::int64_t dataBits = std::clamp<int>(FPortData.DataBits, 5, 8);
  if (AQuietMicroseconds == 0) {
    // All but the last byte, at start, data and one stop bit: never longer
    // than they take.
    const microseconds rest((missing - 1) * (2 + dataBits) * 1000000 / baud);
    // Shorter waits are left to poll.
    if (rest >= microseconds(500)) std::this_thread::sleep_for(rest);
    return;
  }
  // All of them, at the longest a character can take: a slave sends its
  // reply without pauses, so once the first byte was seen the last has
  // crossed by then.
  const std::int64_t bits = 1 + dataBits + (FPortData.Parity != 0 ? 1 : 0) + (FPortData.StopBits == 0 ? 1 : 2);
  const auto crossed = seen + microseconds(missing * bits * 1000000 / baud);
  std::this_thread::sleep_until(crossed + microseconds(AQuietMicroseconds));
  std::lock_guard<std::mutex> guard(FIoLock);
  FAwaited = missing;
  FAwaitedBy = crossed;
}

bool TDqComPort::ReadByte(std::uint8_t& AData, std::uint32_t AMilliseconds) {
  const TDqTimeOuts perOperation{0, 0, AMilliseconds, 0, 0};
  return ReadWith(&AData, 1, &perOperation) == 1;
}

bool TDqComPort::ReadChar(QChar& AChar, std::uint32_t AMilliseconds) {
  std::uint8_t byte = 0;
  if (!ReadByte(byte, AMilliseconds)) return false;
  AChar = QChar(static_cast<char16_t>(byte));
  return true;
}

QString TDqComPort::ReadText() {
  QString text;
  const auto deadline = TClock::now() + milliseconds(kReadTextMaxMs);
  QChar character;
  while (text.size() < kReadTextMaxChars && TClock::now() < deadline && ReadChar(character, 300))
    text += character;
  return text;
}

// Caller holds FIoLock and the handle is open. One write call.
int TDqComPort::DoWrite(const char* AData, int ACount, const TDqTimeOuts& ATimeOuts, bool& AFailed) {
  AFailed = false;
  const auto start = TClock::now();
  std::uint64_t limit = static_cast<std::uint64_t>(ATimeOuts.WriteMultiplier) * ACount + ATimeOuts.WriteTotal;
  if (limit == 0) {
    // No write time-out: still bounded, by the line's time for the bytes
    // plus a second, so that a receiver that never drains cannot hang us.
    const int baud = std::max(FPortData.BaudRate, 110);
    limit = 1000 + static_cast<std::uint64_t>(ACount) * 11000 / static_cast<std::uint64_t>(baud);
  }
  const auto deadline = start + milliseconds(limit);
  int sent = 0;
  while (sent < ACount) {
    const ssize_t count = ::write(FComID, AData + sent, static_cast<size_t>(ACount - sent));
    if (count > 0) {
      sent += static_cast<int>(count);
      continue;
    }
    if (count < 0 && errno != EAGAIN && errno != EINTR) {
      AFailed = true;
      if (IsHangUpError(errno)) FHungUp = true;
      break;
    }
    const int events = WaitHandle(FComID, POLLOUT, Remaining(deadline));
    if (events == 0) break;
    if (events < 0 || (events & (POLLERR | POLLNVAL | POLLHUP))) {
      AFailed = true;
      if (events > 0) FHungUp = true;
      break;
    }
  }
  FLastActivity = TClock::now();
  return sent;
}

int TDqComPort::WriteLocked(const void* AData, int ABlockSize) {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) {
    FComError = dqeNotOpen;
    return 0;
  }
  const TDqTimeOuts timeOuts = FFixTimeOut ? FTimeOuts : TDqTimeOuts{};
  const char* data = static_cast<const char*>(AData);
  int total = 0;
  for (int call = 0; call < 10 && total < ABlockSize; ++call) {
    bool failed = false;
    total += DoWrite(data + total, ABlockSize - total, timeOuts, failed);
    if (failed) {
      FComError = dqeWrite;
      break;
    }
  }
  return total;
}

int TDqComPort::WriteBlock(const void* AData, int ABlockSize) {
  const int written = WriteLocked(AData, ABlockSize);
  CloseIfFailedTooOften();
  return written;
}

bool TDqComPort::WriteChar(char AChar, std::uint32_t AMilliseconds) {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) {
    FComError = dqeNotOpen;
    return false;
  }
  const TDqTimeOuts timeOuts = FFixTimeOut ? FTimeOuts : TDqTimeOuts{0, 0, 0, 0, AMilliseconds};
  bool failed = false;
  if (DoWrite(&AChar, 1, timeOuts, failed) != 1 || failed) {
    FComError = dqeWrite;
    return false;
  }
  return true;
}

// The 8-bit code page is Latin-1: characters 0..255 are the bytes.
bool TDqComPort::WriteText(const QString& AText) {
  const QByteArray bytes = AText.toLatin1();
  return WriteBlock(bytes.constData(), static_cast<int>(bytes.size())) == bytes.size();
}

bool TDqComPort::WriteLn(const QString& AText) { return WriteText(AText + QStringLiteral("\r\n")); }

QString TDqComPort::WriteAndReadText(const QString& AText) {
  WriteText(AText);
  std::this_thread::sleep_for(milliseconds(100));
  return ReadText();
}

QString TDqComPort::WriteLnAndReadText(const QString& AText) {
  return WriteAndReadText(AText + QStringLiteral("\r\n"));
}

int TDqComPort::WaitLineSilence(std::uint32_t AMicroseconds, std::uint32_t AMaxMilliseconds) {
  const int discarded = DrainLocked(AMicroseconds, AMaxMilliseconds);
  CloseIfFailedTooOften();
  return discarded;
}

int TDqComPort::DrainLocked(std::uint32_t AMicroseconds, std::uint32_t AMaxMilliseconds) {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) return 0;
  const auto deadline = TClock::now() + milliseconds(AMaxMilliseconds);
  int discarded = FReadAheadEnd - FReadAheadBegin;
  FReadAheadBegin = FReadAheadEnd = 0;
  for (;;) {
    // One poll waits out the rest of the quiet time; when it ends without
    // input the line was silent (and nothing was queued): no read needed.
    const microseconds left = Remaining(deadline);
    const microseconds quiet = Remaining(FLastActivity + microseconds(AMicroseconds));
    const int events = WaitHandle(FComID, POLLIN, std::min(quiet, left));
    if (events == 0) break;
    if (events < 0 || (events & (POLLERR | POLLNVAL | POLLHUP))) {
      if (events > 0) FHungUp = true;
      break;
    }
    const ssize_t count = ::read(FComID, FReadAhead, sizeof FReadAhead);
    if (count < 0 && IsHangUpError(errno)) FHungUp = true;
    if (count <= 0) break;
    discarded += static_cast<int>(count);
    FLastActivity = TClock::now();
    if (left.count() == 0) break; // still chattering at the limit
  }
  return discarded;
}

void TDqComPort::RefreshErrorCode() {
  serial_icounter_struct counts{};
  if (FComID < 0 || ioctl(FComID, TIOCGICOUNT, &counts) != 0) {
    FErrorCode = 0;
    return;
  }
  const std::int64_t now[4] = {counts.overrun + counts.buf_overrun, counts.parity, counts.frame, counts.brk};
  const std::uint32_t flags[4] = {dqceOverrun, dqceParity, dqceFrame, dqceBreak};
  std::uint32_t code = 0;
  for (int i = 0; i < 4; ++i) {
    if (now[i] != FLineCounts[i]) code |= flags[i];
    FLineCounts[i] = now[i];
  }
  FErrorCode = code;
}

int TDqComPort::ReadDataCount() {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) return 0;
  RefreshErrorCode();
  int count = 0;
  if (ioctl(FComID, FIONREAD, &count) != 0) count = 0;
  return count + FReadAheadEnd - FReadAheadBegin;
}

int TDqComPort::WriteDataCount() {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) return 0;
  RefreshErrorCode();
  int count = 0;
  return ioctl(FComID, TIOCOUTQ, &count) == 0 ? count : 0;
}

void TDqComPort::Purge() {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) {
    FComError = dqeNotOpen;
    return;
  }
  FReadAheadBegin = FReadAheadEnd = 0;
  ioctl(FComID, TCFLSH, TCIOFLUSH);
}
