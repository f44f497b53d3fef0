#include "DqSQLiteRestore.h"

#include <QFile>
#include <QStringDecoder>

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <functional>
#include <locale.h>

namespace {

constexpr qint64 kChunkBytes = 1 << 20;

QString Quoted(const QString& AName) {
  QString name = AName;
  name.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + name + QLatin1Char('"');
}

bool IsBlank(QChar AChar) { return AChar.unicode() <= 0x20; }

QStringView Trimmed(QStringView AText) {
  qsizetype begin = 0, end = AText.size();
  while (begin < end && IsBlank(AText[begin])) ++begin;
  while (end > begin && IsBlank(AText[end - 1])) --end;
  return AText.mid(begin, end - begin);
}

// The lines of a script file. The encoding is decided from the whole file
// first (a line alone could pass for UTF-8 in a cp874 file); then the file
// is decoded a chunk at a time, so memory stays bounded whatever its size.
class TScriptLines {
public:
  explicit TScriptLines(const QString& AFileName) : FFile(AFileName), FFileName(AFileName) {
    if (!FFile.open(QIODevice::ReadOnly))
      throw EDqException(QStringLiteral("Cannot open file \"%1\". %2").arg(AFileName, FFile.errorString()));
    const QByteArray head = FFile.peek(3);
    qint64 start = 0;
    if (head.startsWith("\xFF\xFE")) {
      FEncoding = TEncoding::Utf16LE;
      start = 2;
    } else if (head.startsWith("\xFE\xFF")) {
      FEncoding = TEncoding::Utf16BE;
      start = 2;
    } else if (head.startsWith("\xEF\xBB\xBF")) {
      start = 3;
    }
    // Counted for the progress only; UTF-16 line breaks count roughly.
    QStringDecoder utf8(QStringConverter::Utf8);
    while (!FFile.atEnd()) {
      const QByteArray chunk = FFile.read(kChunkBytes);
      if (chunk.isEmpty()) break;
      FTotal += std::count(chunk.begin(), chunk.end(), '\n');
      if (FEncoding == TEncoding::Utf8) {
        (void)QString(utf8.decode(chunk));
        if (utf8.hasError()) FEncoding = TEncoding::Legacy;
      }
    }
    CheckRead();
    FFile.seek(start);
    switch (FEncoding) {
    case TEncoding::Utf16LE: FDecoder = QStringDecoder(QStringConverter::Utf16LE); break;
    case TEncoding::Utf16BE: FDecoder = QStringDecoder(QStringConverter::Utf16BE); break;
    default: FDecoder = QStringDecoder(QStringConverter::Utf8); break;
    }
  }

  std::int64_t Total() const { return FTotal; }

  // The next line without its break; valid until the next call.
  bool Next(QStringView& ALine) {
    for (;;) {
      // A line break: CR LF, LF or CR (a CR at a chunk's end may be the
      // first half of a CR LF).
      for (qsizetype i = FPos; i < FChunk.size(); ++i) {
        const QChar c = FChunk.at(i);
        if (c != QLatin1Char('\n') && c != QLatin1Char('\r')) continue;
        if (FSkipLF && i == FPos && c == QLatin1Char('\n')) {
          FSkipLF = false;
          ++FPos;
          continue;
        }
        FSkipLF = false;
        const QStringView piece = QStringView(FChunk).mid(FPos, i - FPos);
        FPos = i + 1;
        if (c == QLatin1Char('\r')) {
          if (FPos < FChunk.size()) {
            if (FChunk.at(FPos) == QLatin1Char('\n')) ++FPos;
          } else {
            FSkipLF = true;
          }
        }
        if (FCarry.isEmpty()) {
          ALine = piece;
        } else {
          FCarry += piece;
          FLine = std::move(FCarry);
          FCarry.clear();
          ALine = FLine;
        }
        return true;
      }
      if (FSkipLF && FPos < FChunk.size()) FSkipLF = false;
      FCarry += QStringView(FChunk).mid(FPos);
      FChunk.clear();
      FPos = 0;
      if (FEnded) {
        if (FCarry.isEmpty()) return false;
        FLine = std::move(FCarry);
        FCarry.clear();
        ALine = FLine;
        return true;
      }
      ReadChunk();
    }
  }

private:
  enum class TEncoding { Utf8, Legacy, Utf16LE, Utf16BE };

