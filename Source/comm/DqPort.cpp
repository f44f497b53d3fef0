#include "DqPort.h"

#include "DqNetLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <system_error>

// termios2 (any baud rate) comes from the kernel's header; glibc's
// <termios.h> cannot be included beside it.
#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

bool IsPseudoTerminal(int AHandle) {
  struct stat info{};
  if (fstat(AHandle, &info) != 0) return false;
  const unsigned int majorNumber = major(info.st_rdev);
  return majorNumber >= 136 && majorNumber <= 143; // Unix98 pty slaves
}

void SetRawMode(termios2& ALine) {
  // A serial line carries bytes: no echo, no line editing, no character
  // translation, no software flow control. Speed, size, parity, stop bits
  // and hardware flow control stay as they were.
  ALine.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                          IXOFF | IXANY | IUCLC | IMAXBEL);
  ALine.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  ALine.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
  ALine.c_cflag |= CREAD | CLOCAL;
  ALine.c_cc[VMIN] = 0;
  ALine.c_cc[VTIME] = 0;
}

int DataBitsFlag(int AByteSize) {
  switch (AByteSize) {
  case 5: return CS5;
  case 6: return CS6;
  case 7: return CS7;
  default: return CS8;
  }
}

int DataBitsOf(tcflag_t ACFlag) {
  switch (ACFlag & CSIZE) {
  case CS5: return 5;
  case CS6: return 6;
  case CS7: return 7;
  default: return 8;
  }
}

int ParityOf(tcflag_t ACFlag) {
  if (!(ACFlag & PARENB)) return 0;
  if (ACFlag & CMSPAR) return (ACFlag & PARODD) ? 3 : 4;
  return (ACFlag & PARODD) ? 1 : 2;
}

int StopBitsOf(tcflag_t ACFlag) {
  if (!(ACFlag & CSTOPB)) return 0;
  return DataBitsOf(ACFlag) == 5 ? 1 : 2;
}

} // namespace

struct TDqComPort::TSavedLine {
  termios2 Line{};
};

// ---------------------------------------------------------------- port data

QString DqPortAddressText(const TDqPortData& AData) {
  if (!DqIsNetworkPort(AData.PortType)) return AData.PortName;
  const QString host = AData.IPAddress.trimmed();
  const QString address = host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('['))
                              ? QStringLiteral("[%1]").arg(host)
                              : host;
  return address + QLatin1Char(':') + AData.PortNumber.trimmed();
}

// ------------------------------------------------------------------ naming

QString DqSimulatorPortDir() {
  const QByteArray own = qgetenv("TERVOX_PORT_DIR");
  if (!own.isEmpty()) return QString::fromLocal8Bit(own);
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) return QString::fromLocal8Bit(runtime) + QStringLiteral("/tervox");
  // In the shared temporary folder another user may have made the folder
  // first and put links to terminals of theirs in it: only a folder of the
  // user's own, closed to others, is looked in.
  const QString fallback = QDir::tempPath() + QStringLiteral("/tervox-%1").arg(getuid());
  struct stat info {};
  if (::lstat(QFile::encodeName(fallback).constData(), &info) != 0) return fallback;
  return S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & 077) == 0 ? fallback : QString();
}

QString DqPortDevicePath(const QString& APortName) {
  const QString name = APortName.trimmed();
  if (name.isEmpty()) return QString();
  if (name.contains(QLatin1Char('/'))) return name;
  const QString device = QStringLiteral("/dev/") + name;
  if (QFileInfo::exists(device)) return device;
  const QString folder = DqSimulatorPortDir();
  const QString simulated = folder + QLatin1Char('/') + name;
  if (!folder.isEmpty() && QFileInfo::exists(simulated)) return simulated;
  return device;
}

namespace {

// A board UART that is really there: the serial core reports its type
// (0 is "unknown", the placeholders of absent ports).
bool RealBoardPort(const QString& ADeviceName) {
  QFile typeFile(QStringLiteral("/sys/class/tty/%1/type").arg(ADeviceName));
  if (!typeFile.open(QIODevice::ReadOnly)) return false;
  return typeFile.readAll().trimmed().toInt() != 0;
}

} // namespace

