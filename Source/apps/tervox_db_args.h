// The command-line pieces the file-writing commands of tervox-db share:
// "--name value" options, local times, the window and the one output.
#pragma once

#include <QString>
#include <QStringList>

#include <map>

// Write "tervox-db: AMessage" to stderr. Fail returns 1, the status of
// work that failed; Refuse returns 2, that of a wrong command line.
int Fail(const QString& AMessage);
int Refuse(const QString& AMessage);

// "--name value" pairs (or "--name=value") of the names in AKnown; false
// with AError for anything else.
bool ParseOptions(const QStringList& AArgs, const QStringList& AKnown, std::map<QString, QString>& AValues,
                  QString& AError);

// Local date and time: "YYYY-MM-DD hh:mm:ss" (a "T" may stand for the
// space; the time may be left out for midnight).
bool ParseLocalTime(const QString& AText, double& AValue);

// --from and --to (both required when ARequired); false with AError for a
// bad date or --from after --to.
bool ReadRange(const std::map<QString, QString>& AValues, bool ARequired, double& AFrom, double& ATo, QString& AError);

// The one output option of AKinds given: ("pdf", file) for --pdf FILE.
bool ReadOutput(const std::map<QString, QString>& AValues, const QStringList& AKinds, QString& AKind, QString& AFile,
                QString& AError);
