#include "Frame_Report.h"

#include "plant/Tervox_User.h"

#include "widgets/DqPageView.h"
#include "graph/DqPrint.h"
#include "core/DqRoutine.h"
#include "ui/dialogs/Form_ReportSetting.h"
#include "plant/Tervox_Device.h"
#include "export/Tervox_DeviceReport.h"
#include "export/Tervox_Report.h"
#include "export/Tervox_ReportStamp.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Maintenance.h"
#include "ui/base/Form_Progress.h"
#include "ui/base/Main_PrintJob.h"
#include "ui/base/Main_Routine.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <cmath>

namespace {

// What the page showed, kept for the run so that the page shows the same
// report when it is created again.
struct TReportSelection {
  bool Stored = false;
  QString DeviceName;
  bool Checked[7] = {true, true, true, true, true, true, true};
  int Period = 0;
  QDate FirstDate, LastDate;
  QTime FirstTime, LastTime;
};
TReportSelection gSelection;
bool gRestoring = false;

double DayOf(const QDate& ADate) { return DateTimeFromQDateTime(QDateTime(ADate, QTime(0, 0))); }
double TimeOf(const QTime& ATime) { return ATime.msecsSinceStartOfDay() / 86400000.0; }

QPushButton* NewButton(const QString& AText, const char* AName, QWidget* AParent) {
  auto* button = new QPushButton(AText, AParent);
  button->setObjectName(QString::fromLatin1(AName));
  return button;
}

} // namespace

TFrameReport::TFrameReport(QWidget* AOwner)
    : TDqFrame(AOwner), FComboDevice(new QComboBox(this)), FPickerFirstDate(new QDateEdit(this)),
      FPickerFirstTime(new QTimeEdit(this)), FPickerLastDate(new QDateEdit(this)), FPickerLastTime(new QTimeEdit(this)),
      FComboPeriod(new QComboBox(this)), FButtonPrint(NewButton(QStringLiteral("Print"), "ButtonPrint", this)),
      FButtonSetting(NewButton(QStringLiteral("Setting"), "ButtonSetting", this)),
      FButtonExport(NewButton(QStringLiteral("Export"), "ButtonExport", this)),
      FButtonApprove(NewButton(QStringLiteral("Approve"), "ButtonApprove", this)), FPageView(new TDqPageView(this)) {
  setObjectName(QStringLiteral("FrameReport"));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(128, 192, 224));
  setPalette(palette);

  FComboDevice->setObjectName(QStringLiteral("ComboDevice"));
  FComboDevice->setMinimumWidth(160);
  FPickerFirstDate->setObjectName(QStringLiteral("PickerFirstDate"));
  FPickerFirstTime->setObjectName(QStringLiteral("PickerFirstTime"));
  FPickerLastDate->setObjectName(QStringLiteral("PickerLastDate"));
  FPickerLastTime->setObjectName(QStringLiteral("PickerLastTime"));
  for (QDateEdit* picker : {FPickerFirstDate, FPickerLastDate}) {
    picker->setCalendarPopup(true);
    picker->setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
  }
  for (QTimeEdit* picker : {FPickerFirstTime, FPickerLastTime}) picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  FComboPeriod->setObjectName(QStringLiteral("ComboPeriod"));
  for (const char* name : kReportPeriodNames) FComboPeriod->addItem(QString::fromLatin1(name));
  for (int i = 0; i < 7; ++i) {
    FCheckBoxes[i] = new QCheckBox(QString::fromLatin1(kReportColumnNames[i]), this);
    FCheckBoxes[i]->setObjectName(QStringLiteral("CheckBox") + QString::fromLatin1(kReportColumnNames[i]));
    FCheckBoxes[i]->setChecked(true);
  }

  auto boldLabel = [this](const QString& AText, const char* AName) {
    auto* label = new QLabel(AText, this);
    label->setObjectName(QString::fromLatin1(AName));
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
  };
  auto* top = new QHBoxLayout;
  top->addWidget(boldLabel(QStringLiteral("Device Name:"), "Label1"));
  top->addWidget(FComboDevice);
  top->addSpacing(12);
  top->addWidget(boldLabel(QStringLiteral("From:"), "Label3"));
  top->addWidget(FPickerFirstDate);
  top->addWidget(FPickerFirstTime);
  top->addWidget(boldLabel(QStringLiteral("To"), "Label4"));
  top->addWidget(FPickerLastDate);
  top->addWidget(FPickerLastTime);
  top->addStretch();
  // What to report on two rows above the pages, what to do with them and
  // the page bar below: one row of all would not fit the window.
  auto* columns = new QHBoxLayout;
  columns->addWidget(FComboPeriod);
  columns->addSpacing(12);
  for (QCheckBox* box : FCheckBoxes) columns->addWidget(box);
  columns->addStretch();
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(FButtonPrint);
  bottom->addWidget(FButtonSetting);
  bottom->addWidget(FButtonExport);
  bottom->addWidget(FButtonApprove);
  bottom->addStretch();
  bottom->addWidget(FPageView->PageBar());
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(columns);
  layout->addWidget(FPageView, 1);
  layout->addLayout(bottom);

  FPageView->SetPaper(ReportSetting()->SheetWidth(), ReportSetting()->SheetHeight());
  FPageView->SetOnDrawPage([this](QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int APage, int ACount) {
    if (FReport && FComboDevice->currentIndex() >= 0)
      FReport->DrawPage(APainter, APrint, *ReportSetting(), ARect, APage, ACount);
  });

  // From the half-hour boundary before the current half-hour, for an hour.
  const double first = (std::trunc(Now() * 48) - 1) / 48;
  const QDateTime from = DateTimeToQDateTime(first);
  const QDateTime to = DateTimeToQDateTime(first + 1.0 / 24);
  FPickerFirstDate->setDate(from.date());
  FPickerFirstTime->setTime(from.time());
  FPickerLastDate->setDate(to.date());
  FPickerLastTime->setTime(to.time());

  UpdateDevices();
  connect(FComboDevice, &QComboBox::currentIndexChanged, this, &TFrameReport::SelectionChange);
  connect(FComboPeriod, &QComboBox::currentIndexChanged, this, &TFrameReport::SelectionChange);
  for (QCheckBox* box : FCheckBoxes) connect(box, &QCheckBox::toggled, this, &TFrameReport::SelectionChange);
  for (QDateEdit* picker : {FPickerFirstDate, FPickerLastDate})
    connect(picker, &QDateEdit::dateChanged, this, &TFrameReport::SelectionChange);
  for (QTimeEdit* picker : {FPickerFirstTime, FPickerLastTime})
    connect(picker, &QTimeEdit::timeChanged, this, &TFrameReport::SelectionChange);
  connect(FButtonPrint, &QPushButton::clicked, this, &TFrameReport::ButtonPrintClick);
  connect(FButtonSetting, &QPushButton::clicked, this, &TFrameReport::ButtonSettingClick);
  connect(FButtonExport, &QPushButton::clicked, this, &TFrameReport::ButtonExportClick);
  connect(FButtonApprove, &QPushButton::clicked, this, &TFrameReport::ButtonApproveClick);
  // What the page showed last in this run, else the first controller's
  // readings: never a blank page while there is something to show.
  if (RestoreSelection()) return;
  if (FComboDevice->count() > 0) FComboDevice->setCurrentIndex(0);
  else FPageView->SetPageCount(0);
}