  void ReadChunk() {
    const QByteArray bytes = FFile.read(kChunkBytes);
    CheckRead();
    if (bytes.isEmpty()) {
      FEnded = true;
      return;
    }
    FChunk = FEncoding == TEncoding::Legacy ? DecodeLegacyCodePage(bytes) : QString(FDecoder.decode(bytes));
  }

  void CheckRead() const {
    if (FFile.error() != QFileDevice::NoError)
      throw EDqException(QStringLiteral("Cannot read file \"%1\". %2").arg(FFileName, FFile.errorString()));
  }

  QFile FFile;
  QString FFileName;
  TEncoding FEncoding = TEncoding::Utf8;
  QStringDecoder FDecoder;
  std::int64_t FTotal = 1;
  QString FChunk;
  qsizetype FPos = 0;
  QString FCarry;
  QString FLine;
  bool FSkipLF = false;
  bool FEnded = false;
};

// A statement refused: not a form that a backup holds.
struct TRefusal {
  QString Reason;
};

// A cursor over one statement's text.
class TCursor {
public:
  explicit TCursor(QStringView AText) : FText(AText) {}

  void SkipBlanks() {
    while (FPos < FText.size() && IsBlank(FText[FPos])) ++FPos;
  }
  bool AtEnd() {
    SkipBlanks();
    return FPos >= FText.size();
  }
  QChar Peek() {
    SkipBlanks();
    return FPos < FText.size() ? FText[FPos] : QChar();
  }
  bool Take(QChar AChar) {
    if (Peek() != AChar) return false;
    ++FPos;
    return true;
  }
  bool TakeText(QLatin1String AText) {
    SkipBlanks();
    if (FText.size() - FPos < AText.size() || !FText.mid(FPos, AText.size()).startsWith(AText)) return false;
    FPos += AText.size();
    return true;
  }
  // A keyword: letters, any case, not followed by another letter or digit.
  bool TakeWord(QLatin1String AWord) {
    SkipBlanks();
    const qsizetype end = FPos + AWord.size();
    if (end > FText.size() || FText.mid(FPos, AWord.size()).compare(AWord, Qt::CaseInsensitive) != 0) return false;
    if (end < FText.size() && (FText[end].isLetterOrNumber() || FText[end] == QLatin1Char('_'))) return false;
    FPos = end;
    return true;
  }
  // A name: bare, "quoted", [bracketed] or `ticked`; empty when none.
  QString Name() {
    SkipBlanks();
    if (FPos >= FText.size()) return QString();
    const QChar open = FText[FPos];
    const QChar close = open == QLatin1Char('[') ? QLatin1Char(']') : open;
    if (open == QLatin1Char('"') || open == QLatin1Char('[') || open == QLatin1Char('`')) {
      QString name;
      for (qsizetype i = FPos + 1; i < FText.size(); ++i) {
        if (FText[i] != close) {
          name += FText[i];
        } else if (close != QLatin1Char(']') && i + 1 < FText.size() && FText[i + 1] == close) {
          name += close;
          ++i;
        } else {
          FPos = i + 1;
          return name;
        }
      }
      return QString();
    }
    qsizetype end = FPos;
    while (end < FText.size() && (FText[end].isLetterOrNumber() || FText[end] == QLatin1Char('_'))) ++end;
    if (end == FPos || FText[FPos].isDigit()) return QString();
    const QString name = FText.mid(FPos, end - FPos).toString();
    FPos = end;
    return name;
  }