void ListComPorts(QStringList& AList, bool AvailabledOnly) {
  AList.clear();
  const QDir dev(QStringLiteral("/dev"));
  const QStringList present = dev.entryList({QStringLiteral("ttyS*"), QStringLiteral("ttyUSB*"),
                                             QStringLiteral("ttyACM*")},
                                            QDir::System | QDir::Files | QDir::Readable | QDir::Writable);
  for (const QString& name : present) {
    if (name.startsWith(QLatin1String("ttyS")) && !RealBoardPort(name)) continue;
    AList << QStringLiteral("/dev/") + name;
  }
  // The simulator's ports: links to pseudo-terminals that still exist.
  const QString folder = DqSimulatorPortDir();
  const QFileInfoList links =
      folder.isEmpty() ? QFileInfoList() : QDir(folder).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
  for (const QFileInfo& link : links) {
    if (link.isSymLink() && QFileInfo::exists(link.symLinkTarget())) AList << link.absoluteFilePath();
  }
  if (!AvailabledOnly) {
    // Every name a port may take when its adapter is plugged in.
    for (int i = 0; i < 4; ++i) AList << QStringLiteral("/dev/ttyS%1").arg(i);
    for (int i = 0; i < 16; ++i) AList << QStringLiteral("/dev/ttyUSB%1").arg(i) << QStringLiteral("/dev/ttyACM%1").arg(i);
  }
  AList.removeDuplicates();
  AList.sort(); // as text, so ttyUSB10 comes before ttyUSB2
}

// -------------------------------------------------------------------- port

TDqComPort::TDqComPort() : FDcbOld(std::make_unique<TSavedLine>()), FThread(std::make_shared<TDqEventThread>()) {}

TDqComPort::~TDqComPort() {
  Close();
  std::vector<std::shared_ptr<TDqEventThread>> threads;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    threads.swap(FRetired);
    threads.push_back(std::move(FThread));
  }
  for (auto& thread : threads) {
    // Released from inside its own worker (a programming error elsewhere):
    // a worker cannot wait for itself, so its object is left alive.
    if (thread && thread->IsCurrentThread()) {
      thread->Terminate();
      new std::shared_ptr<TDqEventThread>(std::move(thread));
    }
  }
  threads.clear();
}

void TDqComPort::SetPortData(const TDqPortData& AData) {
  FPortData = AData;
  if (DqIsNetworkPort(FPortData.PortType)) SetFrameTransport(DqMakeNetTransport(FPortData));
}

void TDqComPort::Lock() {
  try {
    FLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock comport"));
  }
}

void TDqComPort::Unlock() { FLock.unlock(); }

void TDqComPort::SetFrameTransport(std::shared_ptr<TDqFrameTransport> ATransport) {
  std::lock_guard<std::mutex> guard(FTransportLock);
  FFrameTransport = std::move(ATransport);
}

std::shared_ptr<TDqFrameTransport> TDqComPort::FrameTransport() const {
  std::lock_guard<std::mutex> guard(FTransportLock);
  return FFrameTransport;
}

QString TDqComPort::PortName() {
  std::lock_guard<std::mutex> guard(FIoLock);
  return FPortName;
}

bool TDqComPort::Open() {
  if (!Open(FPortData.PortName)) return false;
  Config();
  return true;
}

bool TDqComPort::Open(int APortNo) { return Open(QStringLiteral("COM%1").arg(APortNo)); }

bool TDqComPort::Open(const QString& APortName) {
  if (Active()) Close();
  JoinRetired();
  const bool carried = FrameTransport() != nullptr;
  std::lock_guard<std::mutex> guard(FIoLock);
  FPortName = APortName;
  if (carried) {
    FActive = true;
    return true;
  }
  const QString path = DqPortDevicePath(APortName);
  int handle = path.isEmpty() ? -1 : ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios2 line{};
  bool ok = handle >= 0 && isatty(handle) && ioctl(handle, TCGETS2, &line) == 0;
  // Exclusive: TIOCEXCL keeps other programs out, the lock also keeps out
  // a second opener with privileges.
  if (ok) ok = flock(handle, LOCK_EX | LOCK_NB) == 0;
  if (ok) ioctl(handle, TIOCEXCL);
  if (!ok) {
    if (handle >= 0) ::close(handle);
    FPortName.clear();
    FComError = dqeNotOpen;
    return false;
  }
  FComID = handle;
  FIsPty = IsPseudoTerminal(handle);
  FDcbOld->Line = line;
  FCommTimeoutsOld = FTimeOuts;
  SetRawMode(line);
  ioctl(handle, TCSETS2, &line);
  if (FFixTimeOut)
    FTimeOuts = TDqTimeOuts{100, 2, 200, 0, 0};
  else
    FTimeOuts = TDqTimeOuts{};
  FComError = dqeNone;
  FErrorCount = 0;
  FErrorCode = 0;
  std::fill(std::begin(FLineCounts), std::end(FLineCounts), 0);
  RefreshErrorCode();
  FErrorCode = 0;
  FLastActivity = TClock::now();
  FSelfClose = false;
  FHungUp = false;
  FActive = true;
  return true;
}