TFrameReport::~TFrameReport() { FPageView->StopCount(); }

bool TFrameReport::Counting() const { return FPageView->Counting(); }

void TFrameReport::UpdateDevices() {
  FPageView->StopCount();
  {
    const QSignalBlocker blocker(FComboDevice);
    FComboDevice->clear();
    if (TTervoxDeviceList* list = DeviceList()) {
      list->Lock();
      for (int i = 0; i < list->Count(); ++i) {
        TTervoxDevice* device = list->GetDevices(i);
        FComboDevice->addItem(device->DeviceName(), device->ID());
      }
      list->Unlock();
    }
    FComboDevice->setCurrentIndex(-1);
  }
  FReport.reset();
  FPageView->SetPageCount(0);
}

double TFrameReport::FirstTime() const { return DayOf(FPickerFirstDate->date()) + TimeOf(FPickerFirstTime->time()); }

double TFrameReport::LastTime() const { return DayOf(FPickerLastDate->date()) + TimeOf(FPickerLastTime->time()); }

void TFrameReport::RememberSelection() {
  gSelection.Stored = true;
  gSelection.DeviceName = FComboDevice->currentText();
  for (int i = 0; i < 7; ++i) gSelection.Checked[i] = FCheckBoxes[i]->isChecked();
  gSelection.Period = FComboPeriod->currentIndex();
  gSelection.FirstDate = FPickerFirstDate->date();
  gSelection.FirstTime = FPickerFirstTime->time();
  gSelection.LastDate = FPickerLastDate->date();
  gSelection.LastTime = FPickerLastTime->time();
}