  QStringView Text() const { return FText; }
  qsizetype Pos() const { return FPos; }
  void SetPos(qsizetype APos) { FPos = APos; }

private:
  QStringView FText;
  qsizetype FPos = 0;
};

// Binds the values of one parenthesised list to AStatement, in order;
// answers the number of values. Only plain values are accepted, as a
// backup writes them: NULL, numbers, 'text' joined by || with char(...).
class TValueBinder {
public:
  TValueBinder() : FCLocale(newlocale(LC_ALL_MASK, "C", nullptr)) {}
  ~TValueBinder() {
    if (FCLocale) freelocale(FCLocale);
  }
  TValueBinder(const TValueBinder&) = delete;
  TValueBinder& operator=(const TValueBinder&) = delete;

  // AFiltered: the parameters whose text AFilter changes, by index - 1.
  int BindList(TCursor& ACursor, sqlite3_stmt* AStatement, const QStringList& AFiltered,
               const std::function<QString(const QString&)>& AFilter) {
    if (!ACursor.Take(QLatin1Char('('))) throw TRefusal{QStringLiteral("a value list in parentheses is expected")};
    const int parameters = sqlite3_bind_parameter_count(AStatement);
    int count = 0;
    for (;;) {
      ++count;
      const int index = count <= parameters ? count : 0;
      if (index && !AFiltered.value(index - 1).isEmpty()) {
        BindFiltered(ACursor, AStatement, index, AFiltered.at(index - 1), AFilter);
      } else {
        BindValue(ACursor, AStatement, index);
      }
      if (ACursor.Take(QLatin1Char(','))) continue;
      if (ACursor.Take(QLatin1Char(')'))) break;
      throw TRefusal{QStringLiteral("the values are not plain values")};
    }
    if (count != parameters)
      throw TRefusal{QStringLiteral("%1 values for %2 columns").arg(count).arg(parameters)};
    return count;
  }

private:
  // A value of a filtered column: NULL, or text stored as the filter makes it.
  void BindFiltered(TCursor& ACursor, sqlite3_stmt* AStatement, int AIndex, const QString& AColumn,
                    const std::function<QString(const QString&)>& AFilter) {
    const QChar first = ACursor.Peek();
    if (ACursor.TakeWord(QLatin1String("NULL"))) {
      sqlite3_bind_null(AStatement, AIndex);
      return;
    }
    if (first != QLatin1Char('\'') && first != QLatin1Char('c') && first != QLatin1Char('C'))
      throw TRefusal{QStringLiteral("%1 holds text only").arg(AColumn)};
    const QString value = AFilter(ReadText(ACursor));
    sqlite3_bind_text16(AStatement, AIndex, value.utf16(), static_cast<int>(value.size() * 2), SQLITE_TRANSIENT);
  }

  // Binds one value at AIndex (0: counted, not bound).
  void BindValue(TCursor& ACursor, sqlite3_stmt* AStatement, int AIndex) {
    const QChar first = ACursor.Peek();
    if (first == QLatin1Char('\'') || first == QLatin1Char('c') || first == QLatin1Char('C')) {
      BindText(ACursor, AStatement, AIndex);
      return;
    }
    if (ACursor.TakeWord(QLatin1String("NULL"))) {
      if (AIndex) sqlite3_bind_null(AStatement, AIndex);
      return;
    }
    BindNumber(ACursor, AStatement, AIndex);
  }

  void BindText(TCursor& ACursor, sqlite3_stmt* AStatement, int AIndex) {
    const QStringView value = ReadTextView(ACursor);
    if (AIndex)
      sqlite3_bind_text16(AStatement, AIndex, value.utf16(), static_cast<int>(value.size() * 2), SQLITE_TRANSIENT);
  }

  QString ReadText(TCursor& ACursor) { return ReadTextView(ACursor).toString(); }

