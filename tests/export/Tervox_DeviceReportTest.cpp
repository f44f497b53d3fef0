#include "core/DqClock.h"
#include "graph/DqPrint.h"
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "export/Tervox_DeviceReport.h"
#include "export/Tervox_ReportStamp.h"
#include "ChainTestSupport.h"
#include "export/Tervox_Report.h"
#include "export/Tervox_UsageLogReport.h"
#include "store/Main_Database.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>

namespace {

constexpr double kSecond = 1.0 / 86400;
// Not a static constant: the date helpers' own constants may not exist yet.
double Day() { return EncodeDateTime(2026, 3, 14); }

class DeviceReportTest : public ::testing::Test {
protected:
  void SetUp() override {
    FreePrintProfiles();
    SetDatabaseFileName(dir.Path(QStringLiteral("Tervox.db")));
    GetDatabase();
  }
  void TearDown() override {
    FreePrintProfiles();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  // Readings of controller ADevice at the given times, PV = 20.0 + i/10.
  static void Insert(int ADevice, const std::vector<double>& ATimes, int ADigit = 1) {
    sqlite3* db = GetDatabase()->Handle();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, IsEV1, IsEV2, IsEV3) "
                       "VALUES (?1, ?2, ?3, ?4, 180, 32767, 12.5, ?5, 0, -1)",
                       -1, &stmt, nullptr);
    for (std::size_t i = 0; i < ATimes.size(); ++i) {
      sqlite3_reset(stmt);
      sqlite3_bind_int(stmt, 1, ADevice);
      sqlite3_bind_double(stmt, 2, ATimes[i]);
      sqlite3_bind_int(stmt, 3, ADigit);
      sqlite3_bind_double(stmt, 4, 20.0 + static_cast<double>(i % 1000) / 10);
      sqlite3_bind_int(stmt, 5, i % 2 ? -1 : 0);
      EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  static std::vector<double> EverySecond(double AFrom, int ACount) {
    std::vector<double> times;
    for (int i = 0; i < ACount; ++i) times.push_back(AFrom + i * kSecond);
    return times;
  }
  std::unique_ptr<TDeviceReport> Open(int APeriod, double AFrom, double ATo, unsigned AColumns = rcAll) {
    auto report = std::make_unique<TDeviceReport>(GetDatabaseFileName());
    TDeviceReportQuery query;
    query.DeviceID = 1;
    query.DeviceName = QStringLiteral("Oven");
    query.FirstTime = AFrom;
    query.LastTime = ATo;
    query.Period = APeriod;
    query.Columns = AColumns;
    EXPECT_TRUE(report->Open(query));
    return report;
  }
  QString Run(const QString& AProgram, const QStringList& AArgs) {
    QProcess process;
    process.start(AProgram, AArgs);
    EXPECT_TRUE(process.waitForFinished(60000));
    return QString::fromUtf8(process.readAllStandardOutput()) + QString::fromUtf8(process.readAllStandardError());
  }
  tervox_test::TempDir dir;
};

TEST_F(DeviceReportTest, RowsPerPageAndColumnWidths) {
  struct Case {
    double Height, Top, Bottom;
    int Report, Log;
  } const cases[] = {{297, 10, 10, 42, 44}, {279, 10, 10, 39, 41}, {30, 10, 10, 1, 1}, {10, 5, 5, 1, 1}};
  for (const Case& c : cases) {
    TBaseReport profile(QStringLiteral("Test"), false);
    profile.SetPaperHeight(c.Height);
    profile.SetMarginTop(c.Top);
    profile.SetMarginBottom(c.Bottom);
    EXPECT_EQ(ReportRowsPerPage(profile), c.Report) << c.Height;
    EXPECT_EQ(UsageLogRowsPerPage(profile), c.Log) << c.Height;
  }
  EXPECT_EQ(ReportColumnWidths(0), std::vector<double>{40});
  const std::vector<double> three = ReportColumnWidths(rcPV | rcOUT2 | rcEV3);
  ASSERT_EQ(three.size(), 4u);
  EXPECT_NEAR(three[1], 46.67, 0.005);
  EXPECT_DOUBLE_EQ(three[1] + three[2] + three[3], 140);
}

TEST_F(DeviceReportTest, CellTexts) {
  EXPECT_EQ(ReportTimeText(EncodeDateTime(2026, 3, 4, 9, 5, 7, 999)), QStringLiteral("04/03/26 - 09:05:07"));
  EXPECT_EQ(ReportTimeText(EncodeDateTime(2026, 3, 4, 23, 59, 59, 999) + 0.6 / 86400000),
            QStringLiteral("05/03/26 - 00:00:00"));
  struct Case {
    double Value;
    int Digit;
    const char* Text;
  } const cases[] = {{32767, 1, "-"}, {-32768, 0, "-32768"}, {25.05, 2, "25.05"}, {-0.3, 1, "-0.3"},
                     {1800, 0, "1800"},  {0.123456, 1, "0.1"},  {7, 3, "7.000"},    {0.05, 2, "0.05"}};
  for (const Case& c : cases) {
    EXPECT_EQ(ReportValueText(c.Value, c.Digit), QString::fromLatin1(c.Text)) << c.Value;
    if (c.Value != 32767) {
      EXPECT_EQ(ReportValueText(c.Value, c.Digit), FormatFixed(c.Value, c.Digit));
    }
  }
}

// Every grouped report gives SQLite's GROUP BY ROUND() rows: the first
// reading of each group with its own stamp.
TEST_F(DeviceReportTest, GroupsAreTheSameAsSQLitesGroupBy) {
  std::vector<double> times;
  QRandomGenerator random(1234);
  double t = Day() + 10 * 3600 * kSecond;
  for (int i = 0; i < 6000; ++i) {
    times.push_back(t);
    // Mostly a second apart, now and then a gap of minutes or hours.
    t += (random.bounded(100) == 0 ? random.bounded(20000) : 1 + random.bounded(3)) * kSecond +
         random.bounded(1000) / 1000.0 * kSecond / 10;
  }
  // The edges of the 1-minute groups, half a minute off the whole minute.
  times.push_back(Day() + (10 * 3600 + 29) * kSecond - 1e-12);
  Insert(1, times);
  Insert(2, EverySecond(Day(), 100)); // another controller stays out
  const double from = Day() + 10.2 / 24;
  const double to = t - 600 * kSecond;
  for (int period = 1; period < kReportPeriodCount; ++period) {
    std::unique_ptr<TDeviceReport> report = Open(period, from, to);
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT PV, MIN(ReadTime) AS ReadTime FROM DeviceData WHERE DeviceID = 1 AND "
                                "ReadTime >= :F AND ReadTime <= :L GROUP BY ROUND(ReadTime * %1) ORDER BY ReadTime")
                     .arg(kReportPeriodGroups[period]));
    table.SetParamValues(":F", TVariant::FromDateTime(from));
    table.SetParamValues(":L", TVariant::FromDateTime(to));
    table.Open();
    std::vector<TReportRow> rows = report->Rows(0, 1 << 20);
    ASSERT_EQ(static_cast<std::int64_t>(rows.size()), report->RecordCount());
    std::size_t n = 0;
    for (; !table.Eof(); table.Next(), ++n) {
      ASSERT_LT(n, rows.size()) << kReportPeriodNames[period];
      EXPECT_EQ(rows[n].ReadTime, table.FieldByName(QStringLiteral("ReadTime"))->AsFloat()) << kReportPeriodNames[period] << n;
      EXPECT_EQ(rows[n].Values[0], table.FieldByName(QStringLiteral("PV"))->AsFloat());
    }
    EXPECT_EQ(n, rows.size()) << kReportPeriodNames[period];
  }
}

