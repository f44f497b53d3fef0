#include "XLSXExport.h"

#include "core/DqRoutine.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <xlsxwriter.h>
#include <xlsxwriter/shared_strings.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often the sheets' files are checked for a refused write (a full
// disk), so that a doomed export stops early.
constexpr std::int64_t kCheckEvery = 8192;

// Texts that recur (On, Off) go to the workbook's shared strings, each
// cell then naming its number; the few first distinct ones only, so that
// memory stays bounded whatever the rows hold.
constexpr std::size_t kSharedTexts = 16;

// The rows' XML goes to the sheet's file in pieces of about this size.
constexpr std::size_t kRowsChunk = 1 << 18;

QString SystemError(int AErrno) { return QString::fromLocal8Bit(std::strerror(AErrno)); }

std::string ColumnName(int ACol) {
  std::string name;
  for (int n = ACol + 1; n > 0; n = (n - 1) / 26) name.insert(name.begin(), static_cast<char>('A' + (n - 1) % 26));
  return name;
}

void AppendInt(std::string& AOut, std::int64_t AValue) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, AValue).ptr;
  AOut.append(digits, end);
}

// Text as the format's XML takes it: markup characters as entities and
// control characters (which XML 1.0 cannot carry) as the format's _xHHHH_.
void AppendEscaped(std::string& AOut, const char* AText, std::size_t ASize) {
  for (std::size_t i = 0; i < ASize; ++i) {
    const unsigned char c = static_cast<unsigned char>(AText[i]);
    switch (c) {
    case '&': AOut.append("&amp;"); break;
    case '<': AOut.append("&lt;"); break;
    case '>': AOut.append("&gt;"); break;
    default:
      if (c < 0x20 && c != '\t' && c != '\n') {
        char code[8];
        std::snprintf(code, sizeof code, "_x%04X_", c);
        AOut.append(code);
      } else {
        AOut.push_back(static_cast<char>(c));
      }
    }
  }
}


} // namespace

// libxlsxwriter packs the workbook through minizip at zlib's default level,
// which took more than half of a long export; the fastest level packs the
// same rows in under half the time for a file about a third larger. Found
// first by the dynamic linker, this passes every other argument on.
extern "C" int zipOpenNewFileInZip4_64(void* AFile, const char* AName, const void* AInfo, const void* AExtraLocal,
                                       unsigned ASizeExtraLocal, const void* AExtraGlobal, unsigned ASizeExtraGlobal,
                                       const char* AComment, int AMethod, int ALevel, int ARaw, int AWindowBits,
                                       int AMemLevel, int AStrategy, const char* APassword, unsigned long ACrc,
                                       unsigned long AVersionMadeBy, unsigned long AFlagBase, int AZip64) {
  using TOpen = int (*)(void*, const char*, const void*, const void*, unsigned, const void*, unsigned, const char*,
                        int, int, int, int, int, int, const char*, unsigned long, unsigned long, unsigned long, int);
  static const TOpen open = reinterpret_cast<TOpen>(dlsym(RTLD_NEXT, "zipOpenNewFileInZip4_64"));
  if (!open) return -104; // ZIP_INTERNALERROR: the library is not there
  return open(AFile, AName, AInfo, AExtraLocal, ASizeExtraLocal, AExtraGlobal, ASizeExtraGlobal, AComment, AMethod,
              ALevel == Z_DEFAULT_COMPRESSION ? Z_BEST_SPEED : ALevel, ARaw, AWindowBits, AMemLevel, AStrategy,
              APassword, ACrc, AVersionMadeBy, AFlagBase, AZip64);
}

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
  // The styles' numbers in the workbook, as the rows' cells name them.
  FDateTimeStyle = lxw_format_get_xf_index(FDateTimeFormat);
  for (int i = 0; i < 10; ++i) FNumberStyles[i] = lxw_format_get_xf_index(FNumberFormats[i]);
  FRows.reserve(kRowsChunk + 4096);
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

void TXLSXWriter::AddSheet() {
  if (FSheet) {
    EndSheet();
    CheckSheets();
  }
  const QString name = FSheets.empty() ? FLayout.SheetName
                                       : QStringLiteral("%1 %2").arg(FLayout.SheetName).arg(FSheets.size() + 1);
  FSheet = workbook_add_worksheet(FWorkbook, name.toUtf8().constData());
  if (!FSheet) Raise(QStringLiteral("the sheet \"%1\" cannot be added").arg(name));
  FSheets.push_back(FSheet);
  const int columns = std::max(static_cast<int>(FLayout.Headings.size()), 1);
  for (std::size_t c = 0; c < FLayout.Widths.size(); ++c)
    worksheet_set_column(FSheet, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), FLayout.Widths[c], nullptr);
  lxw_row_t row = 0;
  for (const QString& title : FLayout.Titles) {
    lxw_format* format = row == 0 ? FTitleFormat : FSubtitleFormat;
    const QByteArray text = title.toUtf8();
    // Rows one at a time, left to right: what the constant-memory mode takes.
    if (columns > 1)
      worksheet_merge_range(FSheet, row, 0, row, static_cast<lxw_col_t>(columns - 1), text.constData(), format);
    else
      worksheet_write_string(FSheet, row, 0, text.constData(), format);
    ++row;
  }
  for (qsizetype c = 0; c < FLayout.Headings.size(); ++c)
    worksheet_write_string(FSheet, row, static_cast<lxw_col_t>(c), FLayout.Headings.at(c).toUtf8().constData(),
                           FHeadingFormat);
  worksheet_freeze_panes(FSheet, row + 1, 0);
  // The headings go to the file now: the data rows follow them there.
  lxw_worksheet_write_single_row(FSheet);
  FRow = row + 1;
  FRowOpen = false;
  FMaxColumn = -1;
}

