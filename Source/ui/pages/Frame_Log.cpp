#include "Frame_Log.h"

#include "widgets/DqPageView.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "export/Tervox_AuditReport.h"
#include "export/Tervox_Report.h"
#include "export/Tervox_UsageLogReport.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Alerts.h"
#include "ui/base/Main_PrintJob.h"
#include "ui/base/Main_Routine.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QVBoxLayout>

TFrameLog::TFrameLog(QWidget* AOwner)
    : TDqFrame(AOwner), FComboShow(new QComboBox(this)), FAuditBar(new QWidget(this)),
      FDateFrom(new QDateEdit(FAuditBar)), FDateTo(new QDateEdit(FAuditBar)), FComboUser(new QComboBox(FAuditBar)),
      FComboDevice(new QComboBox(FAuditBar)), FButtonExport(new QPushButton(QStringLiteral("Export..."), FAuditBar)),
      FButtonPrint(new QPushButton(QStringLiteral("Print..."), FAuditBar)), FPageView(new TDqPageView(this)) {
  setObjectName(QStringLiteral("FrameLog"));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(224, 224, 224));
  setPalette(palette);

  FComboShow->setObjectName(QStringLiteral("ComboShow"));
  FComboShow->addItems({QStringLiteral("Usage log"), QStringLiteral("Audit trail")});
  FDateFrom->setObjectName(QStringLiteral("DateFrom"));
  FDateTo->setObjectName(QStringLiteral("DateTo"));
  FComboUser->setObjectName(QStringLiteral("ComboUser"));
  FComboDevice->setObjectName(QStringLiteral("ComboDevice"));
  FButtonExport->setObjectName(QStringLiteral("ButtonExport"));
  FButtonPrint->setObjectName(QStringLiteral("ButtonPrint"));
  for (QDateEdit* edit : {FDateFrom, FDateTo}) {
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
  }
  const QDate today = DateTimeToQDateTime(Now()).date();
  FDateFrom->setDate(today.addMonths(-1));
  FDateTo->setDate(today);
  auto* auditLayout = new QHBoxLayout(FAuditBar);
  auditLayout->setContentsMargins(0, 0, 0, 0);
  auditLayout->addWidget(new QLabel(QStringLiteral("From"), FAuditBar));
  auditLayout->addWidget(FDateFrom);
  auditLayout->addWidget(new QLabel(QStringLiteral("To"), FAuditBar));
  auditLayout->addWidget(FDateTo);
  auditLayout->addWidget(new QLabel(QStringLiteral("User"), FAuditBar));
  auditLayout->addWidget(FComboUser);
  auditLayout->addWidget(new QLabel(QStringLiteral("Device"), FAuditBar));
  auditLayout->addWidget(FComboDevice);
  auditLayout->addWidget(FButtonPrint);
  auditLayout->addWidget(FButtonExport);
  auditLayout->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(FComboShow);
  top->addWidget(FAuditBar, 1);

  auto* bottom = new QHBoxLayout;
  for (int i = 0; i < 3; ++i) {
    FCheckBoxEV[i] = new QCheckBox(QStringLiteral("Alert when EV%1 change").arg(i + 1), this);
    FCheckBoxEV[i]->setObjectName(QStringLiteral("CheckBoxEV%1").arg(i + 1));
    FCheckBoxEV[i]->setChecked(TervoxAlerts::AlertEV(i));
    // The engine reads the flag at the next change; the key survives a restart.
    connect(FCheckBoxEV[i], &QCheckBox::clicked, this, [i](bool AChecked) {
      TervoxAlerts::SetAlertEV(i, AChecked);
      MainStationSettingsChanged();
    });
    bottom->addWidget(FCheckBoxEV[i]);
  }
  bottom->addStretch();
  bottom->addWidget(FPageView->PageBar());
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(FPageView, 1);
  layout->addLayout(bottom);

  FPageView->SetPaper(LogSetting()->SheetWidth(), LogSetting()->SheetHeight());
  FPageView->SetOnDrawPage([this](QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int APage, int ACount) {
    if (ShowsAuditTrail()) {
      if (FAuditReport) FAuditReport->DrawPage(APainter, APrint, *LogSetting(), ARect, APage, ACount);
    } else if (FReport) {
      FReport->DrawPage(APainter, APrint, *LogSetting(), ARect, APage, ACount);
    }
  });
  connect(FComboShow, &QComboBox::currentIndexChanged, this, [this] { ShowChanged(); });
  for (QDateEdit* edit : {FDateFrom, FDateTo}) connect(edit, &QDateEdit::dateChanged, this, [this] { LoadLog(); });
  for (QComboBox* combo : {FComboUser, FComboDevice})
    connect(combo, &QComboBox::activated, this, [this] { LoadLog(); });
  connect(FButtonExport, &QPushButton::clicked, this, [this] { ButtonExportClick(); });
  connect(FButtonPrint, &QPushButton::clicked, this, [this] { ButtonPrintClick(); });
  SetOnEnter([this](TDqFrame*) {
    FillFilters();
    LoadLog();
  });
  ShowChanged();
}

TFrameLog::~TFrameLog() { FPageView->StopCount(); }