TEST_F(DeviceReportTest, OneMinuteSplitsHalfAMinuteAfterTheMinute) {
  Insert(1, {Day() + (10 * 3600 + 29) * kSecond, Day() + (10 * 3600 + 31) * kSecond});
  std::unique_ptr<TDeviceReport> report = Open(2, Day(), Day() + 1);
  EXPECT_EQ(report->RecordCount(), 2);
}

TEST_F(DeviceReportTest, OneSecondPagesAreFoundByKey) {
  // Across midnight: the count is kept per hour.
  const double base = Day() - 500 * kSecond;
  Insert(1, EverySecond(base, 1000));
  std::unique_ptr<TDeviceReport> report = Open(0, base + 5 * kSecond, base + 994.5 * kSecond);
  ASSERT_EQ(report->RecordCount(), 990);
  EXPECT_EQ(report->PageCount(42), 24);
  for (std::int64_t first : {0, 63, 494, 495, 496, 42 * 23, 700, 989}) {
    const std::vector<TReportRow> rows = report->Rows(first, 42);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(static_cast<std::int64_t>(rows.size()), std::min<std::int64_t>(42, 990 - first));
    EXPECT_NEAR(rows.front().ReadTime, base + static_cast<double>(5 + first) * kSecond, 1e-9) << first;
    EXPECT_NEAR(rows.back().ReadTime, base + static_cast<double>(5 + first + rows.size() - 1) * kSecond, 1e-9);
  }
  EXPECT_TRUE(report->Rows(990, 42).empty());

  // 100 records on A4: three pages, 16 rows on the third.
  std::unique_ptr<TDeviceReport> hundred = Open(0, Day(), Day() + 99.5 * kSecond);
  ASSERT_EQ(hundred->RecordCount(), 100);
  EXPECT_EQ(hundred->PageCount(ReportRowsPerPage(*ReportSetting())), 3);
  EXPECT_EQ(hundred->Rows(84, 42).size(), 16u);
  const QStringList texts = hundred->RowTexts(hundred->Rows(1, 1).front());
  EXPECT_EQ(texts, QStringList({"14/03/26 - 00:00:01", "70.1", "180.0", "-", "12.5", "On", "Off", "On"}));
}

