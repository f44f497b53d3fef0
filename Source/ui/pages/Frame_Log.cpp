#include "Frame_Log.h"

#include "widgets/DqPageView.h"
#include "plant/Tervox_Device.h"
#include "export/Tervox_Report.h"
#include "export/Tervox_UsageLogReport.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Alerts.h"
#include "ui/base/Main_Routine.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

TFrameLog::TFrameLog(QWidget* AOwner) : TDqFrame(AOwner), FPageView(new TDqPageView(this)) {
  setObjectName(QStringLiteral("FrameLog"));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(224, 224, 224));
  setPalette(palette);
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
  layout->addWidget(FPageView, 1);
  layout->addLayout(bottom);

  FPageView->SetPaper(LogSetting()->SheetWidth(), LogSetting()->SheetHeight());
  FPageView->SetOnDrawPage([this](QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int APage, int ACount) {
    if (FReport) FReport->DrawPage(APainter, APrint, *LogSetting(), ARect, APage, ACount);
  });
  SetOnEnter([this](TDqFrame*) { LoadLog(); });
  LoadLog();
}

TFrameLog::~TFrameLog() { FPageView->StopCount(); }

bool TFrameLog::Counting() const { return FPageView->Counting(); }

void TFrameLog::LoadLog() {
  const QString fileName = GetDatabaseFileName();
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