bool TFrameLog::Counting() const { return FPageView->Counting(); }

bool TFrameLog::ShowsAuditTrail() const { return FComboShow->currentIndex() == 1; }

void TFrameLog::ShowChanged() {
  FAuditBar->setVisible(ShowsAuditTrail());
  for (QCheckBox* check : FCheckBoxEV) check->setVisible(!ShowsAuditTrail());
  FillFilters();
  LoadLog();
}

void TFrameLog::FillFilters() {
  const QString user = FComboUser->currentData().toString();
  const qlonglong device = FComboDevice->currentData().toLongLong();
  FComboUser->clear();
  FComboUser->addItem(QStringLiteral("(all)"), QString());
  try {
    auto users = GetDatabase()->GetTable(QStringLiteral("SELECT Username FROM Users ORDER BY Username"));
    for (; !users->Eof(); users->Next()) {
      const QString name = users->GetFields(0)->AsString();
      FComboUser->addItem(name, name);
    }
  } catch (const EDqException&) {
    // No user list: the filter offers "(all)" alone.
  }
  FComboDevice->clear();
  FComboDevice->addItem(QStringLiteral("(all)"), 0);
  if (TTervoxDeviceList* devices = DeviceList()) {
    devices->Lock();
    for (int i = 0; i < devices->Count(); ++i)
      FComboDevice->addItem(devices->GetDevices(i)->DeviceName(), devices->GetDevices(i)->ID());
    devices->Unlock();
  }
  FComboUser->setCurrentIndex(std::max(FComboUser->findData(user), 0));
  FComboDevice->setCurrentIndex(std::max(FComboDevice->findData(device), 0));
}

TAuditFilter TFrameLog::AuditFilter() const {
  TAuditFilter filter;
  filter.From = DateTimeFromQDateTime(FDateFrom->date().startOfDay());
  filter.To = DateTimeFromQDateTime(FDateTo->date().addDays(1).startOfDay());
  filter.User = FComboUser->currentData().toString();
  filter.ControllerID = FComboDevice->currentData().toLongLong();
  return filter;
}

void TFrameLog::LoadLog() {
  const QString fileName = GetDatabaseFileName();
  if (ShowsAuditTrail()) {
    const TAuditFilter filter = AuditFilter();
    FPageView->CountPages(
        [this, fileName, filter](const std::atomic<bool>& ACancel) -> std::function<int()> {
          auto report = std::make_shared<TAuditReport>(fileName);
          report->Open(filter);
          if (ACancel) return {};
          return [this, report] {
            FAuditReport = report;
            return report->PageCount(UsageLogRowsPerPage(*LogSetting()));
          };
        },
        ShowException);
    return;
  }
  FPageView->CountPages(
      [this, fileName](const std::atomic<bool>& ACancel) -> std::function<int()> {
        auto report = std::make_shared<TUsageLogReport>(fileName);
        if (!report->Open(&ACancel)) return {};
        return [this, report] {
          FReport = report;
          return report->PageCount(UsageLogRowsPerPage(*LogSetting()));
        };
      },
      ShowException);
}

std::int64_t TFrameLog::ExportAuditTrail(const QString& AFileName) const {
  if (!FAuditReport) return 0;
  if (AFileName.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)) return FAuditReport->ExportCSV(AFileName);
  if (AFileName.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive)) return FAuditReport->ExportXLSX(AFileName);
  FAuditReport->ExportPDF(AFileName, *LogSetting());
  return FAuditReport->RecordCount();
}

void TFrameLog::ButtonExportClick() {
  if (!FAuditReport || Counting()) return;
  QFileDialog dialog(this, QStringLiteral("Export Audit Trail"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({QStringLiteral("CSV Files (*.csv)"), QStringLiteral("Excel Workbook (*.xlsx)"),
                         QStringLiteral("PDF Files (*.pdf)")});
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& AFilter) {
    dialog.setDefaultSuffix(AFilter.contains(QLatin1String("*.xlsx")) ? QStringLiteral("xlsx")
                            : AFilter.contains(QLatin1String("*.pdf")) ? QStringLiteral("pdf")
                                                                       : QStringLiteral("csv"));
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  ExportAuditTrail(dialog.selectedFiles().first());
}

void TFrameLog::ButtonPrintClick() {
  if (!FAuditReport || Counting()) return;
  const int pageCount = std::max(FPageView->PageCount(), 1);
  QPrinter printer(QPrinter::HighResolution);
  printer.setPageLayout(LogSetting()->PageLayout());
  QPrintDialog dialog(&printer, this);
  if (dialog.exec() != QDialog::Accepted) return;
  TPrintJob job(printer, QStringLiteral("The audit trail cannot be printed."));
  TDqPrint print;
  print.PaperWidth = LogSetting()->SheetWidth();
  print.PaperHeight = LogSetting()->SheetHeight();
  print.SetPrinterMode(&printer);
  const QRect rect = PrintableRect(&printer);
  for (int page = 1; page <= pageCount; ++page) {
    FAuditReport->DrawPage(job.Painter(), print, *LogSetting(), rect, page, pageCount);
    if (page < pageCount) printer.newPage();
  }
  job.Finish();
}