TEST_F(DeviceReportTest, CancelledCountLeavesAnEmptyReport) {
  Insert(1, EverySecond(Day(), 50000));
  TDeviceReport report(GetDatabaseFileName());
  TDeviceReportQuery query;
  query.DeviceID = 1;
  query.FirstTime = Day();
  query.LastTime = Day() + 1;
  TCancelFlag cancel{true};
  EXPECT_FALSE(report.Open(query, &cancel));
  EXPECT_EQ(report.RecordCount(), 0);
  query.Period = 2;
  EXPECT_FALSE(report.Open(query, &cancel));
}

TEST_F(DeviceReportTest, SpreadsheetReadByAnIndependentReader) {
  Insert(1, EverySecond(Day() + 0.5, 3));
  std::unique_ptr<TDeviceReport> report = Open(0, Day(), Day() + 1, rcPV | rcEV1);
  const QString file = dir.Path(QStringLiteral("r.xls"));
  const TDeviceReport::TExportResult result = report->ExportXLS(file);
  EXPECT_EQ(result.RowsWritten, 3);
  EXPECT_EQ(result.RowsLeftOut, 0);
  const QString out = Run(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import sys, xlrd\n"
                                                                "s = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
                                                                "for r in range(s.nrows):\n"
                                                                "  print('|'.join(str(s.cell_value(r, c)) for c in range(s.ncols)))\n"),
                           file});
  const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_GE(lines.size(), 7) << out.toStdString();
  EXPECT_EQ(lines[0], QStringLiteral("TERVOX REPORT||"));
  EXPECT_EQ(lines[1], QStringLiteral("Device Name: Oven||"));
  EXPECT_TRUE(lines[2].startsWith(ReportRangeText(Day(), Day() + 1)));
  EXPECT_EQ(lines[3], QStringLiteral("Read Time|PV|EV1"));
  EXPECT_EQ(lines[4], QStringLiteral("14/03/26 - 12:00:00|20.0|Off"));
  EXPECT_EQ(lines[6], QStringLiteral("14/03/26 - 12:00:02|20.2|Off"));
}