void TDqComPort::CloseHandle() {
  if (FComID >= 0) {
    ioctl(FComID, TCSETS2, &FDcbOld->Line);
    ::close(FComID);
    FTimeOuts = FCommTimeoutsOld;
  }
  FComID = -1;
  FActive = false;
  FPortName.clear();
  FReadAheadBegin = FReadAheadEnd = 0;
}

void TDqComPort::Close() {
  {
    std::lock_guard<std::mutex> guard(FIoLock);
    CloseHandle();
  }
  ReplaceThread();
}

// A fresh worker replaces the current one, whose queued events are
// discarded. When Close runs on that very worker (the modem's reads run
// there) the old worker is only told to end; it is joined later by a call
// from another thread.
void TDqComPort::ReplaceThread() {
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    std::shared_ptr<TDqEventThread> old = std::move(FThread);
    FThread = std::make_shared<TDqEventThread>();
    if (old) {
      old->Stop();
      old->Terminate();
      FRetired.push_back(std::move(old));
    }
  }
  JoinRetired();
}

void TDqComPort::JoinRetired() {
  std::vector<std::shared_ptr<TDqEventThread>> finished;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    for (auto it = FRetired.begin(); it != FRetired.end();) {
      if ((*it)->IsCurrentThread()) {
        ++it;
      } else {
        finished.push_back(std::move(*it));
        it = FRetired.erase(it);
      }
    }
  }
  finished.clear(); // joins, outside the lock
}

std::shared_ptr<TDqEventThread> TDqComPort::CurrentThread() {
  std::lock_guard<std::mutex> guard(FThreadLock);
  return FThread;
}

TDqEventThread* TDqComPort::Thread() { return CurrentThread().get(); }

bool TDqComPort::Config() {
  return Config(FPortData.BaudRate, FPortData.DataBits, FPortData.StopBits, FPortData.Parity);
}

bool TDqComPort::Config(int ABaudrate, int AByteSize, int AStopBits, int AParity) {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) {
    FComError = dqeNotOpen;
    return false;
  }
  // What a UART can do: 1.5 stop bits only with 5 data bits, 2 not with 5.
  const bool valid = ABaudrate > 0 && AByteSize >= 5 && AByteSize <= 8 && AStopBits >= 0 && AStopBits <= 2 &&
                     AParity >= 0 && AParity <= 4 && !(AStopBits == 1 && AByteSize != 5) &&
                     !(AStopBits == 2 && AByteSize == 5);
  termios2 old{};
  if (!valid || ioctl(FComID, TCGETS2, &old) != 0) {
    FComError = dqeConfig;
    return false;
  }
  termios2 line = old;
  line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
  line.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | static_cast<tcflag_t>(DataBitsFlag(AByteSize));
  line.c_ispeed = line.c_ospeed = static_cast<speed_t>(ABaudrate);
  if (AStopBits != 0) line.c_cflag |= CSTOPB;
  switch (AParity) {
  case 1: line.c_cflag |= PARENB | PARODD; break;
  case 2: line.c_cflag |= PARENB; break;
  case 3: line.c_cflag |= PARENB | PARODD | CMSPAR; break;
  case 4: line.c_cflag |= PARENB | CMSPAR; break;
  default: break;
  }
  if (AParity != 0)
    line.c_iflag |= INPCK;
  else
    line.c_iflag &= ~static_cast<tcflag_t>(INPCK);
  bool accepted = ioctl(FComID, TCSETS2, &line) == 0 || (FIsPty && errno == EINVAL);
  if (accepted && !FIsPty) {
    // A driver that cannot do what was asked changes it silently.
    termios2 actual{};
    accepted = ioctl(FComID, TCGETS2, &actual) == 0 && (actual.c_cflag & CSIZE) == (line.c_cflag & CSIZE) &&
               ParityOf(actual.c_cflag) == AParity && StopBitsOf(actual.c_cflag) == AStopBits &&
               std::abs(static_cast<long>(actual.c_ospeed) - ABaudrate) <= ABaudrate / 33;
  }
  // A pseudo-terminal carries bytes without framing and keeps 8 data bits
  // and no parity whatever is asked; what was asked is recorded.
  if (!accepted) {
    ioctl(FComID, TCSETS2, &old);
    FComError = dqeConfig;
    return false;
  }
  FPortData.BaudRate = ABaudrate;
  FPortData.DataBits = static_cast<std::uint8_t>(AByteSize);
  FPortData.StopBits = static_cast<std::uint8_t>(AStopBits);
  FPortData.Parity = static_cast<std::uint8_t>(AParity);
  FPortData.PortType = dqtCOM;
  return true;
}

