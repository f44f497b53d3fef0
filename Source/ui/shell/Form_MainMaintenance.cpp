// The Database menu: backup, restore, deleting records, and the reset
// asked for on the Options dialog.
#include "Form_Main.h"
#include "ui/base/Main_Audit.h"

#include "ui/dialogs/Form_DeleteRecord.h"
#include "ui/base/Form_Progress.h"
#include "ui/pages/Frame_Monitor.h"
#include "plant/Tervox_Maintenance.h"
#include "plant/Tervox_User.h"
#include "station/Tervox_StationClient.h"
#include "store/Main_Database.h"

#include <QDir>
#include <QFileDialog>

#include <functional>

namespace {

// False, with ARefusal shown, when the user may not.
bool Permitted(bool AAllowed, const QString& ARefusal) {
  if (!AAllowed) ShowErrorBox(ARefusal);
  return AAllowed;
}

// The file picked in this program's own dialog (the tests find it by
// AName); empty when cancelled. ASetup sets the dialog's mode and filters.
QString PickFile(QWidget* AParent, const QString& ATitle, const char* AName, const std::function<void(QFileDialog&)>& ASetup) {
  QFileDialog dialog(AParent, ATitle);
  dialog.setObjectName(QString::fromLatin1(AName));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  ASetup(dialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().first();
}

} // namespace

void TFormMain::ActionBackupExecute() {
  if (!Permitted(CurrentUser()->Group()->CanBackup, QStringLiteral("You not have permission to backup database."))) return;
  const QString fileName = PickFile(this, QStringLiteral("Backup"), "SaveDialogBackup", [](QFileDialog& ADialog) {
    ADialog.setAcceptMode(QFileDialog::AcceptSave);
    ADialog.setNameFilter(QStringLiteral("SQL Files (*.sql)"));
    ADialog.setDefaultSuffix(QStringLiteral("sql"));
    ADialog.selectFile(BackupFileSuggestion(Now()));
  });
  if (fileName.isEmpty()) return;
  // Polling and recording go on: the backup reads its own snapshot.
  if (ReportWorkResult(RunWithProgress(this, QStringLiteral("Backup"), QStringLiteral("Writing backup to %1").arg(fileName),
                                       [fileName](TTervoxProgress& AProgress) { BackupDatabase(fileName, &AProgress); })))
    AuditWindowAction({QString(), TervoxAudit::kStation, QStringLiteral("database"), 0, QStringLiteral("backup written"),
                       {{QStringLiteral("file"), QString(), fileName}}, QString()});
}

void TFormMain::ActionRestoreExecute() {
  if (!Permitted(CurrentUser()->Group()->CanRestore, QStringLiteral("You not have permission to restore database."))) return;
  const QString fileName = PickFile(this, QStringLiteral("Restore"), "OpenDialogRestore", [](QFileDialog& ADialog) {
    ADialog.setAcceptMode(QFileDialog::AcceptOpen);
    ADialog.setFileMode(QFileDialog::ExistingFile);
    ADialog.setNameFilters({QStringLiteral("SQL Files (*.sql)"), QStringLiteral("All Files (*)")});
  });
  if (fileName.isEmpty()) return;
  const QString user = CurrentUser()->Username;
  const QString database = GetDatabaseFileName();
  // Nobody writes while the rows are replaced: the logout stops polling
  // here, and a recorder of the database pauses.
  Logout();
  // Logged out for the restore, the user still acts in the audit trail.
  SetActingUser(user);
  QString copy;
  if (ReportWorkResult(RunWithProgress(this, QStringLiteral("Restore"), QStringLiteral("Restoring from %1").arg(fileName),
                                       [fileName, database, user, &copy](TTervoxProgress& AProgress) {
                                         const TTervoxRecordingPause pause(database, user, QStringLiteral("a restore"));
                                         copy = RestoreDatabase(fileName, &AProgress);
                                       })))
    ShowDialogOK(QStringLiteral("The database was restored from %1.\nThe database as it was before is kept as %2.")
                     .arg(QDir::toNativeSeparators(fileName), QDir::toNativeSeparators(copy)));
  SetActingUser(QString());
  if (Login()) SelectPage<TFrameMonitor>();
}

void TFormMain::ActionDeleteRecordsExecute() {
  if (!Permitted(CurrentUser()->Group()->CanDeleteRecord, QStringLiteral("You not have permission to delete record(s).")))
    return;
  TFormDeleteRecord dialog(this);
  dialog.exec();
}

void TFormMain::RunDatabaseReset() {
  const QString user = CurrentUser()->Username;
  const QString database = GetDatabaseFileName();
  Logout();
  // The logout's entry belongs in the file about to be set aside.
  TervoxAudit::Flush();
  // A recorder of the database lets go of the file while it is set aside;
  // asking it (and its answer) happens off this thread.
  std::unique_ptr<TTervoxRecordingPause> pause;
  const std::exception_ptr refused =
      RunWithProgress(this, QStringLiteral("Reset"), QStringLiteral("Pausing the recorder"), [&](TTervoxProgress&) {
        pause = std::make_unique<TTervoxRecordingPause>(database, user, QStringLiteral("a reset"));
      });
  if (refused) {
    ShowException(refused);
  } else {
    try {
      // Said in the file set aside and again as the new file's first entry.
      const TervoxAudit::TEntry reset{user, TervoxAudit::kStation, QStringLiteral("database"), 0,
                                      QStringLiteral("database reset"), {}, QString()};
      TervoxAudit::Append(reset, database);
      TervoxAudit::TEntry done = reset;
      done.Changes.push_back({QStringLiteral("set aside as"), QString(), ResetDatabaseFile()});
      TervoxAudit::AppendQuietly(done, database);
    } catch (...) {
      ShowException(std::current_exception());
    }
    RunWithProgress(this, QStringLiteral("Reset"), QStringLiteral("Resuming the recorder"),
                    [&](TTervoxProgress&) { pause.reset(); });
  }
  Login();
}