TEST_F(DeviceReportTest, SpreadsheetStopsAtItsLastRowAndCsvKeepsAll) {
  Insert(1, EverySecond(Day(), 65540));
  std::unique_ptr<TDeviceReport> report = Open(0, Day(), Day() + 1, rcPV);
  const QString file = dir.Path(QStringLiteral("big.xls"));
  const TDeviceReport::TExportResult result = report->ExportXLS(file);
  EXPECT_EQ(result.RowsWritten, 65531);
  EXPECT_EQ(result.RowsLeftOut, 9);
  // The title rows are intact and the last row is 65534 (the reader above
  // stops at the 16,384 rows of this record layout, so walk the records).
  const QByteArray bytes = tervox_test::ReadFileBytes(file);
  int maxRow = -1;
  QStringList titles;
  for (qsizetype at = 0; at + 4 <= bytes.size();) {
    const int number = static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
    const int length = static_cast<unsigned char>(bytes[at + 2]) | static_cast<unsigned char>(bytes[at + 3]) << 8;
    if (number == 0x0004) {
      const int row = static_cast<unsigned char>(bytes[at + 4]) | static_cast<unsigned char>(bytes[at + 5]) << 8;
      maxRow = std::max(maxRow, row);
      if (row < 3) titles << QString::fromLatin1(bytes.mid(at + 12, static_cast<unsigned char>(bytes[at + 11])));
    }
    at += 4 + length;
  }
  EXPECT_EQ(maxRow, 65534);
  ASSERT_EQ(titles.size(), 3);
  EXPECT_EQ(titles[0], QStringLiteral("TERVOX REPORT"));
  EXPECT_EQ(titles[1], QStringLiteral("Device Name: Oven"));

  const QString csv = dir.Path(QStringLiteral("big.csv"));
  EXPECT_EQ(report->ExportCSV(csv).RowsWritten, 65540);
  const QList<QByteArray> lines = tervox_test::ReadFileBytes(csv).split('\n');
  EXPECT_EQ(lines.size(), 65543); // header, rows, the stamp, the empty piece after the last CRLF
  EXPECT_EQ(lines[0], QByteArray("Read Time,PV\r"));
  EXPECT_EQ(lines[2], QByteArray("2026-03-14T00:00:01,20.1\r"));
}

TEST_F(DeviceReportTest, AnExportedCsvVerifiesUntilOneValueIsEdited) {
  Insert(1, EverySecond(Day(), 120));
  std::unique_ptr<TDeviceReport> report = Open(0, Day(), Day() + 1, rcPV | rcSV);
  report->SetExportedBy(QStringLiteral("engineer"));
  const QString csv = dir.Path(QStringLiteral("oven.csv"));
  ASSERT_EQ(report->ExportCSV(csv).RowsWritten, 120);
  const QByteArray exported = tervox_test::ReadFileBytes(csv);
  const QList<QByteArray> lines = exported.split('\n');
  TReportStamp stamp;
  ASSERT_TRUE(ParseReportStamp(lines[121], stamp)) << lines[121].toStdString();
  EXPECT_EQ(stamp.User, QStringLiteral("engineer"));
  EXPECT_EQ(stamp.Query.DeviceID, 1);
  EXPECT_EQ(stamp.Query.Columns, rcPV | rcSV);
  EXPECT_EQ(stamp.Rows, 120);
  EXPECT_TRUE(stamp.Digest.startsWith(QStringLiteral("blake2b-256:")));
  // Rows no keeper has chained yet are vouched for by nothing: it says so.
  EXPECT_EQ(stamp.Verified, QStringLiteral("not yet chained (120 reading(s))"));

  TReportCheck check = CheckReportCSV(csv, GetDatabaseFileName());
  EXPECT_EQ(check.Status, TReportCheck::Intact) << check.Text.toStdString();

  // One value edited in the file: the line is named.
  QByteArray edited = exported;
  edited.replace("2026-03-14T00:00:05,20.5,", "2026-03-14T00:00:05,20.6,");
  ASSERT_NE(edited, exported);
  tervox_test::WriteFileBytes(csv, edited);
  check = CheckReportCSV(csv, GetDatabaseFileName());
  EXPECT_EQ(check.Status, TReportCheck::Changed);
  EXPECT_TRUE(check.Text.startsWith(QStringLiteral("Line 7 differs"))) << check.Text.toStdString();
  EXPECT_TRUE(check.Text.contains(QStringLiteral("no longer matches its stamp")));

  // The file as exported, the database changed since.
  tervox_test::WriteFileBytes(csv, exported);
  GetDatabase()->ExecSQL(QStringLiteral("UPDATE DeviceData SET PV = 99 WHERE ReadTime > %1").arg(Day() + 100 * kSecond, 0, 'g', 17));
  check = CheckReportCSV(csv, GetDatabaseFileName());
  EXPECT_EQ(check.Status, TReportCheck::Changed);
  EXPECT_TRUE(check.Text.contains(QStringLiteral("the database changed"))) << check.Text.toStdString();

  // No stamp: nothing to check against.
  tervox_test::WriteFileBytes(csv, "Read Time,PV\r\n");
  EXPECT_EQ(CheckReportCSV(csv, GetDatabaseFileName()).Status, TReportCheck::CannotCheck);
}