  // 'text' || char(13,10) || 'more': one text value; valid until the next
  // value is read.
  QStringView ReadTextView(TCursor& ACursor) {
    const QStringView text = ACursor.Text();
    FText.clear();
    bool single = true; // one literal without doubled quotes: bound in place
    QStringView literal;
    int terms = 0;
    do {
      ++terms;
      if (ACursor.Peek() == QLatin1Char('\'')) {
        const qsizetype begin = ACursor.Pos() + 1;
        qsizetype i = begin;
        bool doubled = false;
        for (;;) {
          if (i >= text.size()) throw TRefusal{QStringLiteral("a text value is not closed")};
          if (text[i] == QLatin1Char('\'')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('\'')) {
              doubled = true;
              i += 2;
              continue;
            }
            break;
          }
          ++i;
        }
        literal = text.mid(begin, i - begin);
        ACursor.SetPos(i + 1);
        if (doubled) {
          single = false;
          FText += literal.toString().replace(QStringLiteral("''"), QStringLiteral("'"));
        } else {
          FText += literal;
        }
      } else if (ACursor.TakeWord(QLatin1String("char"))) {
        single = false;
        if (!ACursor.Take(QLatin1Char('('))) throw TRefusal{QStringLiteral("the values are not plain values")};
        do {
          ACursor.SkipBlanks();
          qsizetype end = ACursor.Pos();
          while (end < text.size() && text[end].isDigit() && end - ACursor.Pos() < 8) ++end;
          bool ok = end > ACursor.Pos();
          const uint code = ok ? text.mid(ACursor.Pos(), end - ACursor.Pos()).toUInt(&ok) : 0;
          if (!ok || code > 0x10FFFF) throw TRefusal{QStringLiteral("the values are not plain values")};
          ACursor.SetPos(end);
          const char32_t point = code;
          FText += QString::fromUcs4(&point, 1);
        } while (ACursor.Take(QLatin1Char(',')));
        if (!ACursor.Take(QLatin1Char(')'))) throw TRefusal{QStringLiteral("the values are not plain values")};
      } else {
        throw TRefusal{QStringLiteral("the values are not plain values")};
      }
    } while (ACursor.TakeText(QLatin1String("||")));
    return single && terms == 1 ? literal : QStringView(FText);
  }

  // A number as SQLite reads the literal: an integer when written without
  // point or exponent and within 64 bits, else a real (out of range: an
  // infinity, as SQLite gives).
  void BindNumber(TCursor& ACursor, sqlite3_stmt* AStatement, int AIndex) {
    const QStringView text = ACursor.Text();
    qsizetype i = ACursor.Pos();
    char buffer[64];
    int length = 0;
    bool real = false, digits = false;
    auto put = [&](QChar AChar) {
      if (length >= static_cast<int>(sizeof buffer) - 1) throw TRefusal{QStringLiteral("a number is too long")};
      buffer[length++] = static_cast<char>(AChar.unicode());
    };
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
      if (text[i] == QLatin1Char('-')) put(text[i]);
      ++i;
    }
    for (; i < text.size(); ++i) {
      const QChar c = text[i];
      if (c.isDigit() && c.unicode() < 128) {
        digits = true;
      } else if (c == QLatin1Char('.') && !real) {
        real = true;
      } else if ((c == QLatin1Char('e') || c == QLatin1Char('E')) && digits) {
        real = true;
        put(c);
        ++i;
        if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) put(text[i++]);
        bool exponent = false;
        for (; i < text.size() && text[i].isDigit() && text[i].unicode() < 128; ++i) {
          put(text[i]);
          exponent = true;
        }
        if (!exponent) throw TRefusal{QStringLiteral("the values are not plain values")};
        break;
      } else {
        break;
      }
      put(c);
    }
    if (!digits || (i < text.size() && (text[i].isLetterOrNumber() || text[i] == QLatin1Char('_'))))
      throw TRefusal{QStringLiteral("the values are not plain values")};
    ACursor.SetPos(i);
    buffer[length] = '\0';
    if (!real) {
      long long value = 0;
      const auto result = std::from_chars(buffer, buffer + length, value);
      if (result.ec == std::errc() && result.ptr == buffer + length) {
        if (AIndex) sqlite3_bind_int64(AStatement, AIndex, value);
        return;
      }
    }
    double value = 0;
    const auto result = std::from_chars(buffer, buffer + length, value);
    if (result.ec == std::errc::result_out_of_range || result.ptr != buffer + length)
      value = strtod_l(buffer, nullptr, FCLocale);
    if (AIndex) sqlite3_bind_double(AStatement, AIndex, value);
  }

  locale_t FCLocale;
  QString FText;
};

