#include "DqPort.h"

#include "DqNetLine.h"
#include "DqPortLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

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