// On a recorded database with its chain and seals, the stamp vouches for
// the period; with a reading changed afterwards, it says tampered.
TEST_F(DeviceReportTest, TheStampSaysWhetherTheDatabaseVouchesForThePeriod) {
  const tervox_test::FixedClock clock(Day() + 1);
  FreeDatabase();
  const QString file = GetDatabaseFileName();
  tervox_test::AddControllers(file, {{1, QStringLiteral("Oven")}});
  tervox_test::WriteHistory(file, {1}, Day(), 30, 6);
  tervox_test::RunRecordingKeeper(file);
  std::unique_ptr<TDeviceReport> report = Open(0, Day(), Day() + 1, rcPV);
  const QString csv = dir.Path(QStringLiteral("chained.csv"));
  report->ExportCSV(csv);
  TReportStamp stamp;
  ASSERT_TRUE(ParseReportStamp(tervox_test::ReadFileBytes(csv).split('\n').at(181), stamp));
  EXPECT_EQ(stamp.Verified, QStringLiteral("intact"));
  {
    TSQLiteDatabase raw(file);
    raw.ExecSQL(QStringLiteral("UPDATE DeviceData SET PV = 99 WHERE rowid = 10"));
  }
  report->ExportCSV(csv);
  ASSERT_TRUE(ParseReportStamp(tervox_test::ReadFileBytes(csv).split('\n').at(181), stamp));
  EXPECT_TRUE(stamp.Verified.startsWith(QStringLiteral("TAMPERED: "))) << stamp.Verified.toStdString();
}

// Reads a workbook with openpyxl and prints, per sheet, what the format
// carries: merged ranges, the frozen pane, the top rows, every data row's
// cell kinds checked, and the first and last rows with their formats.
const char* const kReadWorkbook = R"(import sys, datetime, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
print('sheets=' + '|'.join(wb.sheetnames))
def cell(c):
    v = c.value
    if isinstance(v, datetime.datetime): v = v.isoformat()
    return type(c.value).__name__ + ':' + str(v) + ':' + c.number_format
for ws in wb.worksheets:
    print('merged=' + ' '.join(sorted(str(r) for r in ws.merged_cells.ranges)))
    print('frozen=' + str(ws.freeze_panes))
    print('titles=' + '|'.join(str(ws.cell(r, 1).value) for r in (1, 2, 3)))
    print('headings=' + '|'.join(str(c.value) for c in ws[4]))
    rows = 0
    wrong = 0
    for row in ws.iter_rows(min_row=5):
        rows += 1
        kinds = ['number' if type(c.value) in (int, float) else type(c.value).__name__ for c in row]
        if kinds != ['datetime', 'number', 'number', 'NoneType', 'number', 'str', 'str', 'str']:
            wrong += 1
        if rows == 1: print('first=' + '|'.join(cell(c) for c in row))
    print('rows=%d wrong=%d' % (rows, wrong))
    print('last=' + '|'.join(cell(c) for c in row))
)";