void TDqComPort::LoadConfig() {
  std::lock_guard<std::mutex> guard(FIoLock);
  termios2 line{};
  if (FComID < 0 || ioctl(FComID, TCGETS2, &line) != 0) {
    FComError = dqeNotOpen;
    return;
  }
  FPortData.BaudRate = static_cast<int>(line.c_ospeed);
  FPortData.DataBits = static_cast<std::uint8_t>(DataBitsOf(line.c_cflag));
  FPortData.StopBits = static_cast<std::uint8_t>(StopBitsOf(line.c_cflag));
  FPortData.Parity = static_cast<std::uint8_t>(ParityOf(line.c_cflag));
  FPortData.PortType = dqtCOM;
}

void TDqComPort::SetTimeOut(std::uint32_t AReadInterval, std::uint32_t AReadMultiplier, std::uint32_t AReadTotal,
                            std::uint32_t AWriteMultiplier, std::uint32_t AWriteTotal) {
  std::lock_guard<std::mutex> guard(FIoLock);
  FTimeOuts = TDqTimeOuts{AReadInterval, AReadMultiplier, AReadTotal, AWriteMultiplier, AWriteTotal};
}

TDqTimeOuts TDqComPort::TimeOuts() {
  std::lock_guard<std::mutex> guard(FIoLock);
  return FTimeOuts;
}

void TDqComPort::SetRTSControlEnabled(bool AValue) {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) return;
  int bits = TIOCM_RTS;
  ioctl(FComID, AValue ? TIOCMBIS : TIOCMBIC, &bits); // ptys have no modem lines
}

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

// ------------------------------------------------------------ port worker

TDqSyncEvent TDqComPort::OnRead() {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnRead;
}

void TDqComPort::SetOnRead(TDqSyncEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnRead = std::move(AValue);
}

TDqSyncEvent TDqComPort::OnWrite() {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnWrite;
}

void TDqComPort::SetOnWrite(TDqSyncEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnWrite = std::move(AValue);
}

void TDqComPort::SetThreadMode(bool AValue) {
  if (FThreadMode.exchange(AValue) || !AValue) return;
  auto monitor = std::make_unique<TDqEventData>(
      QStringLiteral("PortRead"),
      [this](TDqEventData* AEvent) {
        const TDqSyncEvent onRead = OnRead();
        if (!Active() || !onRead) return;
        const QString text = ReadText();
        if (text.isEmpty()) return;
        AEvent->Value = text;
        onRead(AEvent);
      },
      this, 100, true);
  monitor->SenderName = FPortData.Name;
  AddTimerEvent(std::move(monitor));
}

void TDqComPort::ThreadWrite(const QString& AText) {
  auto event = std::make_unique<TDqEventData>(
      QStringLiteral("PortWrite"),
      [this](TDqEventData* AEvent) {
        WriteText(VarAsText(AEvent->Value));
        if (const TDqSyncEvent onWrite = OnWrite()) onWrite(AEvent);
      },
      this);
  event->Value = AText;
  event->SenderName = FPortData.Name;
  AddEvent(std::move(event));
}

void TDqComPort::ThreadWriteLn(const QString& AText) { ThreadWrite(AText + QStringLiteral("\r\n")); }

void TDqComPort::AddEvent(std::unique_ptr<TDqEventData> AEventData) { CurrentThread()->AddEvent(std::move(AEventData)); }

void TDqComPort::AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  CurrentThread()->AddEvent(AName, std::move(AEvent), ASender);
}

void TDqComPort::AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue) {
  CurrentThread()->AddEvent(AName, std::move(AEvent), ASender, AValue);
}

