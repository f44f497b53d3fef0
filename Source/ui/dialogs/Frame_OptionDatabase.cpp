#include "Frame_OptionDatabase.h"

#include "core/DqBackgroundTask.h"
#include "core/DqRoutine.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_User.h"
#include "ui/base/Main_Routine.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>

#include <cmath>

namespace {

QString Bytes(double ABytes) { return QLocale().formattedDataSize(static_cast<qint64>(std::llround(ABytes))); }

} // namespace

TFrameOptionDatabase::TFrameOptionDatabase(QWidget* AOwner)
    : TDqFrame(AOwner), FEditDatabase(new QLineEdit(this)),
      FButtonBrowse(new QPushButton(QStringLiteral("Browse..."), this)),
      FButtonReset(new QPushButton(QStringLiteral("Reset Database"), this)), FSpinKeepMonths(new QSpinBox(this)),
      FLabelFileSize(new QLabel(this)), FLabelGrowth(new QLabel(this)), FLabelDaysLeft(new QLabel(this)),
      FLabelLastArchive(new QLabel(this)), FMeasurer(std::make_unique<TDqBackgroundTask>()) {
  setObjectName(QStringLiteral("FrameOptionDatabase"));
  FEditDatabase->setObjectName(QStringLiteral("EditDatabase"));
  FButtonBrowse->setObjectName(QStringLiteral("ButtonBrowse"));
  FButtonReset->setObjectName(QStringLiteral("ButtonReset"));
  FSpinKeepMonths->setObjectName(QStringLiteral("SpinKeepMonths"));
  FLabelFileSize->setObjectName(QStringLiteral("LabelFileSize"));
  FLabelGrowth->setObjectName(QStringLiteral("LabelGrowth"));
  FLabelDaysLeft->setObjectName(QStringLiteral("LabelDaysLeft"));
  FLabelLastArchive->setObjectName(QStringLiteral("LabelLastArchive"));
  FEditDatabase->setReadOnly(true);
  FEditDatabase->setText(GetDatabaseFileName());
  FButtonBrowse->setEnabled(false); // the database's place is fixed
  FSpinKeepMonths->setRange(0, kMaxKeepHistoryMonths);
  FSpinKeepMonths->setSpecialValueText(QStringLiteral("Keep everything"));
  FSpinKeepMonths->setSuffix(QStringLiteral(" month(s)"));
  FSpinKeepMonths->setValue(StoredKeepHistoryMonths());
  // Stored when typing ends, not at each digit ("12" is never 1 month).
  FSpinKeepMonths->setKeyboardTracking(false);
  // Every reader of the Config table sees it at once: the recording
  // process at its next check.
  FSpinKeepMonths->setEnabled(CurrentUser()->Group()->CanAdmin);
  FLabelLastArchive->setWordWrap(true);
  FLabelLastArchive->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Database file:"), this), 0, 0);
  layout->addWidget(FEditDatabase, 0, 1);
  layout->addWidget(FButtonBrowse, 0, 2);
  layout->addWidget(FButtonReset, 1, 1, Qt::AlignLeft);
  layout->addWidget(new QLabel(QStringLiteral("Keep history for:"), this), 2, 0);
  layout->addWidget(FSpinKeepMonths, 2, 1, Qt::AlignLeft);
  layout->addWidget(new QLabel(QStringLiteral("Older history is moved once a day into Tervox-archive-YYYY.db beside "
                                              "the database."),
                               this),
                    3, 1);
  layout->addWidget(new QLabel(QStringLiteral("Last archiving:"), this), 4, 0);
  layout->addWidget(FLabelLastArchive, 4, 1);
  layout->addWidget(new QLabel(QStringLiteral("File size:"), this), 5, 0);
  layout->addWidget(FLabelFileSize, 5, 1);
  layout->addWidget(new QLabel(QStringLiteral("Growth:"), this), 6, 0);
  layout->addWidget(FLabelGrowth, 6, 1);
  layout->addWidget(new QLabel(QStringLiteral("Disk space:"), this), 7, 0);
  layout->addWidget(FLabelDaysLeft, 7, 1);
  auto* askReason = new QCheckBox(QStringLiteral("Ask for the reason of every change"), this);
  askReason->setObjectName(QStringLiteral("CheckAskReason"));
  askReason->setChecked(Config()->GetValueBoolDef(QStringLiteral("AuditAskReason"), false));
  askReason->setEnabled(CurrentUser()->Group()->CanAdmin);
  layout->addWidget(askReason, 8, 1);
  connect(askReason, &QCheckBox::toggled, this, [](bool AOn) {
    if (CurrentUser()->Group()->CanAdmin) Config()->SetValueBool(QStringLiteral("AuditAskReason"), AOn);
  });
  layout->setColumnStretch(1, 1);
  layout->setRowStretch(9, 1);
  connect(FButtonReset, &QPushButton::clicked, this, &TFrameOptionDatabase::ButtonResetClick);
  connect(FSpinKeepMonths, &QSpinBox::valueChanged, this, [this](int AMonths) {
    if (!CurrentUser()->Group()->CanAdmin) {
      // Not this user's to change: back to what is stored.
      const QSignalBlocker block(FSpinKeepMonths);
      FSpinKeepMonths->setValue(StoredKeepHistoryMonths());
      return;
    }
    Config()->SetValueInt(kKeepHistoryMonths, AMonths);
  });

  const TTervoxConfig* config = Config();
  const double lastRun = config->GetValueDateTime(kArchiveLastRun);
  FLabelLastArchive->setText(lastRun > 0 ? DateTimeToQDateTime(lastRun).toString(QStringLiteral("yyyy-MM-dd HH:mm ")) +
                                               config->GetValues(kArchiveLastResult)
                                         : QStringLiteral("Never"));
  Measure();
}