// Thai text, 70,000 rows over two sheets (a small sheet for the test), read
// back by an independent reader: numbers stay numbers with the controller's
// decimals as their format, times are date-times, the titles are merged
// across the columns and the headings stay in view.
TEST_F(DeviceReportTest, WorkbookReadByAnIndependentReader) {
  Insert(1, EverySecond(Day(), 69990), 1);
  Insert(1, EverySecond(Day() + 69990 * kSecond, 10), 2);
  auto report = std::make_unique<TDeviceReport>(GetDatabaseFileName());
  TDeviceReportQuery query;
  query.DeviceID = 1;
  query.DeviceName = QStringLiteral("เตาอบ \"หนึ่ง\" & <2>");
  query.FirstTime = Day();
  query.LastTime = Day() + 1;
  ASSERT_TRUE(report->Open(query));
  const QString file = dir.Path(QStringLiteral("r.xlsx"));
  std::vector<double> progress;
  const TDeviceReport::TExportResult result =
      report->ExportXLSX(file, nullptr, [&](double AFraction) { progress.push_back(AFraction); }, 40000);
  EXPECT_EQ(result.RowsWritten, 70000);
  EXPECT_EQ(result.Sheets, 2);
  ASSERT_FALSE(progress.empty());
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_EQ(QDir(dir.Root()).entryList({QStringLiteral("r.xlsx*")}, QDir::Files), QStringList{"r.xlsx"});

  const QString out = Run(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromUtf8(kReadWorkbook), file});
  const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 1 + 2 * 7) << out.toStdString();
  EXPECT_EQ(lines[0], QStringLiteral("sheets=Report|Report 2"));
  const QString titles = QStringLiteral("titles=TERVOX REPORT|Device Name: เตาอบ \"หนึ่ง\" & <2>|") +
                         ReportRangeText(Day(), Day() + 1);
  for (int sheet = 0; sheet < 2; ++sheet) {
    const QStringList s = lines.mid(1 + sheet * 7, 7);
    SCOPED_TRACE(sheet);
    EXPECT_EQ(s[0], QStringLiteral("merged=A1:H1 A2:H2 A3:H3"));
    EXPECT_EQ(s[1], QStringLiteral("frozen=A5"));
    EXPECT_EQ(s[2], titles);
    EXPECT_EQ(s[3], QStringLiteral("headings=Read Time|PV|SV|OUT1|OUT2|EV1|EV2|EV3"));
  }
  // 40,000 rows a sheet, 4 of them at the top.
  EXPECT_EQ(lines[6], QStringLiteral("rows=39996 wrong=0"));
  EXPECT_EQ(lines[13], QStringLiteral("rows=30004 wrong=0"));
  EXPECT_EQ(lines[5], QStringLiteral("first=datetime:2026-03-14T00:00:00:dd/mm/yyyy hh:mm:ss|int:20:0.0|"
                                     "int:180:0.0|NoneType:None:General|float:12.5:0.0|str:Off:General|"
                                     "str:Off:General|str:On:General"));
  // The second sheet goes on where the first ended.
  EXPECT_TRUE(lines[12].startsWith(QStringLiteral("first=datetime:2026-03-14T11:06:36:dd/mm/yyyy hh:mm:ss|float:119.6:0.0|")))
      << lines[12].toStdString();
  // The last rows come from a controller with two decimals.
  EXPECT_EQ(lines[14], QStringLiteral("last=datetime:2026-03-14T19:26:39:dd/mm/yyyy hh:mm:ss|float:20.9:0.00|"
                                      "int:180:0.00|NoneType:None:General|float:12.5:0.00|str:On:General|"
                                      "str:Off:General|str:On:General"));
}

// A cancelled export, a folder that is not there and a disk that fills up
// half-way (a file size limit stands for it) each raise, name the file and
// leave the folder as it was: an older file of the name untouched, no
// temporary beside it.
TEST_F(DeviceReportTest, WorkbookThatCannotBeFinishedLeavesNoFile) {
  Insert(1, EverySecond(Day(), 40000));
  std::unique_ptr<TDeviceReport> report = Open(0, Day(), Day() + 1);
  const QString folder = dir.Path(QStringLiteral("out"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString file = folder + QStringLiteral("/r.xlsx");
  tervox_test::WriteFileBytes(file, "an earlier report");
  struct Case {
    const char* Name;
    QString File;
    bool Cancel;
    rlim_t SizeLimit;
    const char* Message;
  } const cases[] = {
      {"cancelled", file, true, RLIM_INFINITY, "Export cancelled"},
      {"no folder", dir.Path(QStringLiteral("no/such/r.xlsx")), false, RLIM_INFINITY, "No such file or directory"},
      {"disk full", file, false, 256 * 1024, "File too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TCancelFlag cancel{false};
    int calls = 0;
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = c.SizeLimit;
    setrlimit(RLIMIT_FSIZE, &limited);
    try {
      report->ExportXLSX(c.File, &cancel, [&](double) {
        if (c.Cancel && ++calls == 1) cancel = true;
      });
      ADD_FAILURE() << "no error";
    } catch (const EDqException& e) {
      EXPECT_TRUE(e.Message().contains(QString::fromLatin1(c.Message))) << e.Message().toStdString();
      if (!c.Cancel) {
        EXPECT_TRUE(e.Message().contains(c.File)) << e.Message().toStdString();
      }
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"r.xlsx"});
    EXPECT_EQ(tervox_test::ReadFileBytes(file), QByteArray("an earlier report"));
  }
  EXPECT_FALSE(QDir(dir.Path(QStringLiteral("no"))).exists());
}

TEST_F(DeviceReportTest, PdfHoldsTheChosenPages) {
  Insert(1, EverySecond(Day(), 100));
  std::unique_ptr<TDeviceReport> report = Open(0, Day(), Day() + 1);
  const QString file = dir.Path(QStringLiteral("r.pdf"));
  report->ExportPDF(file, *ReportSetting(), 2, 3);
  if (qEnvironmentVariableIsSet("TERVOX_KEEP_PDF")) QFile::copy(file, qEnvironmentVariable("TERVOX_KEEP_PDF"));
  const QString text = Run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), file, QStringLiteral("-")});
  EXPECT_FALSE(text.contains(QStringLiteral("Page 1 of 3")));
  EXPECT_TRUE(text.contains(QStringLiteral("Page 2 of 3")));
  EXPECT_TRUE(text.contains(QStringLiteral("Page 3 of 3")));
  EXPECT_EQ(text.count(QStringLiteral("TERVOX REPORT")), 2);
  EXPECT_TRUE(text.contains(QStringLiteral("Device Name: Oven")));
  EXPECT_TRUE(text.contains(QStringLiteral("14/03/26 - 00:01:39"))); // the last reading, page 3
  EXPECT_FALSE(text.contains(QStringLiteral("14/03/26 - 00:00:41"))); // page 1
  const QString info = Run(QStringLiteral("pdfinfo"), {file});
  EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("Pages: +2\\n")))) << info.toStdString();
  EXPECT_TRUE(info.contains(QStringLiteral("(A4)"))) << info.toStdString();
}