int RestoreAuthorizer(void* AKnown, int AAction, const char* ATable, const char*, const char*, const char*) {
  switch (AAction) {
  case SQLITE_TRANSACTION:
  case SQLITE_SAVEPOINT: return SQLITE_OK;
  case SQLITE_INSERT:
  case SQLITE_DELETE: {
    const auto* known = static_cast<const QStringList*>(AKnown);
    return ATable && known->contains(QString::fromUtf8(ATable), Qt::CaseInsensitive) ? SQLITE_OK : SQLITE_DENY;
  }
  default: return SQLITE_DENY;
  }
}

} // namespace

class TSQLiteRestoreReader::TImpl {
public:
  TImpl(TSQLiteDatabase& ADatabase, const QString& AFileName, const TSQLiteRestoreRules& ARules)
      : FDatabase(ADatabase), FFileName(AFileName), FLines(AFileName), FFilter(ARules.Filter) {
    for (const TSQLiteRestoreTable& table : ARules.Tables) {
      TTable known{table.Name, table.Columns, table.FilteredColumns, false};
      // Without the program's columns: those the table has now.
      if (known.Columns.isEmpty()) known.Columns = ColumnsOf(table.Name);
      FKnownNames << table.Name;
      FTables.push_back(std::move(known));
    }
  }

  ~TImpl() {
    for (TTarget& target : FTargets) sqlite3_finalize(target.Statement);
  }

  void Run(const TSQLiteProgress& AProgress) {
    // Everything a statement of ours may do; a mistake in the reader
    // still cannot reach another table, the schema or another file.
    sqlite3* handle = FDatabase.Handle();
    sqlite3_set_authorizer(handle, RestoreAuthorizer, &FKnownNames);
    struct TReset {
      sqlite3* Handle;
      ~TReset() { sqlite3_set_authorizer(Handle, nullptr, nullptr); }
    } reset{handle};

    const std::int64_t total = FLines.Total();
    QStringView line;
    while (FLines.Next(line)) {
      Line(Trimmed(line));
      if (AProgress && (FLineNumber & 0xFFF) == 0 && !AProgress(std::min(FLineNumber, total), total))
        throw ESQLiteCancelled(QStringLiteral("Restore cancelled; the database was not changed."));
    }
    if (FLineNumber == 0) throw EDqException(QStringLiteral("SQLITE file header error"));
  }

  std::int64_t Total() const { return std::max(FLines.Total(), FLineNumber); }

  void CheckComplete() const {
    if (FDepth > 0 || !Trimmed(FPending).isEmpty())
      throw EDqException(QStringLiteral("The backup \"%1\" is cut off: it ends inside an open transaction. "
                                        "The database was not changed.")
                             .arg(FFileName));
    QStringList missing;
    for (const TTable& table : FTables)
      if (!table.Emptied) missing << table.Name;
    if (!missing.isEmpty())
      throw EDqException(QStringLiteral("The backup \"%1\" is cut off: it lacks the tables %2. "
                                        "The database was not changed.")
                             .arg(FFileName, missing.join(QStringLiteral(", "))));
  }