bool TFrameReport::RestoreSelection() {
  if (!gSelection.Stored) return false;
  const int index = FComboDevice->findText(gSelection.DeviceName);
  if (index < 0) return false;
  gRestoring = true;
  FComboDevice->setCurrentIndex(index);
  for (int i = 0; i < 7; ++i) FCheckBoxes[i]->setChecked(gSelection.Checked[i]);
  FComboPeriod->setCurrentIndex(gSelection.Period);
  FPickerFirstDate->setDate(gSelection.FirstDate);
  FPickerFirstTime->setTime(gSelection.FirstTime);
  FPickerLastDate->setDate(gSelection.LastDate);
  FPickerLastTime->setTime(gSelection.LastTime);
  gRestoring = false;
  SelectionChange();
  return true;
}

void TFrameReport::SelectionChange() {
  if (gRestoring || FComboDevice->currentIndex() < 0) return;
  RememberSelection();
  TDeviceReportQuery query;
  query.DeviceID = FComboDevice->currentData().toInt();
  query.DeviceName = FComboDevice->currentText();
  query.FirstTime = FirstTime();
  query.LastTime = LastTime();
  query.Period = std::max(FComboPeriod->currentIndex(), 0);
  query.Columns = 0;
  for (int i = 0; i < 7; ++i)
    if (FCheckBoxes[i]->isChecked()) query.Columns |= 1u << i;
  StartCount(query);
}

void TFrameReport::StartCount(const TDeviceReportQuery& AQuery) {
  // An approval is of the report it was given for.
  FApproval.clear();
  const QString fileName = GetDatabaseFileName();
  FPageView->CountPages(
      [this, fileName, AQuery](const std::atomic<bool>& ACancel) -> std::function<int()> {
        auto report = std::make_shared<TDeviceReport>(fileName);
        if (!report->Open(AQuery, &ACancel)) return {};
        return [this, report] {
          FReport = report;
          return report->PageCount(ReportRowsPerPage(*ReportSetting()));
        };
      },
      ShowException);
}

bool TFrameReport::PrintReport(QPrinter& APrinter, int AFirst, int ALast) {
  if (!FReport) return false;
  // The run keeps the report it started with, whatever count ends meanwhile.
  const std::shared_ptr<TDeviceReport> report = FReport;
  APrinter.setDocName(QStringLiteral("Tervox Report ") +
                      UserLocale().toString(DateTimeToQDateTime(Now()), QLocale::ShortFormat));
  const int rowsPerPage = ReportRowsPerPage(*ReportSetting());
  const int pageCount = report->PageCount(rowsPerPage);
  TPrintJob job(APrinter, QStringLiteral("The printer cannot start the report."));
  // Paper pages are drawn at their own scale, whatever the zoom on screen.
  TDqPrint print;
  print.PaperWidth = FPageView->Print().PaperWidth;
  print.PaperHeight = FPageView->Print().PaperHeight;
  print.SetPrinterMode(&APrinter);
  const QRect rect = PrintableRect(&APrinter);
  TFormProgress progress(this, QStringLiteral("Print"), QStringLiteral("Printing the report"));
  progress.SetDetail(QStringLiteral("page %1 of %2"));
  TReportSheetFooter footer = SheetFooter();
  const std::exception_ptr error = progress.Run([&](TTervoxProgress& AProgress) {
    // Rows are read here, on a connection of their own.
    const std::unique_ptr<TDeviceReport> reader = report->OpenCopy();
    // Every sheet names the digest of the report's rows: read them first.
    footer.Digest = reader->RowsDigest(&AProgress.Cancelled);
    footer.Verified = RowsVerifiedText(reader->DatabaseFileName(), reader->Query().FirstTime, reader->Query().LastTime);
    if (footer.Digest.isEmpty() || !progress.OnUIThread([&] { report->SetFooter(footer); })) return;
    AProgress.Total = ALast - AFirst + 1;
    for (int page = AFirst; page <= ALast; ++page) {
      const std::vector<QStringList> texts = reader->PageTexts(page, rowsPerPage);
      // Drawn on the UI thread: a real printer's engine may not take a painter from another thread.
      const bool drawn = progress.OnUIThread([&] {
        if (page > AFirst && !APrinter.newPage())
          throw EDqException(QStringLiteral("The printer cannot start a new page."));
        report->DrawPageTexts(job.Painter(), print, *ReportSetting(), rect, page, pageCount, texts);
      });
      if (!drawn) return;
      AProgress.Done = page - AFirst + 1;
    }
  });
  if (error) std::rethrow_exception(error);
  if (progress.Cancelled()) return false;
  job.Finish();
  return true;
}