void TDqComPort::AddFirstEvent(std::unique_ptr<TDqEventData> AEventData) {
  CurrentThread()->AddFirstEvent(std::move(AEventData));
}

void TDqComPort::AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  CurrentThread()->AddFirstEvent(AName, std::move(AEvent), ASender);
}

void TDqComPort::AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                               const TVariant& AValue) {
  CurrentThread()->AddFirstEvent(AName, std::move(AEvent), ASender, AValue);
}

void TDqComPort::AddPrivilegeEvent(std::unique_ptr<TDqEventData> AEventData) {
  CurrentThread()->AddPrivilegeEvent(std::move(AEventData));
}

void TDqComPort::AddPrivilegeEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  CurrentThread()->AddPrivilegeEvent(AName, std::move(AEvent), ASender);
}

void TDqComPort::AddTimerEvent(std::unique_ptr<TDqEventData> AEventData) {
  CurrentThread()->AddTimerEvent(std::move(AEventData));
}

void TDqComPort::AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                               std::uint32_t AInterval, bool AForever) {
  CurrentThread()->AddTimerEvent(AName, std::move(AEvent), ASender, AInterval, AForever);
}

void TDqComPort::AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                               const TVariant& AValue, std::uint32_t AInterval, bool AForever) {
  CurrentThread()->AddTimerEvent(AName, std::move(AEvent), ASender, AValue, AInterval, AForever);
}

void TDqComPort::RemoveEvent(const void* ASender) { CurrentThread()->RemoveEvent(ASender); }

bool TDqComPort::WaitRemoveEvent(const void* ASender, std::uint32_t ATimeOut) {
  return CurrentThread()->WaitRemoveEvent(ASender, ATimeOut);
}

void TDqComPort::LoadPortList(QStringList& AList, bool AvailabledOnly) { ListComPorts(AList, AvailabledOnly); }

// --------------------------------------------------------------- port list

TDqComPortList::~TDqComPortList() { Clear(); }

void TDqComPortList::Lock() {
  try {
    FLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock comport list"));
  }
}

void TDqComPortList::Unlock() { FLock.unlock(); }

void TDqComPortList::Clear() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  while (!FItems.empty()) FItems.pop_back(); // last first
}

std::unique_ptr<TDqComPort> TDqComPortList::CreateItem() { return std::make_unique<TDqComPort>(); }

TDqComPort* TDqComPortList::AddPort() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FItems.push_back(CreateItem());
  return FItems.back().get();
}

int TDqComPortList::Count() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return static_cast<int>(FItems.size());
}

int TDqComPortList::IndexOfID(int APortID) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (int i = static_cast<int>(FItems.size()) - 1; i >= 0; --i)
    if (FItems[static_cast<std::size_t>(i)]->PortData().ID == APortID) return i;
  return -1;
}

int TDqComPortList::IndexOf(const QString& APortName) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (int i = static_cast<int>(FItems.size()) - 1; i >= 0; --i)
    if (FItems[static_cast<std::size_t>(i)]->PortData().PortName.compare(APortName, Qt::CaseInsensitive) == 0)
      return i;
  return -1;
}

TDqComPort* TDqComPortList::GetPorts(int AIndex) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size()))
    throw EDqException(QStringLiteral("Comport index out of bound"));
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

void TDqComPortList::SetPorts(int AIndex, std::unique_ptr<TDqComPort> APort) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  const int count = static_cast<int>(FItems.size());
  if (AIndex < 0 || AIndex >= count)
    throw EDqException(QStringLiteral("Comport list index out of bound (%1 [count=%2])").arg(AIndex).arg(count));
  FItems[static_cast<std::size_t>(AIndex)] = std::move(APort);
}

TDqComPort* TDqComPortList::GetPortByID(int APortID) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  const int index = IndexOfID(APortID);
  return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)].get();
}

std::shared_ptr<TDqComPort> TDqComPortList::SharedPortByID(int APortID) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  const int index = IndexOfID(APortID);
  return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)];
}

TDqComPort* TDqComPortList::GetPortByName(const QString& APortName) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  const int index = IndexOf(APortName);
  return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)].get();
}

void TDqComPortList::Load(const std::vector<TDqPortData>& APorts) {
  Clear();
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (const TDqPortData& data : APorts) {
    auto port = CreateItem();
    port->SetPortData(data);
    FItems.push_back(std::move(port));
  }
}
