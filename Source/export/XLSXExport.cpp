#include "XLSXExport.h"

#include "core/DqRoutine.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <xlsxwriter.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SystemError(int AErrno) { return QString::fromLocal8Bit(std::strerror(AErrno)); }

// The library does not say when the disk refuses a write to its files (a
// full disk, a size limit): the stream only keeps an error flag, out of
// reach. The C library leaves the reason in errno, so errno is cleared
// before each call into the library and read after it.
bool WriteRefused(int AErrno) { return AErrno == ENOSPC || AErrno == EFBIG || AErrno == EDQUOT || AErrno == EIO; }

} // namespace

TXLSXWriter::TXLSXWriter(const QString& AFileName, const TXLSXLayout& ALayout, std::int64_t ASheetRows)
    : FFileName(AFileName), FLayout(ALayout), FSheetRows(ASheetRows) {
  const int topRows = static_cast<int>(FLayout.Titles.size()) + 1;
  if (FSheetRows <= topRows || FSheetRows > kMaxSheetRows)
    throw EDqException(QStringLiteral("A sheet holds from %1 to %2 rows.").arg(topRows + 1).arg(kMaxSheetRows));
  // The temporary is made here, with the rights of any new file (the
  // umask applies), so an unwritable folder is found before any work.
  const QByteArray target = QFile::encodeName(AFileName);
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    FTemporary = target + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
    fd = ::open(FTemporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    FTemporary.clear();
    Raise(SystemError(error));
  }
  ::close(fd);

  // The sheets' rows wait in unnamed files in the same folder: the space
  // they need is where the workbook goes, and a temporary folder kept in
  // memory is not filled.
  QByteArray folder = QFile::encodeName(QFileInfo(AFileName).absolutePath());
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  options.tmpdir = folder.data();
  FWorkbook = workbook_new_opt(FTemporary.constData(), &options);
  if (!FWorkbook) {
    ::unlink(FTemporary.constData());
    FTemporary.clear();
    Raise(QStringLiteral("out of memory"));
  }
  FTitleFormat = workbook_add_format(FWorkbook);
  format_set_bold(FTitleFormat);
  format_set_font_size(FTitleFormat, 14);
  format_set_align(FTitleFormat, LXW_ALIGN_CENTER);
  FSubtitleFormat = workbook_add_format(FWorkbook);
  format_set_align(FSubtitleFormat, LXW_ALIGN_CENTER);
  FHeadingFormat = workbook_add_format(FWorkbook);
  format_set_bold(FHeadingFormat);
  format_set_align(FHeadingFormat, LXW_ALIGN_CENTER);
  format_set_bg_color(FHeadingFormat, 0xD9D9D9);
  format_set_bottom(FHeadingFormat, LXW_BORDER_THIN);
  FDateTimeFormat = workbook_add_format(FWorkbook);
  format_set_num_format(FDateTimeFormat, "dd/mm/yyyy hh:mm:ss");
  format_set_align(FDateTimeFormat, LXW_ALIGN_LEFT);
  for (int i = 0; i < 10; ++i) {
    FNumberFormats[i] = workbook_add_format(FWorkbook);
    const QByteArray pattern = i == 0 ? QByteArray("0") : "0." + QByteArray(i, '0');
    format_set_num_format(FNumberFormats[i], pattern.constData());
  }
  lxw_doc_properties properties{};
  QByteArray title = FLayout.Titles.isEmpty() ? QByteArray() : FLayout.Titles.first().toUtf8();
  QByteArray creator("TERVOX");
  properties.title = title.data();
  properties.author = creator.data();
  workbook_set_properties(FWorkbook, &properties);
}

TXLSXWriter::~TXLSXWriter() {
  if (FWorkbook) lxw_workbook_free(FWorkbook); // closes the sheets' unnamed files
  if (!FTemporary.isEmpty()) ::unlink(FTemporary.constData());
}

void TXLSXWriter::Raise(const QString& AProblem) const {
  throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(FFileName, AProblem));
}

void TXLSXWriter::Check(int AResult) const {
  const int error = errno;
  if (WriteRefused(error)) Raise(SystemError(error));
  if (AResult != LXW_NO_ERROR) Raise(QString::fromUtf8(lxw_strerror(static_cast<lxw_error>(AResult))));
}