void TFrameReport::ButtonPrintClick() {
  if (!FReport || FComboDevice->currentIndex() < 0) return;
  const int pageCount = FPageView->PageCount();
  QPrinter printer(QPrinter::HighResolution);
  printer.setPageLayout(ReportSetting()->PageLayout());
  QPrintDialog dialog(&printer, this);
  dialog.setOption(QAbstractPrintDialog::PrintPageRange);
  dialog.setMinMax(1, std::max(pageCount, 1));
  dialog.setFromTo(1, std::max(pageCount, 1));
  if (dialog.exec() != QDialog::Accepted) return;
  int first = 1;
  int last = pageCount;
  if (printer.printRange() == QPrinter::PageRange) {
    first = std::max(printer.fromPage(), 1);
    last = std::min(printer.toPage(), pageCount);
  } else if (printer.printRange() == QPrinter::CurrentPage) {
    first = last = FPageView->CurrentPage();
  }
  PrintReport(printer, first, std::max(first, last));
}

void TFrameReport::ButtonSettingClick() {
  TFormReportSetting dialog(this);
  if (dialog.exec() != QDialog::Accepted) return;
  FPageView->SetPaper(ReportSetting()->SheetWidth(), ReportSetting()->SheetHeight());
  // The rows a sheet holds follow the paper: count the pages again.
  SelectionChange();
  FPageView->LayoutPage();
}

QString TFrameReport::ExportReport(const QString& AFileName) {
  if (!FReport) return QString();
  std::shared_ptr<TDeviceReport> report = FReport;
  report->SetExportedBy(CurrentUser()->Username);
  const bool csv = AFileName.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive);
  const bool xlsx = AFileName.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive);
  TDeviceReport::TExportResult result;
  const std::exception_ptr error =
      RunWithProgress(this, QStringLiteral("Export"), QStringLiteral("Exporting the report..."),
                      [&](TTervoxProgress& AProgress) {
                        const std::int64_t total = report->RecordCount();
                        AProgress.Total = total;
                        if (xlsx)
                          result = report->ExportXLSX(AFileName, &AProgress.Cancelled, [&](double AFraction) {
                            AProgress.Done = static_cast<std::int64_t>(AFraction * static_cast<double>(total));
                          });
                        else if (csv)
                          result = report->ExportCSV(AFileName, &AProgress.Cancelled);
                        else
                          result = report->ExportXLS(AFileName, &AProgress.Cancelled);
                      });
  if (error) std::rethrow_exception(error);
  QString note = QStringLiteral("%1 rows exported to \"%2\".").arg(QLocale::c().toString(result.RowsWritten), AFileName);
  if (result.Sheets > 1) note += QStringLiteral(" The rows go on over %1 sheets.").arg(result.Sheets);
  if (result.RowsLeftOut > 0)
    note += QStringLiteral("\n\nThe spreadsheet holds %1 rows: the last %2 rows were left out. "
                           "Export to a .xlsx or .csv file to keep every row.")
                .arg(QLocale::c().toString(TDeviceReport::kXLSMaxRows), QLocale::c().toString(result.RowsLeftOut));
  if (result.LostCharacters > 0)
    note += QStringLiteral("\n\n%1 character(s), such as Thai letters, are not in the spreadsheet's Central European "
                           "code page (1250): the file carries \"?\" for them and Calc shows \"?\". "
                           "Export to a .xlsx or .csv file to keep them exactly.")
                .arg(result.LostCharacters);
  FPageView->Redraw();
  return note;
}

void TFrameReport::ButtonExportClick() {
  if (!FReport || FComboDevice->currentIndex() < 0) return;
  QFileDialog dialog(this, QStringLiteral("Export Report"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({QStringLiteral("Excel Files (*.xls)"), QStringLiteral("Excel Workbook (*.xlsx)"),
                         QStringLiteral("CSV Files (*.csv)")});
  dialog.setDefaultSuffix(QStringLiteral("xls"));
  // A name typed without an extension takes the chosen kind's.
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& AFilter) {
    dialog.setDefaultSuffix(AFilter.contains(QLatin1String("*.xlsx")) ? QStringLiteral("xlsx")
                            : AFilter.contains(QLatin1String("*.csv")) ? QStringLiteral("csv")
                                                                       : QStringLiteral("xls"));
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString fileName = dialog.selectedFiles().first();
  // The chosen kind decides, whatever extension the name was typed with.
  const QString filter = dialog.selectedNameFilter();
  const QString suffix = filter.startsWith(QLatin1String("CSV"))       ? QStringLiteral(".csv")
                         : filter.startsWith(QLatin1String("Excel W")) ? QStringLiteral(".xlsx")
                                                                        : QString();
  if (!suffix.isEmpty() && !fileName.endsWith(suffix, Qt::CaseInsensitive)) fileName += suffix;
  try {
    ShowDialogOK(ExportReport(fileName));
  } catch (const EDqException& e) {
    if (e.Message() != QLatin1String("Export cancelled")) ShowErrorBox(e.Message());
  }
}