  void CheckSchema() const {
    for (const TTable& table : FTables) {
      const QStringList columns = ColumnsOf(table.Name);
      bool same = columns.size() == table.Columns.size();
      for (qsizetype i = 0; same && i < columns.size(); ++i)
        same = columns[i].compare(table.Columns[i], Qt::CaseInsensitive) == 0;
      if (!same)
        throw EDqException(QStringLiteral("The restore of \"%1\" is refused: the table %2 has the columns (%3) "
                                          "instead of TERVOX's (%4). The database was not changed.")
                               .arg(FFileName, table.Name, columns.join(QStringLiteral(", ")),
                                    table.Columns.join(QStringLiteral(", "))));
    }
    // Triggers of tables the restore leaves alone (the audit trail's
    // guards) change no restored row.
    QStringList restored;
    for (const TTable& table : FTables) restored << QStringLiteral("'%1'").arg(table.Name);
    const auto triggers = FDatabase.GetTable(
        QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'trigger' AND tbl_name COLLATE NOCASE IN (%1)")
            .arg(restored.join(QLatin1Char(','))));
    if (!triggers->Eof())
      throw EDqException(QStringLiteral("The restore of \"%1\" is refused: the database holds the trigger %2, "
                                        "which is not TERVOX's; restored rows would not stay as the backup holds "
                                        "them. The database was not changed.")
                             .arg(FFileName, triggers->GetFields(0)->AsString()));
  }

private:
  struct TTable {
    QString Name;
    QStringList Columns;
    QStringList Filtered;
    bool Emptied;
  };
  // A compiled INSERT of one table and column list, kept for the rows.
  struct TTarget {
    QString Key;
    sqlite3_stmt* Statement;
    QStringList Filtered; // per parameter: the column's name when filtered, else empty
  };

  QStringList ColumnsOf(const QString& ATable) const {
    QStringList columns;
    auto info = FDatabase.GetTable(QStringLiteral("SELECT name FROM pragma_table_info(%1)")
                                       .arg(QLatin1Char('\'') + QString(ATable).replace(QLatin1Char('\''), QStringLiteral("''")) +
                                            QLatin1Char('\'')));
    while (!info->Eof()) {
      columns << info->GetFields(0)->AsString();
      info->Next();
    }
    return columns;
  }

  void Line(QStringView ALine) {
    if (FLineNumber++ == 0) {
      if (ALine != QString(QStringLiteral("// ") + FDatabase.Header()))
        throw EDqException(QStringLiteral("SQLITE file header error"));
      return;
    }
    if (ALine.startsWith(QLatin1String("//"))) return;
    if (FPending.isEmpty()) {
      FStatementLine = FLineNumber;
      // The common case, one statement on its own line, without a copy.
      if (ALine.endsWith(QLatin1Char(';'))) {
        Statement(ALine.chopped(1));
        return;
      }
      if (ALine.isEmpty()) return;
      FPending = ALine.toString();
      return;
    }
    FPending += QLatin1Char(' ');
    FPending += ALine;
    if (!FPending.endsWith(QLatin1Char(';'))) return;
    const QString statement = FPending.chopped(1);
    FPending.clear();
    Statement(statement);
  }

  void Statement(QStringView AStatement) {
    try {
      Apply(AStatement);
    } catch (const TRefusal& refusal) {
      QString shown = AStatement.left(120).toString();
      if (AStatement.size() > 120) shown += QStringLiteral("...");
      throw EDqException(QStringLiteral("The backup \"%1\" is refused at line %2: %3 (\"%4\"). A backup holds only "
                                        "transactions, DELETE FROM and INSERT INTO TERVOX's tables. The database was "
                                        "not changed.")
                             .arg(FFileName)
                             .arg(FStatementLine)
                             .arg(refusal.Reason, shown));
    }
  }

