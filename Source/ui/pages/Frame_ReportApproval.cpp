// The Report page's approval: the user's password asked again, a meaning,
// an audit entry with the digest of the rows approved, and the line every
// sheet printed of the report then carries.
#include "Frame_Report.h"

#include "core/DqRoutine.h"
#include "export/Tervox_DeviceReport.h"
#include "export/Tervox_ReportStamp.h"
#include "plant/Tervox_Maintenance.h"
#include "plant/Tervox_User.h"
#include "trust/Tervox_Audit.h"
#include "ui/base/Form_Progress.h"
#include "ui/base/Main_Audit.h"
#include "ui/base/Main_Routine.h"
#include "widgets/DqPageView.h"

#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>

TReportSheetFooter TFrameReport::SheetFooter() const {
  TReportSheetFooter footer;
  footer.Station = TervoxAudit::StationName();
  const TTervoxUser* user = CurrentUser();
  footer.User = user->DisplayName.isEmpty() ? user->Username
                                            : QStringLiteral("%1 (%2)").arg(user->DisplayName, user->Username);
  footer.At = Now();
  footer.Approval = FApproval;
  return footer;
}

bool TFrameReport::ApproveReport(const QString& APassword, const QString& AMeaning, QString& AError) {
  const std::shared_ptr<TDeviceReport> report = FReport;
  const TTervoxUser* user = CurrentUser();
  if (!report || Counting()) {
    AError = QStringLiteral("Choose a report first.");
    return false;
  }
  if (user->Username.isEmpty() || !CheckPassword(user->Password, APassword)) {
    AuditWindowAction({user->Username, TervoxAudit::kUser, user->Username, 0, QStringLiteral("approval refused"), {},
                       QStringLiteral("Wrong password")});
    AError = QStringLiteral("Wrong password");
    return false;
  }
  QString digest;
  QString verified;
  const std::exception_ptr error =
      RunWithProgress(this, QStringLiteral("Approve"), QStringLiteral("Reading the report's rows"),
                      [&](TTervoxProgress& AProgress) {
                        digest = report->OpenCopy()->RowsDigest(&AProgress.Cancelled);
                        const TDeviceReportQuery& query = report->Query();
                        if (!digest.isEmpty())
                          verified = RowsVerifiedText(report->DatabaseFileName(), query.FirstTime, query.LastTime);
                      });
  if (error) std::rethrow_exception(error);
  if (digest.isEmpty()) {
    AError = QStringLiteral("Cancelled");
    return false;
  }
  const double now = Now();
  const TDeviceReportQuery& query = report->Query();
  TervoxAudit::TEntry entry;
  entry.User = user->Username;
  entry.TargetKind = TervoxAudit::kController;
  entry.Target = query.DeviceName;
  entry.TargetID = query.DeviceID;
  entry.Action = QStringLiteral("report %1").arg(AMeaning.toLower());
  entry.Changes = {{QStringLiteral("period"), QString(), ReportRangeText(query.FirstTime, query.LastTime)},
                   {QStringLiteral("sampling"), QString(), QString::fromLatin1(kReportPeriodNames[query.Period])},
                   {QStringLiteral("rows"), QString(), QString::number(report->RecordCount())},
                   {QStringLiteral("digest"), QString(), digest},
                   {QStringLiteral("verified"), QString(), verified}};
  TervoxAudit::Append(entry);
  FApproval = QStringLiteral("%1 by %2 at %3 (%4)")
                  .arg(AMeaning == QLatin1String("Reviewed") ? QStringLiteral("Reviewed") : QStringLiteral("Approved"),
                       user->DisplayName.isEmpty() ? user->Username : user->DisplayName,
                       DateTimeToQDateTime(now).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), AMeaning);
  TReportSheetFooter footer = SheetFooter();
  footer.Digest = digest;
  footer.Verified = verified;
  report->SetFooter(footer);
  FPageView->Redraw();
  return true;
}

void TFrameReport::ButtonApproveClick() {
  if (!FReport || FComboDevice->currentIndex() < 0) return;
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("FormApprove"));
  dialog.setWindowTitle(QStringLiteral("Approve"));
  auto* password = new QLineEdit(&dialog);
  password->setObjectName(QStringLiteral("EditPassword"));
  password->setEchoMode(QLineEdit::Password);
  auto* meaning = new QComboBox(&dialog);
  meaning->setObjectName(QStringLiteral("ComboMeaning"));
  meaning->addItems({QStringLiteral("Reviewed"), QStringLiteral("Approved")});
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  auto* form = new QFormLayout(&dialog);
  form->addRow(QStringLiteral("Your password"), password);
  form->addRow(QStringLiteral("Meaning"), meaning);
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return;
  QString error;
  if (!ApproveReport(password->text(), meaning->currentText(), error)) ShowErrorBox(error);
}
