#include "DqSQLite.h"

#include "DqSQLiteRestore.h"

#include <QFile>
#include <QIODevice>
#include <QStringDecoder>

#include <sqlite3.h>

#include <iconv.h>

// ---------------------------------------------------------------------
// Script reader

namespace {

// Text of a script file. Byte-order marks decide when present; otherwise
// UTF-8 when the bytes are valid UTF-8, else the Thai code page cp874 of
// older 8-bit backups.
QString DecodeScript(const QByteArray& ABytes) {
  if (ABytes.startsWith("\xEF\xBB\xBF")) return QString::fromUtf8(ABytes.mid(3));
  if (ABytes.startsWith("\xFF\xFE")) {
    QStringDecoder decoder(QStringConverter::Utf16LE);
    return decoder.decode(ABytes.mid(2));
  }
  if (ABytes.startsWith("\xFE\xFF")) {
    QStringDecoder decoder(QStringConverter::Utf16BE);
    return decoder.decode(ABytes.mid(2));
  }
  {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(ABytes);
    if (!decoder.hasError()) return text;
  }
  return DecodeLegacyCodePage(ABytes);
}

bool IsBlankOrControl(QChar AChar) { return AChar.unicode() <= 0x20; }

QString TrimBlanks(const QString& ALine) {
  qsizetype begin = 0;
  qsizetype end = ALine.size();
  while (begin < end && IsBlankOrControl(ALine.at(begin))) ++begin;
  while (end > begin && IsBlankOrControl(ALine.at(end - 1))) --end;
  return ALine.mid(begin, end - begin);
}

} // namespace

QString DecodeLegacyCodePage(const QByteArray& ABytes) {
  iconv_t cd = iconv_open("UTF-8", kLegacyCodePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return QString::fromLatin1(ABytes);
  QByteArray input = ABytes;
  QByteArray output(ABytes.size() * 4 + 16, '\0');
  char* in = input.data();
  size_t inLeft = static_cast<size_t>(input.size());
  char* out = output.data();
  size_t outLeft = static_cast<size_t>(output.size());
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
      // A byte the code page does not define: keep going with U+FFFD.
      if (outLeft < 3) break;
      ++in;
      --inLeft;
      *out++ = '\xEF';
      *out++ = '\xBF';
      *out++ = '\xBD';
      outLeft -= 3;
    }
  }
  iconv_close(cd);
  output.truncate(output.size() - static_cast<qsizetype>(outLeft));
  return QString::fromUtf8(output);
}

void TSQLiteDatabase::ExecSQLFromStream(QIODevice& AStream) { ExecScriptText(DecodeScript(AStream.readAll())); }

void TSQLiteDatabase::ExecSQLFromFile(const QString& AFileName) {
  QFile file(AFileName);
  if (!file.open(QIODevice::ReadOnly))
    throw EDqException(QStringLiteral("Cannot open file \"%1\". %2").arg(AFileName, file.errorString()));
  ExecSQLFromStream(file);
}

void TSQLiteDatabase::ExecSQLFromResource(const QString& AResName, const QString& AResType) {
  QFile file(QStringLiteral(":/%1/%2").arg(AResType, AResName));
  if (!file.open(QIODevice::ReadOnly))
    throw EDqException(QStringLiteral("Resource %1 of type %2 not found").arg(AResName, AResType));
  ExecSQLFromStream(file);
}

namespace {

// Splits one piece of text at its line breaks (CR LF, LF or CR).
template <class TFeed> void ForEachLine(const QString& AText, TFeed&& AFeed) {
  qsizetype start = 0;
  const qsizetype size = AText.size();
  for (qsizetype i = 0; i < size; ++i) {
    const QChar c = AText.at(i);
    if (c != QLatin1Char('\n') && c != QLatin1Char('\r')) continue;
    AFeed(AText.mid(start, i - start));
    if (c == QLatin1Char('\r') && i + 1 < size && AText.at(i + 1) == QLatin1Char('\n')) ++i;
    start = i + 1;
  }
  AFeed(AText.mid(start));
}

// The script format, line by line: the header, comments, statements that
// span lines, PFIELD and PINSERT; every statement runs as it stands.
class TSQLiteScriptRunner {
public:
  explicit TSQLiteScriptRunner(TSQLiteDatabase& ADatabase) : FDatabase(ADatabase) {}

  void Line(const QString& ALine) {
    const QString line = TrimBlanks(ALine);
    if (FLines++ == 0) {
      if (line != QStringLiteral("// ") + FDatabase.Header()) throw EDqException(QStringLiteral("SQLITE file header error"));
      return;
    }
    if (line.startsWith(QLatin1String("//"))) return;
    if (!FPending.isEmpty()) FPending += QLatin1Char(' ');
    FPending += line;
    if (!FPending.endsWith(QLatin1Char(';'))) return;
    QString statement = FPending.left(FPending.size() - 1);
    FPending.clear();
    Statement(statement);
  }

private:
  void Statement(const QString& AStatement) {
    if (TextStartsWith(AStatement, QStringLiteral("PFIELD "))) {
      FTarget = AStatement.mid(7);
      return;
    }
    if (TextStartsWith(AStatement, QStringLiteral("PINSERT "))) {
      Exec(QStringLiteral("INSERT INTO ") + FTarget + QStringLiteral(" VALUES") + AStatement.mid(8));
      return;
    }
    Exec(AStatement);
  }

  void Exec(const QString& ASQL) {
    try {
      FDatabase.ExecSQL(ASQL);
    } catch (...) {
      // A transaction the script began must not stay open: the rows
      // written after it would be lost with the connection.
      sqlite3* handle = FDatabase.Handle();
      if (!FDatabase.IsTransactionOpen() && handle && !sqlite3_get_autocommit(handle))
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  TSQLiteDatabase& FDatabase;
  std::int64_t FLines = 0;
  QString FPending;
  QString FTarget;
};

} // namespace

void TSQLiteDatabase::ExecScriptText(const QString& AText) {
  TSQLiteScriptRunner runner(*this);
  ForEachLine(AText, [&runner](const QString& ALine) { runner.Line(ALine); });
  // Text still pending without its final ";" is not executed.
}

void TSQLiteDatabase::RestoreSQLFromFile(const QString& AFileName, const QStringList& ATables,
                                         const TSQLiteProgress& AProgress) {
  TSQLiteRestoreRules rules;
  for (const QString& table : ATables) rules.Tables.push_back({table, {}, {}});
  RestoreSQLFromFile(AFileName, rules, AProgress);
}

void TSQLiteDatabase::RestoreSQLFromFile(const QString& AFileName, const TSQLiteRestoreRules& ARules,
                                         const TSQLiteProgress& AProgress) {
  ExecSQL(QStringLiteral("BEGIN IMMEDIATE TRANSACTION"));
  FInTrans = true;
  try {
    if (ARules.Before) ARules.Before();
    TSQLiteRestoreReader reader(*this, AFileName, ARules);
    reader.Run(AProgress);
    reader.CheckComplete();
    reader.CheckSchema();
    if (ARules.After) ARules.After();
    if (AProgress && !AProgress(reader.Total(), reader.Total()))
      throw ESQLiteCancelled(QStringLiteral("Restore cancelled; the database was not changed."));
    ExecSQL(QStringLiteral("COMMIT TRANSACTION"));
    FInTrans = false;
  } catch (...) {
    FInTrans = false;
    if (FHandle && !sqlite3_get_autocommit(FHandle)) sqlite3_exec(FHandle, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}
