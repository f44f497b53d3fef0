#include "tervox_db_graph.h"

#include "tervox_db_args.h"

#include "graph/DqGraph.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_GraphSource.h"
#include "export/Tervox_HistoryGraph.h"
#include "export/Tervox_Report.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSize>

#include <cstdio>

const char* const kGraphUsage =
    "  graph --profile NAME --from \"YYYY-MM-DD hh:mm:ss\" --to \"YYYY-MM-DD hh:mm:ss\"\n"
    "        (--png FILE [--size WxH] | --pdf FILE)\n"
    "                   the Graph page's history graph of a saved profile over\n"
    "                   that window: the picture the page saves, 900x600 pixels\n"
    "                   unless given (200 to 8192 a side), its first line on top;\n"
    "                   or the sheet the page prints, on the Graph setting's paper\n";

namespace {

constexpr int kMinSide = 200;
constexpr int kMaxSide = 8192;
// The page's own size when it first opens.
constexpr QSize kDefaultSize(900, 600);

bool ParseSize(const QString& AText, QSize& ASize) {
  static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d{1,5})\\s*[xX]\\s*(\\d{1,5})\\s*$"));
  const QRegularExpressionMatch match = pattern.match(AText);
  if (!match.hasMatch()) return false;
  ASize = QSize(match.captured(1).toInt(), match.captured(2).toInt());
  return ASize.width() >= kMinSide && ASize.width() <= kMaxSide && ASize.height() >= kMinSide &&
         ASize.height() <= kMaxSide;
}

// The file is written beside itself and renamed in place: its folder must
// take a new file, and a file of that name must be one we may replace.
bool CanWrite(const QString& AFileName, QString& AError) {
  const QFileInfo file(AFileName);
  const QFileInfo folder(file.absolutePath());
  QString reason;
  if (AFileName.isEmpty())
    reason = QStringLiteral("no file name");
  else if (file.isDir())
    reason = QStringLiteral("it is a folder");
  else if (!folder.isDir())
    reason = QStringLiteral("there is no folder %1").arg(QDir::toNativeSeparators(folder.filePath()));
  else if (!folder.isWritable())
    reason = QStringLiteral("the folder %1 is not writable").arg(QDir::toNativeSeparators(folder.filePath()));
  else if (file.exists() && !file.isWritable())
    reason = QStringLiteral("the file is not writable");
  if (reason.isEmpty()) return true;
  AError = QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, reason);
  return false;
}

QString TimeText(double AValue) {
  return DateTimeToQDateTime(AValue).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

int RunGraphCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {"--profile", "--from", "--to", "--png", "--pdf", "--size"}, values, error))
    return Refuse(error);
  if (!values.count(QStringLiteral("--profile"))) return Refuse(QStringLiteral("--profile is required"));
  const QString profile = values[QStringLiteral("--profile")];
  double from = 0, to = 0;
  if (!ReadRange(values, true, from, to, error)) return Refuse(error);
  if (from >= to) return Refuse(QStringLiteral("--from is not before --to: the window is empty"));
  QString kind;
  QString file;
  if (!ReadOutput(values, {"png", "pdf"}, kind, file, error)) return Refuse(error);
  QSize size = kDefaultSize;
  if (values.count(QStringLiteral("--size"))) {
    if (kind != QLatin1String("png"))
      return Refuse(QStringLiteral("--size is for --png: a sheet has the Graph setting's paper"));
    if (!ParseSize(values[QStringLiteral("--size")], size))
      return Refuse(QStringLiteral("bad size \"%1\": use WxH, %2 to %3 pixels a side")
                        .arg(values[QStringLiteral("--size")])
                        .arg(kMinSide)
                        .arg(kMaxSide));
  }
  if (!CanWrite(file, error)) return Refuse(error);
  // A graph of a database that is not there would make an empty one.
  const QString databaseFile = GetDatabaseFileName();
  if (!QFileInfo(databaseFile).isFile()) return Refuse(QStringLiteral("There is no database \"%1\"").arg(databaseFile));

  try {
    TSQLiteDatabase* database = GetDatabase();
    TDqTrendGraphList graphs;
    graphs.LoadFromDB(*database, QStringLiteral("Graph"), QStringLiteral("GraphLine"));
    const int index = graphs.IndexOfName(profile);
    if (index < 0) {
      QStringList names;
      for (int i = 0; i < graphs.Count(); ++i) names << QStringLiteral("\"%1\"").arg(graphs.GetGraphs(i)->Name);
      return Refuse(QStringLiteral("unknown profile \"%1\"; the database has %2")
                        .arg(profile, names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))));
    }
    TDqTrendGraph& graph = *graphs.GetGraphs(index);
    // As the page shows a chosen profile: its stored Y range, the window of
    // the pickers, its first line selected.
    graph.TimeMode = true;
    graph.FirstTime = from;
    graph.LastTime = to;
    graph.TopOrder = 0;
    TTervoxValueTypes types;
    types.LoadFromDB(*database, QStringLiteral("ValueType"));
    BindGraphLines(graph, GraphSourcesOfDatabase(*database), &types);

    const QFont font = GraphLabelFont(QGuiApplication::font());
    if (kind == QLatin1String("png"))
      WriteHistoryPNG(graph, databaseFile, size, font, file);
    else
      WriteHistoryPDF(graph, databaseFile, *GraphSetting(), font, file);
    std::printf("graph: \"%s\" from %s to %s written to %s\n", qPrintable(profile), qPrintable(TimeText(from)),
                qPrintable(TimeText(to)), qPrintable(file));
  } catch (const ESQLiteException& e) {
    return Fail(e.Message());
  } catch (const EDqException& e) {
    return Refuse(e.Message());
  }
  return 0;
}
