// The main window's status bar: who is logged in, failed history writes,
// the MQTT publisher, the recorder, history summaries, the disk and
// whether the system clock is synchronised.
#include "Form_Main.h"

#include "core/DqBackgroundTask.h"
#include "core/DqClock.h"
#include "core/DqRoutine.h"
#include "store/DqHistorySummary.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Retention.h"
#include "plant/Tervox_User.h"
#include "mqtt/Tervox_Mqtt.h"

#include <QDateTime>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

void TFormMain::CreateStatusBar() {
  FStatusPanel = new QLabel(QStringLiteral("Login:"), this);
  FStatusPanel->setObjectName(QStringLiteral("StatusPanel"));
  FStatusPanel->setFrameShape(QFrame::Panel);
  FStatusPanel->setFrameShadow(QFrame::Sunken);
  FStatusPanel->setContentsMargins(4, 0, 4, 0);
  auto* status = new QStatusBar(this);
  status->setObjectName(QStringLiteral("StatusMain"));
  status->addWidget(FStatusPanel, 1);
  // The panels at the right, hidden while they have nothing to say.
  auto addPanel = [this, status](const char* AName, const QString& AStyle = QString()) {
    auto* label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(AName));
    if (!AStyle.isEmpty()) label->setStyleSheet(AStyle);
    label->setContentsMargins(4, 0, 4, 0);
    label->hide();
    status->addPermanentWidget(label);
    return label;
  };
  // Writes the program makes by itself that fail (history rows), shown
  // until writing works again.
  FDatabaseProblem = addPanel("DatabaseProblem", QStringLiteral("color: red; font-weight: bold"));
  FMqttStatus = addPanel("MqttStatus");
  // Whether a recorder polls for this window, and whether it is there.
  FStationStatus = addPanel("StationStatus");
  FSummaryStatus = addPanel("SummaryStatus");
  // A failed archive run (whichever process ran it) and a disk that lasts
  // less than a month.
  FHistoryCheck = std::make_unique<TDqBackgroundTask>();
  FHistoryStatus = addPanel("HistoryStatus", QStringLiteral("color: red"));
  FTimerHistoryStatus = new QTimer(this);
  FTimerHistoryStatus->setObjectName(QStringLiteral("TimerHistoryStatus"));
  FTimerHistoryStatus->setInterval(60 * 60 * 1000);
  connect(FTimerHistoryStatus, &QTimer::timeout, this, [this] { CheckHistoryStatus(); });
  // The times of every reading follow the system clock: whether it is kept
  // synchronised, asked of the kernel every minute.
  QLabel* clock = addPanel("ClockStatus");
  const auto showClock = [clock] {
    const bool synchronised = ClockSynchronised();
    clock->setText(ClockStatusText(synchronised));
    clock->setStyleSheet(synchronised ? QString() : QStringLiteral("color: red"));
  };
  showClock();
  clock->show();
  auto* clockTimer = new QTimer(clock);
  clockTimer->setObjectName(QStringLiteral("TimerClockStatus"));
  clockTimer->setInterval(60 * 1000);
  connect(clockTimer, &QTimer::timeout, clock, showClock);
  clockTimer->start();
  setStatusBar(status);
  SetRetentionNotifier([this](const TRetentionOutcome&) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (CurrentUser()->Username.isEmpty()) return;
          FArchiveProblem = RetentionStatusText();
          ShowHistoryStatus();
        },
        Qt::QueuedConnection);
  });
  SetMqttStatusNotifier([this](const TTervoxMqttStatus& AStatus) {
    const bool shown = AStatus.State != TMqttState::Off;
    const QString text = AStatus.Text();
    QMetaObject::invokeMethod(
        this,
        [this, shown, text] {
          FMqttStatus->setText(text);
          FMqttStatus->setVisible(shown);
        },
        Qt::QueuedConnection);
  });
  SetDatabaseProblemNotifier([this](const QString& AProblem) {
    const QString text = AProblem.isEmpty() ? QString()
                                            : QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss ")) + AProblem;
    QMetaObject::invokeMethod(
        this,
        [this, text] {
          FDatabaseProblem->setText(text);
          FDatabaseProblem->setVisible(!text.isEmpty());
        },
        Qt::QueuedConnection);
  });
}

QString TFormMain::StatusText() const { return FStatusPanel->text(); }

QString TFormMain::HistoryStatusText() const {
  return FHistoryStatus->isHidden() ? QString() : FHistoryStatus->text();
}

void TFormMain::ShowHistoryStatus() {
  QStringList parts;
  for (const QString& part : {FArchiveProblem, FDiskWarning})
    if (!part.isEmpty()) parts << part;
  FHistoryStatus->setText(parts.join(QStringLiteral(" | ")));
  FHistoryStatus->setToolTip(FHistoryStatus->text());
  FHistoryStatus->setVisible(!parts.isEmpty());
}

void TFormMain::CheckHistoryStatus(double ANow, std::int64_t AFreeBytes) {
  // Two Config values: cheap enough for this thread.
  try {
    FArchiveProblem = RetentionStatusText();
  } catch (const EDqException& e) {
    FArchiveProblem = e.Message().section(QLatin1Char('\n'), 0, 0);
  }
  ShowHistoryStatus();
  if (CheckingHistory()) return;
  const QString fileName = GetDatabaseFileName();
  const double now = ANow >= 0 ? ANow : Now();
  // The whole summary is read once a day; the hourly check reads the last
  // week's minutes only.
  const double bytesPerRow = now - FBytesPerRowAt < 1.0 ? FBytesPerRow : 0.0;
  FHistoryCheck->Start(
      [this, fileName, now, AFreeBytes, bytesPerRow](const std::atomic<bool>& ACancel) -> TDqBackgroundTask::TDone {
        const TDatabaseGrowth growth = MeasureDatabaseGrowth(fileName, now, AFreeBytes, bytesPerRow, &ACancel);
        return [this, growth, now, bytesPerRow] {
          if (bytesPerRow <= 0 && growth.BytesPerRow > 0) {
            FBytesPerRow = growth.BytesPerRow;
            FBytesPerRowAt = now;
          }
          FDiskWarning = DiskSpaceWarning(growth);
          ShowHistoryStatus();
        };
      },
      // The database is away (a reset): the next check measures again.
      [](std::exception_ptr) {});
}

bool TFormMain::CheckingHistory() const { return FHistoryCheck->Running(); }

void TFormMain::StartSummaryBuilder() {
  // An older database (or one just restored) has its history summarised
  // in the background; graphs read rows meanwhile.
  if (FSummaryBuilder && !FSummaryBuilder->Finished()) return;
  FSummaryBuilder.reset();
  if (PendingHistorySummaryMinutes(*GetDatabase()) == 0) return;
  FSummaryBuilder = std::make_unique<THistorySummaryBuilder>(
      GetDatabaseFileName(), [this](std::int64_t ADone, std::int64_t ATotal, bool AFinished, const QString& AError) {
        QString text;
        if (!AError.isEmpty())
          text = QStringLiteral("History summaries not built: ") + AError.section(QLatin1Char('\r'), 0, 0);
        else if (!AFinished)
          text = QStringLiteral("Summarising history: %1%").arg(ATotal > 0 ? ADone * 100 / ATotal : 100);
        QMetaObject::invokeMethod(
            this,
            [this, text] {
              FSummaryStatus->setText(text);
              FSummaryStatus->setVisible(!text.isEmpty());
            },
            Qt::QueuedConnection);
      });
}