void TXLSXWriter::AddSheet() {
  const QString name = FSheets.empty() ? FLayout.SheetName
                                       : QStringLiteral("%1 %2").arg(FLayout.SheetName).arg(FSheets.size() + 1);
  errno = 0;
  FSheet = workbook_add_worksheet(FWorkbook, name.toUtf8().constData());
  if (!FSheet) {
    const int error = errno;
    Raise(WriteRefused(error) ? SystemError(error) : QStringLiteral("the sheet \"%1\" cannot be added").arg(name));
  }
  FSheets.push_back(FSheet);
  const int columns = std::max(static_cast<int>(FLayout.Headings.size()), 1);
  for (std::size_t c = 0; c < FLayout.Widths.size(); ++c)
    worksheet_set_column(FSheet, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), FLayout.Widths[c], nullptr);
  lxw_row_t row = 0;
  errno = 0;
  for (const QString& title : FLayout.Titles) {
    lxw_format* format = row == 0 ? FTitleFormat : FSubtitleFormat;
    const QByteArray text = title.toUtf8();
    // Rows one at a time, left to right: what the constant-memory mode takes.
    if (columns > 1)
      Check(worksheet_merge_range(FSheet, row, 0, row, static_cast<lxw_col_t>(columns - 1), text.constData(), format));
    else
      Check(worksheet_write_string(FSheet, row, 0, text.constData(), format));
    ++row;
  }
  for (qsizetype c = 0; c < FLayout.Headings.size(); ++c)
    Check(worksheet_write_string(FSheet, row, static_cast<lxw_col_t>(c), FLayout.Headings.at(c).toUtf8().constData(),
                                 FHeadingFormat));
  worksheet_freeze_panes(FSheet, row + 1, 0);
  FRow = row + 1;
}

void TXLSXWriter::NewRow() {
  if (!FSheet || FRow + 1 >= FSheetRows) {
    AddSheet();
  } else {
    ++FRow;
  }
}

void TXLSXWriter::WriteText(int ACol, const QByteArray& AUtf8) {
  errno = 0;
  Check(worksheet_write_string(FSheet, static_cast<lxw_row_t>(FRow), static_cast<lxw_col_t>(ACol), AUtf8.constData(),
                               nullptr));
}

void TXLSXWriter::WriteNumber(int ACol, double AValue, int ADecimals) {
  // The format has no infinity or NaN: such a cell stays empty.
  if (!std::isfinite(AValue)) return;
  errno = 0;
  Check(worksheet_write_number(FSheet, static_cast<lxw_row_t>(FRow), static_cast<lxw_col_t>(ACol), AValue,
                               FNumberFormats[std::clamp(ADecimals, 0, 9)]));
}

void TXLSXWriter::WriteDateTime(int ACol, double AValue) {
  if (!std::isfinite(AValue)) return;
  errno = 0;
  Check(worksheet_write_number(FSheet, static_cast<lxw_row_t>(FRow), static_cast<lxw_col_t>(ACol), AValue,
                               FDateTimeFormat));
}

void TXLSXWriter::Close() {
  if (FClosed) return;
  if (!FSheet) AddSheet(); // the top rows alone
  errno = 0;
  const lxw_error result = workbook_close(FWorkbook);
  FWorkbook = nullptr; // freed by the close, whatever its outcome
  const int error = errno;
  if (result != LXW_NO_ERROR) {
    QString problem = QString::fromUtf8(lxw_strerror(result));
    if (error) problem += QStringLiteral(" (%1)").arg(SystemError(error));
    Raise(problem);
  }
  // The last rows and the sheets' assembly may have met a full disk too.
  if (WriteRefused(error)) Raise(SystemError(error));
  // On the disk before it replaces the old file, and with that file's
  // rights when there was one.
  const int fd = ::open(FTemporary.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    Raise(SystemError(error));
  }
  ::close(fd);
  const QByteArray target = QFile::encodeName(FFileName);
  struct stat old{};
  if (::stat(target.constData(), &old) == 0) ::chmod(FTemporary.constData(), old.st_mode & 07777);
  if (::rename(FTemporary.constData(), target.constData()) != 0) Raise(SystemError(errno));
  FTemporary.clear();
  FClosed = true;
}
