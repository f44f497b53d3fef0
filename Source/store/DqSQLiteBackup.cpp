#include "DqSQLite.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTemporaryFile>

#include <sqlite3.h>

#include <charconv>
#include <cmath>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// ---------------------------------------------------------------------
// Backup writer

namespace {

// A text value as an SQL literal. Line breaks and other control characters
// cannot stand inside a line of the script, so they are written with char()
// and joined: 'a' || char(13,10) || 'b'.
QString QuoteText(const QString& AText) {
  auto isControl = [](QChar c) { return c.unicode() < 0x20 && c.unicode() != 0x09; };
  QString result;
  QString literal;
  QString codes;
  bool literalOpen = false;
  auto flushLiteral = [&] {
    if (!literalOpen) return;
    if (!result.isEmpty()) result += QStringLiteral(" || ");
    result += QLatin1Char('\'') + literal + QLatin1Char('\'');
    literal.clear();
    literalOpen = false;
  };
  auto flushCodes = [&] {
    if (codes.isEmpty()) return;
    if (!result.isEmpty()) result += QStringLiteral(" || ");
    result += QStringLiteral("char(") + codes + QLatin1Char(')');
    codes.clear();
  };
  for (QChar c : AText) {
    if (isControl(c)) {
      flushLiteral();
      if (!codes.isEmpty()) codes += QLatin1Char(',');
      codes += QString::number(c.unicode());
    } else {
      flushCodes();
      literalOpen = true;
      if (c == QLatin1Char('\'')) literal += QLatin1Char('\'');
      literal += c;
    }
  }
  flushLiteral();
  flushCodes();
  return result.isEmpty() ? QStringLiteral("''") : result;
}

// Appends a number in the backup's general format.
void AppendNumber(QByteArray& ALine, const TVariant& AValue) {
  char buffer[64];
  if (AValue.Kind() == TVarKind::Integer) {
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, AValue.IntValue()).ptr;
    ALine.append(buffer, end - buffer);
    return;
  }
  const double value = AValue.FloatValue();
  // SQLite reads an out-of-range literal as infinity.
  if (std::isinf(value)) {
    ALine += value < 0 ? "-9e999" : "9e999";
    return;
  }
  const double magnitude = std::fabs(value);
  if (value == 0.0) {
    ALine += '0';
  } else if (magnitude >= 1e-5 && magnitude < 1e15) {
    // Plain digits here: the shortest text that reads back exactly is the
    // general format's 15 digits (16 or 17 where 15 are not exact), and it
    // costs a fraction of printing and re-reading.
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
    ALine.append(buffer, end - buffer);
  } else {
    ALine += FloatToStrExact(value).toLatin1();
  }
}

void AppendValueLiteral(QByteArray& ALine, const TSQLiteField& AField) {
  const TVariant& value = AField.Value();
  if (value.IsNull()) {
    ALine += "NULL";
    return;
  }
  switch (AField.ValueType()) {
  case TVarKind::Boolean: ALine += value.BoolValue() ? "-1" : "0"; return;
  case TVarKind::Integer:
  case TVarKind::Float:
  case TVarKind::DateTime:
    if (value.IsNumeric()) {
      AppendNumber(ALine, value);
      return;
    }
    break; // text kept in a number column stays text
  default:
    break;
  }
  if (value.Kind() == TVarKind::Text) {
    ALine += QuoteText(value.TextValue()).toUtf8();
  } else if (value.IsNumeric() && AField.ValueType() == TVarKind::Null) {
    AppendNumber(ALine, value);
  } else {
    ALine += QuoteText(VarAsText(value)).toUtf8();
  }
}

} // namespace

