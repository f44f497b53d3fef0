#include "DqPortLine.h"

#include <QFile>

#include <algorithm>
#include <chrono>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

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

// ---------------------------------------------------------------- the line

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
  FLastActivity = std::chrono::steady_clock::now();
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

void TDqComPort::SetRTSControlEnabled(bool AValue) {
  std::lock_guard<std::mutex> guard(FIoLock);
  if (FComID < 0) return;
  int bits = TIOCM_RTS;
  ioctl(FComID, AValue ? TIOCMBIS : TIOCMBIC, &bits); // ptys have no modem lines
}
