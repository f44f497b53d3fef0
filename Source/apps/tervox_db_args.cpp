#include "tervox_db_args.h"

#include "core/DqRoutine.h"

#include <QDateTime>

#include <cstdio>

namespace {

void Say(const QString& AMessage) {
  QString text = AMessage;
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  std::fprintf(stderr, "tervox-db: %s\n", qPrintable(text));
}

} // namespace

int Fail(const QString& AMessage) {
  Say(AMessage);
  return 1;
}

int Refuse(const QString& AMessage) {
  Say(AMessage);
  return 2;
}

bool ParseOptions(const QStringList& AArgs, const QStringList& AKnown, std::map<QString, QString>& AValues,
                  QString& AError) {
  for (qsizetype i = 0; i < AArgs.size(); ++i) {
    QString name = AArgs.at(i);
    QString value;
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    if (name.startsWith(QLatin1String("--")) && equals > 0) {
      value = name.mid(equals + 1);
      name = name.left(equals);
    } else if (i + 1 < AArgs.size()) {
      value = AArgs.at(++i);
    } else {
      AError = name.startsWith(QLatin1String("--")) ? QStringLiteral("%1 needs a value").arg(name)
                                                     : QStringLiteral("unexpected argument %1").arg(name);
      return false;
    }
    if (!AKnown.contains(name)) {
      AError = QStringLiteral("unknown option %1").arg(name);
      return false;
    }
    if (AValues.count(name)) {
      AError = QStringLiteral("%1 given twice").arg(name);
      return false;
    }
    AValues[name] = value;
  }
  return true;
}

bool ParseLocalTime(const QString& AText, double& AValue) {
  const QString text = AText.trimmed();
  for (const char* format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-dd"}) {
    const QDateTime time = QDateTime::fromString(text, QString::fromLatin1(format));
    if (time.isValid()) {
      AValue = DateTimeFromQDateTime(time);
      return true;
    }
  }
  return false;
}

bool ReadRange(const std::map<QString, QString>& AValues, bool ARequired, double& AFrom, double& ATo, QString& AError) {
  for (const char* name : {"--from", "--to"}) {
    auto found = AValues.find(QString::fromLatin1(name));
    if (found == AValues.end()) {
      if (ARequired) {
        AError = QStringLiteral("%1 is required").arg(QString::fromLatin1(name));
        return false;
      }
      continue;
    }
    double& value = QLatin1String(name) == QLatin1String("--from") ? AFrom : ATo;
    if (!ParseLocalTime(found->second, value)) {
      AError = QStringLiteral("bad date \"%1\" for %2: use \"YYYY-MM-DD hh:mm:ss\"").arg(found->second, QString::fromLatin1(name));
      return false;
    }
  }
  if (AFrom > ATo) {
    AError = QStringLiteral("--from is after --to");
    return false;
  }
  return true;
}

bool ReadOutput(const std::map<QString, QString>& AValues, const QStringList& AKinds, QString& AKind, QString& AFile,
                QString& AError) {
  for (const QString& kind : AKinds) {
    auto found = AValues.find(QStringLiteral("--") + kind);
    if (found == AValues.end()) continue;
    if (!AKind.isEmpty()) {
      AError = QStringLiteral("give only one of --%1").arg(AKinds.join(QStringLiteral(", --")));
      return false;
    }
    AKind = kind;
    AFile = found->second;
  }
  if (AKind.isEmpty()) {
    AError = QStringLiteral("one of --%1 is required").arg(AKinds.join(QStringLiteral(", --")));
    return false;
  }
  return true;
}