TFrameOptionDatabase::~TFrameOptionDatabase() = default;

bool TFrameOptionDatabase::Measuring() const { return FMeasurer->Running(); }

void TFrameOptionDatabase::Measure(double ANow, std::int64_t AFreeBytes) {
  FLabelFileSize->setText(QStringLiteral("Measuring..."));
  FLabelGrowth->setText(QString());
  FLabelDaysLeft->setText(QString());
  const QString fileName = GetDatabaseFileName();
  const double now = ANow >= 0 ? ANow : Now();
  // Never on the UI thread: a large database's summaries take seconds.
  FMeasurer->Start(
      [this, fileName, now, AFreeBytes](const std::atomic<bool>& ACancel) -> TDqBackgroundTask::TDone {
        const TDatabaseGrowth growth = MeasureDatabaseGrowth(fileName, now, AFreeBytes, 0, &ACancel);
        return [this, growth] { ShowGrowth(growth, QString()); };
      },
      [this](std::exception_ptr AError) { ShowGrowth(TDatabaseGrowth(), ExceptionMessage(AError)); });
}

void TFrameOptionDatabase::ShowGrowth(const TDatabaseGrowth& AGrowth, const QString& AError) {
  if (!AError.isEmpty()) {
    FLabelFileSize->setText(QStringLiteral("Not measured: ") + AError.section(QLatin1Char('\n'), 0, 0));
    return;
  }
  FLabelFileSize->setText(AGrowth.TotalRows > 0 ? QStringLiteral("%1 (%2 history record(s))")
                                                      .arg(Bytes(static_cast<double>(AGrowth.FileBytes)))
                                                      .arg(AGrowth.TotalRows)
                                                : Bytes(static_cast<double>(AGrowth.FileBytes)));
  FLabelGrowth->setText(AGrowth.BytesPerDay > 0
                            ? QStringLiteral("About %1 per day (%2 record(s) a day over the last 7 days)")
                                  .arg(Bytes(AGrowth.BytesPerDay))
                                  .arg(std::llround(AGrowth.RowsPerDay))
                            : QStringLiteral("Nothing recorded over the last 7 days"));
  QString left = AGrowth.FreeBytes >= 0 ? Bytes(static_cast<double>(AGrowth.FreeBytes)) + QStringLiteral(" free")
                                        : QStringLiteral("Free space unknown");
  if (AGrowth.DaysLeft >= 0)
    left += QStringLiteral(", about %1 day(s) of history left").arg(static_cast<long long>(std::floor(AGrowth.DaysLeft)));
  FLabelDaysLeft->setText(left);
  FLabelDaysLeft->setStyleSheet(DiskSpaceWarning(AGrowth).isEmpty() ? QString() : QStringLiteral("color: red"));
}

void TFrameOptionDatabase::ButtonResetClick() {
  if (!AskAdminPassword()) return;
  MainResetDatabase();
  if (FForm) FForm->accept();
}
