// Each program's manual page names every option and command its --help
// lists and nothing else, and groff reads it without a warning: the pages
// cannot drift from the programs.
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

struct TProgram {
  const char* Name;
  const char* Page;               // under packaging/man
  std::vector<QStringList> Helps; // the argument lists that print help
  const char* CommandSection;     // the page's section listing the commands, or nullptr
};

QString BinDir() { return qEnvironmentVariable("TERVOX_BIN_DIR"); }

QString HelpOf(const QString& AProgram, const QStringList& AArguments) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  process.setProcessEnvironment(env);
  process.start(BinDir() + QLatin1Char('/') + AProgram, AArguments);
  EXPECT_TRUE(process.waitForFinished(30000)) << AProgram.toStdString();
  return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}

// The page's text without roff's escapes and font changes.
QString PlainPage(const QString& APath) {
  QFile file(APath);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << APath.toStdString();
  QString text = QString::fromUtf8(file.readAll());
  text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
  text.replace(QStringLiteral("\\(dq"), QStringLiteral("\""));
  text.replace(QStringLiteral("\\e"), QStringLiteral("\\"));
  text.remove(QRegularExpression(QStringLiteral("\\\\f[BIRP]")));
  return text;
}

QSet<QString> Options(const QString& AText) {
  QSet<QString> result;
  static const QRegularExpression option(QStringLiteral("(?<![\\w-])(--[a-z][a-z-]*[a-z]|-[a-zA-Z])(?![\\w-])"));
  for (auto it = option.globalMatch(AText); it.hasNext();) result << it.next().captured(1);
  return result;
}

// Commands of a help text: the words that begin a line indented by two.
QSet<QString> HelpCommands(const QString& AHelp) {
  QSet<QString> result;
  static const QRegularExpression command(QStringLiteral("^  ([a-z]+)(?: |$)"), QRegularExpression::MultilineOption);
  for (auto it = command.globalMatch(AHelp); it.hasNext();) result << it.next().captured(1);
  return result;
}

// Commands of a page: the first word of each tagged paragraph's tag in the
// section ASection.
QSet<QString> PageCommands(const QString& APage, const QString& ASection) {
  QSet<QString> result;
  const QStringList lines = APage.split(QLatin1Char('\n'));
  bool inside = false;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    if (lines[i].startsWith(QLatin1String(".SH "))) inside = lines[i].mid(4).remove(QLatin1Char('"')) == ASection;
    if (!inside || lines[i] != QLatin1String(".TP") || i + 1 >= lines.size()) continue;
    QString tag = lines[i + 1];
    tag.remove(QRegularExpression(QStringLiteral("^\\.(B|BI|BR|I)\\s+")));
    result << tag.section(QLatin1Char(' '), 0, 0);
  }
  return result;
}

// The set in order, one line of text for readable failures.
QString Sorted(const QSet<QString>& ASet) {
  QStringList list(ASet.begin(), ASet.end());
  list.sort();
  return list.join(QLatin1Char(' '));
}

TEST(ManPage, NamesWhatHelpNamesAndReadsCleanly) {
  std::vector<TProgram> programs = {
      {"tervox", "tervox.1", {{QStringLiteral("--help")}}, nullptr},
      {"tervox-db", "tervox-db.1", {{QStringLiteral("--help")}}, "COMMANDS"},
      {"tervox-sim", "tervox-sim.1", {{QStringLiteral("--help")}, {QStringLiteral("modem")}}, "CONTROL CHANNEL"},
  };
#ifdef TERVOX_HAS_RECORDER
  programs.push_back({"tervox-recorder", "tervox-recorder.8", {{QStringLiteral("--help")}}, nullptr});
#endif
  for (const TProgram& program : programs) {
    SCOPED_TRACE(program.Name);
    const QString path = QStringLiteral(TERVOX_SOURCE_DIR "/packaging/man/") + QString::fromLatin1(program.Page);
    const QString page = PlainPage(path);
    QString help;
    for (const QStringList& arguments : program.Helps) help += HelpOf(QString::fromLatin1(program.Name), arguments);
    ASSERT_FALSE(help.isEmpty());
    EXPECT_EQ(Sorted(Options(page)), Sorted(Options(help))) << help.toStdString();
    if (program.CommandSection) {
      EXPECT_EQ(Sorted(PageCommands(page, QString::fromLatin1(program.CommandSection))), Sorted(HelpCommands(help)));
    }
    // Subcommands of the usage lines stand in the page's synopsis.
    static const QRegularExpression usage(QStringLiteral("^(?:Usage:)?\\s+(tervox\\S*) ([a-z]+)"),
                                          QRegularExpression::MultilineOption);
    for (auto it = usage.globalMatch(help); it.hasNext();) {
      const auto match = it.next();
      EXPECT_TRUE(page.contains(QStringLiteral(".B %1 %2").arg(match.captured(1), match.captured(2))))
          << match.captured(0).toStdString();
    }

    QProcess groff;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    groff.setProcessEnvironment(env);
    groff.start(QStringLiteral("groff"), {QStringLiteral("-man"), QStringLiteral("-Tutf8"), QStringLiteral("-ww"),
                                          QStringLiteral("-z"), path});
    ASSERT_TRUE(groff.waitForFinished(30000));
    EXPECT_EQ(groff.exitCode(), 0);
    EXPECT_EQ(QString::fromUtf8(groff.readAllStandardError()), QString());
  }
}

} // namespace