  void Apply(QStringView AStatement) {
    TCursor cursor(AStatement);
    if (cursor.TakeWord(QLatin1String("PINSERT"))) {
      if (!FTarget) throw TRefusal{QStringLiteral("PINSERT before any PFIELD")};
      InsertRows(cursor, FTarget);
      return;
    }
    if (cursor.TakeWord(QLatin1String("PFIELD"))) {
      FTarget = Target(cursor);
      if (!cursor.AtEnd()) throw TRefusal{QStringLiteral("PFIELD names one table and its columns")};
      return;
    }
    if (cursor.TakeWord(QLatin1String("INSERT"))) {
      if (!cursor.TakeWord(QLatin1String("INTO"))) throw TRefusal{QStringLiteral("this is not a statement of a backup")};
      TTarget* target = Target(cursor);
      if (!cursor.TakeWord(QLatin1String("VALUES"))) throw TRefusal{QStringLiteral("only INSERT ... VALUES is accepted")};
      InsertRows(cursor, target);
      return;
    }
    if (cursor.TakeWord(QLatin1String("DELETE"))) {
      if (!cursor.TakeWord(QLatin1String("FROM"))) throw TRefusal{QStringLiteral("this is not a statement of a backup")};
      TTable& table = KnownTable(cursor.Name());
      if (!cursor.AtEnd()) throw TRefusal{QStringLiteral("DELETE FROM empties a whole table")};
      Exec(QStringLiteral("DELETE FROM ") + Quoted(table.Name));
      table.Emptied = true;
      return;
    }
    if (cursor.TakeWord(QLatin1String("BEGIN"))) {
      (void)(cursor.TakeWord(QLatin1String("DEFERRED")) || cursor.TakeWord(QLatin1String("IMMEDIATE")) ||
             cursor.TakeWord(QLatin1String("EXCLUSIVE")));
      TransactionEnd(cursor);
      // The file's transactions nest inside the restore's own.
      Exec(QStringLiteral("SAVEPOINT tervox_script"));
      ++FDepth;
      return;
    }
    const bool rollback = cursor.TakeWord(QLatin1String("ROLLBACK"));
    if (rollback || cursor.TakeWord(QLatin1String("COMMIT")) || cursor.TakeWord(QLatin1String("END"))) {
      TransactionEnd(cursor);
      if (FDepth == 0)
        throw EDqException(
            QStringLiteral("Error executing SQL statement.\r\"%1\": no transaction is active").arg(AStatement));
      if (rollback) Exec(QStringLiteral("ROLLBACK TO tervox_script"));
      Exec(QStringLiteral("RELEASE tervox_script"));
      --FDepth;
      return;
    }
    throw TRefusal{QStringLiteral("this is not a statement of a backup")};
  }

  void TransactionEnd(TCursor& ACursor) {
    (void)ACursor.TakeWord(QLatin1String("TRANSACTION"));
    if (!ACursor.AtEnd()) throw TRefusal{QStringLiteral("this is not a statement of a backup")};
  }

  TTable& KnownTable(const QString& AName) {
    for (TTable& table : FTables)
      if (table.Name.compare(AName, Qt::CaseInsensitive) == 0) return table;
    throw TRefusal{AName.isEmpty() ? QStringLiteral("a table name is expected")
                                   : QStringLiteral("%1 is not a table of TERVOX").arg(AName)};
  }

