#include "Tervox_ClockWatch.h"

#include "core/DqRoutine.h"
#include "store/Main_Database.h"
#include "trust/Tervox_Audit.h"

#include <QString>

#include <memory>

namespace {

// "+12.3 s", "-4.0 s".
QString StepText(std::chrono::milliseconds AStep) {
  const double seconds = static_cast<double>(AStep.count()) / 1000.0;
  return (seconds >= 0 ? QStringLiteral("+") : QString()) + QString::number(seconds, 'f', 1) + QStringLiteral(" s");
}

std::mutex gWatchMutex;
std::unique_ptr<TTervoxClockWatch> gWatch;

} // namespace

TTervoxClockWatch::TTervoxClockWatch(TWallClock AWall, TSteadyClock ASteady, TStepped AOnStep)
    : FWall(AWall ? std::move(AWall) : TWallClock([] { return std::chrono::system_clock::now(); })),
      FSteady(ASteady ? std::move(ASteady) : TSteadyClock([] { return std::chrono::steady_clock::now(); })),
      FOnStep(AOnStep ? std::move(AOnStep) : TStepped(RecordClockStep)) {}

TTervoxClockWatch::~TTervoxClockWatch() { Stop(); }

void TTervoxClockWatch::Start(std::chrono::milliseconds APeriod) {
  if (FThread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStopping = false;
    FChecked = false; // a pause between a stop and a start is no step
  }
  Check();
  FThread = std::thread([this, APeriod] {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FWake.wait_for(lock, APeriod, [this] { return FStopping; })) {
      lock.unlock();
      Check();
      lock.lock();
    }
  });
}

void TTervoxClockWatch::Stop() {
  if (!FThread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStopping = true;
  }
  FWake.notify_all();
  FThread.join();
}

std::chrono::milliseconds TTervoxClockWatch::Check() {
  const auto wall = FWall();
  const auto steady = FSteady();
  std::chrono::milliseconds step{0};
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FChecked) {
      step = std::chrono::duration_cast<std::chrono::milliseconds>((wall - FLastWall) - (steady - FLastSteady));
      if (step <= kTolerance && step >= -kTolerance) step = std::chrono::milliseconds(0);
    }
    FChecked = true;
    FLastWall = wall;
    FLastSteady = steady;
  }
  if (step.count() != 0) FOnStep(step);
  return step;
}

void RecordClockStep(std::chrono::milliseconds AStep) {
  const QString step = StepText(AStep);
  TervoxAudit::TEntry entry;
  entry.User = QString::fromLatin1(TervoxAudit::kRecorder);
  entry.TargetKind = QString::fromLatin1(TervoxAudit::kStation);
  entry.Target = TervoxAudit::StationName();
  entry.Action = QStringLiteral("clock stepped");
  entry.Changes.push_back({QStringLiteral("step"), QString(), step});
  TervoxAudit::AppendQuietly(entry);
  try {
    AddUsageLog(QStringLiteral("Clock stepped %1").arg(step), 0, QString(), 0, 0);
  } catch (const EDqException& e) {
    qWarning("TERVOX: clock stepped %s: %s", qPrintable(step), qPrintable(e.Message()));
  }
}

void StartClockWatch() {
  std::lock_guard<std::mutex> guard(gWatchMutex);
  if (!gWatch) gWatch = std::make_unique<TTervoxClockWatch>();
  gWatch->Start();
}

void StopClockWatch() {
  std::lock_guard<std::mutex> guard(gWatchMutex);
  if (gWatch) gWatch->Stop();
}