void TSQLiteDatabase::ExportSQL(QIODevice& AStream, const TSQLiteProgress& AProgress) {
  // Lines gather in a buffer: one write per line would cost a system call
  // each on an unbuffered device.
  QByteArray buffer;
  auto flush = [&] {
    if (buffer.isEmpty()) return;
    if (AStream.write(buffer) != buffer.size())
      throw EDqException(QStringLiteral("Failed to write backup: %1").arg(AStream.errorString()));
    buffer.clear();
  };
  auto write = [&](const QString& ALine) {
    buffer += ALine.toUtf8();
    buffer += "\r\n";
    if (buffer.size() >= (1 << 20)) flush();
  };

  // One read transaction: every table as it stood at one instant.
  const bool snapshot = FHandle && sqlite3_get_autocommit(FHandle);
  if (snapshot) ExecSQL(QStringLiteral("BEGIN DEFERRED TRANSACTION"));
  try {
    write(QStringLiteral("// ") + FHeader);
    write(QString());

    std::vector<std::pair<QString, QString>> tables;
    GetTableList(tables);
    std::erase_if(tables, [this](const auto& AEntry) {
      return AEntry.first == QLatin1String("sqlite_sequence") || FDerivedTables.contains(AEntry.first);
    });
    std::int64_t total = 0, done = 0;
    if (AProgress)
      for (const auto& entry : tables) total += GetTableValue(QStringLiteral("SELECT count(*) FROM ") + entry.first);
    auto report = [&] {
      if (AProgress && !AProgress(done, total))
        throw ESQLiteCancelled(QStringLiteral("Backup cancelled; no file was written."));
    };
    report();

    bool first = true;
    for (const auto& entry : tables) {
      const QString& name = entry.first;
      if (!first) write(QString());
      first = false;
      write(QStringLiteral("BEGIN EXCLUSIVE TRANSACTION;"));
      write(QStringLiteral("DELETE FROM ") + name + QLatin1Char(';'));

      TSQLiteTable table(this);
      table.SetSQL(QStringLiteral("SELECT * FROM ") + name);
      table.Open();
      if (!table.Eof()) {
        QStringList columns;
        for (int i = 0; i < table.FieldCount(); ++i) columns << table.GetFields(i)->FieldName();
        write(QStringLiteral("PFIELD \"%1\" (%2);").arg(name, columns.join(QStringLiteral(", "))));
        while (!table.Eof()) {
          buffer += "PINSERT (";
          for (int i = 0; i < table.FieldCount(); ++i) {
            if (i > 0) buffer += ", ";
            AppendValueLiteral(buffer, *table.GetFields(i));
          }
          buffer += ");\r\n";
          if (buffer.size() >= (1 << 20)) flush();
          if ((++done & 0xFFF) == 0) report();
          table.Next();
        }
      }
      write(QStringLiteral("COMMIT TRANSACTION;"));
    }
    flush();
    report();
    if (snapshot) ExecSQL(QStringLiteral("COMMIT TRANSACTION"));
  } catch (...) {
    if (snapshot && FHandle && !sqlite3_get_autocommit(FHandle))
      sqlite3_exec(FHandle, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TSQLiteDatabase::ExportSQL(const QString& AFileName, const TSQLiteProgress& AProgress) {
  // Written beside the target and renamed on success, so that a backup that
  // fails half-way or is cancelled leaves no file and an existing file of
  // that name untouched. The temporary file is its owner's alone from the
  // start (a backup holds the users' password hashes); a file replaced
  // keeps its rights.
  QTemporaryFile file(AFileName + QStringLiteral(".XXXXXX"));
  if (!file.open())
    throw EDqException(QStringLiteral("Cannot create file \"%1\". %2").arg(AFileName, file.errorString()));
  const QFileInfo existing(AFileName);
  if (existing.exists()) file.setPermissions(existing.permissions());
  ExportSQL(file, AProgress);
  if (!file.flush() || ::fsync(file.handle()) != 0 ||
      ::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(AFileName).constData()) != 0)
    throw EDqException(QStringLiteral("Cannot create file \"%1\". %2").arg(AFileName, QString::fromLocal8Bit(std::strerror(errno))));
  file.setAutoRemove(false);
}