  // The table and optional column list of a PFIELD or INSERT, compiled once.
  TTarget* Target(TCursor& ACursor) {
    const TTable& table = KnownTable(ACursor.Name());
    QStringList columns;
    if (ACursor.Take(QLatin1Char('('))) {
      do {
        const QString name = ACursor.Name();
        auto known = std::find_if(table.Columns.begin(), table.Columns.end(), [&](const QString& AColumn) {
          return AColumn.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (name.isEmpty() || known == table.Columns.end())
          throw TRefusal{QStringLiteral("%1 is not a column of %2").arg(name.isEmpty() ? QStringLiteral("?") : name,
                                                                          table.Name)};
        if (columns.contains(*known)) throw TRefusal{QStringLiteral("the column %1 is named twice").arg(*known)};
        columns << *known;
      } while (ACursor.Take(QLatin1Char(',')));
      if (!ACursor.Take(QLatin1Char(')'))) throw TRefusal{QStringLiteral("the column list is not closed")};
    } else {
      columns = table.Columns;
    }
    const QString key = table.Name + QLatin1Char('(') + columns.join(QLatin1Char(',')) + QLatin1Char(')');
    for (TTarget& target : FTargets)
      if (target.Key == key) return &target;
    QStringList quoted, marks, filtered;
    for (const QString& column : columns) {
      quoted << Quoted(column);
      marks << QStringLiteral("?");
      const bool filter = FFilter && table.Filtered.contains(column, Qt::CaseInsensitive);
      filtered << (filter ? table.Name + QLatin1Char('.') + column : QString());
    }
    const QString sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                            .arg(Quoted(table.Name), quoted.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare16_v2(FDatabase.Handle(), sql.utf16(), static_cast<int>(sql.size() * 2), &statement, nullptr) !=
            SQLITE_OK ||
        !statement) {
      sqlite3_finalize(statement);
      FDatabase.RaiseError(QStringLiteral("Error executing SQL"), sql);
    }
    FTargets.push_back({key, statement, filtered});
    return &FTargets.back();
  }

  void InsertRows(TCursor& ACursor, TTarget* ATarget) {
    sqlite3_stmt* statement = ATarget->Statement;
    do {
      sqlite3_reset(statement);
      try {
        FValues.BindList(ACursor, statement, ATarget->Filtered, FFilter);
      } catch (...) {
        sqlite3_clear_bindings(statement);
        throw;
      }
      if (sqlite3_step(statement) != SQLITE_DONE) {
        sqlite3_reset(statement);
        FDatabase.RaiseError(QStringLiteral("Error executing SQL statement"),
                             QStringLiteral("line %1: %2").arg(FStatementLine).arg(ACursor.Text().left(200)));
      }
      sqlite3_reset(statement);
    } while (ACursor.Take(QLatin1Char(',')));
    if (!ACursor.AtEnd()) throw TRefusal{QStringLiteral("only values may follow VALUES")};
  }

  void Exec(const QString& ASQL) {
    if (sqlite3_exec(FDatabase.Handle(), ASQL.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
      FDatabase.RaiseError(QStringLiteral("Error executing SQL statement"), QStringLiteral("line %1: %2").arg(FStatementLine).arg(ASQL));
  }

  TSQLiteDatabase& FDatabase;
  QString FFileName;
  TScriptLines FLines;
  std::vector<TTable> FTables;
  QStringList FKnownNames;
  std::deque<TTarget> FTargets; // entries stay where they are
  TTarget* FTarget = nullptr;
  TValueBinder FValues;
  std::function<QString(const QString&)> FFilter;
  QString FPending;
  std::int64_t FLineNumber = 0;
  std::int64_t FStatementLine = 0;
  int FDepth = 0;
};

TSQLiteRestoreReader::TSQLiteRestoreReader(TSQLiteDatabase& ADatabase, const QString& AFileName,
                                           const TSQLiteRestoreRules& ARules)
    : FImpl(std::make_unique<TImpl>(ADatabase, AFileName, ARules)) {}

TSQLiteRestoreReader::~TSQLiteRestoreReader() = default;

void TSQLiteRestoreReader::Run(const TSQLiteProgress& AProgress) { FImpl->Run(AProgress); }
std::int64_t TSQLiteRestoreReader::Total() const { return FImpl->Total(); }
void TSQLiteRestoreReader::CheckComplete() const { FImpl->CheckComplete(); }
void TSQLiteRestoreReader::CheckSchema() const { FImpl->CheckSchema(); }