// The rows still held go to the file, and the sheet's extent (its
// <dimension>) takes in the data rows.
void TXLSXWriter::EndSheet() {
  if (FRowOpen) {
    FRows.append("</row>");
    FRowOpen = false;
  }
  FlushRows();
  if (FMaxColumn >= 0) {
    FSheet->dim_rowmax = std::max(FSheet->dim_rowmax, static_cast<lxw_row_t>(FLastRow));
    FSheet->dim_colmax = std::max(FSheet->dim_colmax, static_cast<lxw_col_t>(FMaxColumn));
  }
}

void TXLSXWriter::FlushRows() {
  if (FRows.empty()) return;
  // A refused write leaves the stream's error set: CheckSheets() finds it.
  std::fwrite(FRows.data(), 1, FRows.size(), FSheet->optimize_tmpfile);
  FRows.clear();
}

void TXLSXWriter::OpenRow() {
  FRowNumber.clear();
  AppendInt(FRowNumber, FRow + 1);
  FRows.append("<row r=\"").append(FRowNumber).append("\">");
  FRowOpen = true;
}

void TXLSXWriter::CellStart(int ACol, int AStyle) {
  if (!FRowOpen) OpenRow();
  FMaxColumn = std::max(FMaxColumn, ACol);
  FLastRow = FRow;
  // Every cell names its place: the format lets a reader count cells on
  // without it, but not every reader does.
  if (ACol >= static_cast<int>(FColumnNames.size()))
    for (int c = static_cast<int>(FColumnNames.size()); c <= ACol; ++c) FColumnNames.push_back(ColumnName(c));
  FRows.append("<c r=\"").append(FColumnNames[static_cast<std::size_t>(ACol)]).append(FRowNumber).push_back('"');
  if (AStyle) {
    FRows.append(" s=\"");
    AppendInt(FRows, AStyle);
    FRows.push_back('"');
  }
}

void TXLSXWriter::CheckSheets() {
  for (lxw_worksheet* sheet : FSheets)
    if (sheet->optimize_tmpfile && std::ferror(sheet->optimize_tmpfile)) {
      // The stream keeps no errno of its own: ask the file system again.
      std::fflush(sheet->optimize_tmpfile);
      const int error = errno;
      Raise(error ? SystemError(error) : QStringLiteral("the disk refused the data"));
    }
}

void TXLSXWriter::NewRow() {
  if (FRowOpen) {
    FRows.append("</row>");
    FRowOpen = false;
    if (FRows.size() >= kRowsChunk) FlushRows();
  }
  if (!FSheet || FRow + 1 >= FSheetRows) {
    AddSheet();
  } else {
    ++FRow;
  }
  if (++FRowsSinceCheck >= kCheckEvery) {
    FRowsSinceCheck = 0;
    CheckSheets();
  }
}

void TXLSXWriter::WriteText(int ACol, const QByteArray& AUtf8) {
  CellStart(ACol, 0);
  for (const TSharedText& shared : FSharedTexts)
    if (shared.Text == AUtf8) {
      ++FWorkbook->sst->string_count; // the uses, which the table states
      FRows.append(" t=\"s\"><v>").append(shared.Index).append("</v></c>");
      return;
    }
  if (FSharedTexts.size() < kSharedTexts && AUtf8.size() <= 255) {
    // The table escapes the text itself and counts this use.
    const sst_element* element = lxw_get_sst_index(FWorkbook->sst, AUtf8.constData(), LXW_FALSE);
    if (element) {
      FSharedTexts.push_back({AUtf8, std::to_string(element->index)});
      FRows.append(" t=\"s\"><v>").append(FSharedTexts.back().Index).append("</v></c>");
      return;
    }
  }
  // Spaces at either end are kept only when the text says so.
  const bool preserve = !AUtf8.isEmpty() && (std::isspace(static_cast<unsigned char>(AUtf8.front())) ||
                                             std::isspace(static_cast<unsigned char>(AUtf8.back())));
  FRows.append(preserve ? " t=\"inlineStr\"><is><t xml:space=\"preserve\">" : " t=\"inlineStr\"><is><t>");
  AppendEscaped(FRows, AUtf8.constData(), static_cast<std::size_t>(AUtf8.size()));
  FRows.append("</t></is></c>");
}

void TXLSXWriter::WriteNumber(int ACol, double AValue, int ADecimals) {
  // The format has no infinity or NaN: such a cell stays empty.
  if (!std::isfinite(AValue)) return;
  CellStart(ACol, FNumberStyles[std::clamp(ADecimals, 0, 9)]);
  // The shortest text that reads back as the same double.
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, AValue).ptr;
  FRows.append("><v>").append(text, end).append("</v></c>");
}

void TXLSXWriter::WriteDateTime(int ACol, double AValue) {
  if (!std::isfinite(AValue)) return;
  CellStart(ACol, FDateTimeStyle);
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, AValue).ptr;
  FRows.append("><v>").append(text, end).append("</v></c>");
}

void TXLSXWriter::Close() {
  if (FClosed) return;
  if (!FSheet) AddSheet(); // the top rows alone
  EndSheet();
  CheckSheets();
  errno = 0;
  const lxw_error result = workbook_close(FWorkbook);
  FWorkbook = nullptr; // freed by the close, whatever its outcome
  if (result != LXW_NO_ERROR) {
    const int error = errno;
    QString problem = QString::fromUtf8(lxw_strerror(result));
    if (error) problem += QStringLiteral(" (%1)").arg(SystemError(error));
    Raise(problem);
  }
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