// Every printed sheet, of a report or of the log, says at its top whether
// the clock that stamped its times is synchronised.
TEST_F(DeviceReportTest, EverySheetSaysWhetherTheClockIsSynchronised) {
  Insert(1, EverySecond(Day(), 100));
  for (int i = 0; i < 45; ++i) AddUsageLog(QStringLiteral("Line %1").arg(i), 0, QString(), 0, 0);
  const QString report = dir.Path(QStringLiteral("r.pdf"));
  Open(0, Day(), Day() + 1)->ExportPDF(report, *ReportSetting());
  const QString log = dir.Path(QStringLiteral("log.pdf"));
  TUsageLogReport usage(GetDatabase());
  usage.Open();
  usage.ExportPDF(log, *LogSetting());
  const struct {
    QString File;
    int Pages;
  } cases[] = {{report, 3}, {log, 2}};
  for (const auto& c : cases) {
    const QString text = Run(QStringLiteral("pdftotext"), {c.File, QStringLiteral("-")});
    EXPECT_EQ(text.count(ClockStatusText()), c.Pages) << c.File.toStdString();
    EXPECT_EQ(text.count(QStringLiteral("Clock ")), c.Pages) << "one state only";
  }
}

TEST_F(DeviceReportTest, UsageLogPagesNewestFirst) {
  sqlite3* db = GetDatabase()->Handle();
  for (int i = 0; i < 45; ++i)
    sqlite3_exec(db,
                 QStringLiteral("INSERT INTO UsageLog (LogTime, Detail, DeviceName, EVStatus, PV, Digit) "
                                "VALUES (%1, 'Line %2', 'Oven', 'ON', %3, 1)")
                     .arg(Day() + i * kSecond, 0, 'g', 17)
                     .arg(i)
                     .arg(i == 0 ? QStringLiteral("''") : QStringLiteral("25.25"))
                     .toUtf8()
                     .constData(),
                 nullptr, nullptr, nullptr);
  TUsageLogReport log(GetDatabase());
  log.Open();
  EXPECT_EQ(log.PageCount(UsageLogRowsPerPage(*LogSetting())), 2);
  EXPECT_EQ(log.Rows(0, 1).front().Detail, QStringLiteral("Line 44"));
  const std::vector<TUsageLogRow> last = log.Rows(44, 44);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(TUsageLogReport::RowTexts(last.front()),
            QStringList({"14/03/26 - 00:00:00", "Line 0", "Oven", "ON", "0.0"})); // empty PV reads as 0
  EXPECT_EQ(TUsageLogReport::RowTexts(log.Rows(1, 1).front()).last(), QStringLiteral("25.2"));
}

} // namespace
