#include "export/XLSXExport.h"
#include "TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// Every sheet's stated extent and, below the top rows, each row's cells as
// kind:value:format, read by openpyxl.
const char* const kReadRows = R"(import sys, datetime, openpyxl
for ws in openpyxl.load_workbook(sys.argv[1], read_only=True).worksheets:
    print('dimension=' + ws.calculate_dimension())
wb = openpyxl.load_workbook(sys.argv[1])
for ws in wb.worksheets:
    for row in ws.iter_rows(min_row=3):
        cells = []
        for c in row:
            v = c.value
            if isinstance(v, datetime.datetime): v = v.isoformat()
            cells.append(type(c.value).__name__ + ':' + repr(v) + ':' + c.number_format)
        print('|'.join(cells))
)";

QString ReadBack(const QString& AFile) {
  QProcess process;
  process.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromUtf8(kReadRows), AFile});
  EXPECT_TRUE(process.waitForFinished(60000));
  return QString::fromUtf8(process.readAllStandardOutput()) + QString::fromUtf8(process.readAllStandardError());
}

// The data rows' cells as an independent reader finds them: text exact
// (markup, Thai, spaces at the ends, a control character), a cell after a
// gap in its own column, numbers with their decimals as the format, a
// value the format cannot hold left empty, rows going on on a second sheet
// whose extent covers them.
TEST(XLSXWriter, DataRowsReadBackCellByCell) {
  tervox_test::TempDir dir;
  const QString file = dir.Path(QStringLiteral("cells.xlsx"));
  TXLSXLayout layout;
  layout.Titles = {QStringLiteral("Title")};
  layout.Headings = {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D")};
  TXLSXWriter writer(file, layout, 5); // 2 top rows, 3 data rows a sheet
  const double inf = std::numeric_limits<double>::infinity();
  writer.NewRow();
  writer.WriteDateTime(0, 46095.5 + 1.0 / 86400);
  writer.WriteNumber(1, 20.25, 2);
  writer.WriteText(2, QByteArray("a & b <c> \"d\""));
  writer.WriteNumber(3, -3, 0);
  writer.NewRow();
  writer.WriteText(0, QStringLiteral("เตาอบ หนึ่ง").toUtf8());
  writer.WriteNumber(2, 0.1, 1); // after a gap
  writer.NewRow();
  writer.WriteText(1, QByteArray("  spaced  "));
  writer.WriteNumber(2, std::nan(""), 1);
  writer.WriteNumber(3, inf, 1);
  writer.NewRow(); // the second sheet
  writer.WriteText(0, QByteArray("tab\there\x01"));
  writer.WriteNumber(3, 1e20, 9);
  writer.NewRow(); // a row without cells
  writer.Close();
  EXPECT_EQ(writer.SheetCount(), 2);

  const QStringList lines = ReadBack(file).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  const QStringList expected = {
      QStringLiteral("dimension=A1:D5"),
      QStringLiteral("dimension=A1:D3"),
      QStringLiteral("datetime:'2026-03-14T12:00:01':dd/mm/yyyy hh:mm:ss|float:20.25:0.00|"
                     "str:'a & b <c> \"d\"':General|int:-3:0"),
      QStringLiteral("str:'เตาอบ หนึ่ง':General|NoneType:None:General|float:0.1:0.0|NoneType:None:General"),
      QStringLiteral("NoneType:None:General|str:'  spaced  ':General|NoneType:None:General|NoneType:None:General"),
      // XML cannot carry the control character: the format's _xHHHH_
      // stands for it, which Excel shows as the character and openpyxl as is.
      QStringLiteral("str:'tab\\there_x0001_':General|NoneType:None:General|NoneType:None:General|"
                     "float:1e+20:0.000000000"),
  };
  EXPECT_EQ(lines, expected) << lines.join(QLatin1Char('\n')).toStdString();
}

// Long texts (which stay out of the shared strings and go in the cell
// itself) come back as exactly.
TEST(XLSXWriter, LongTextsReadBackExact) {
  tervox_test::TempDir dir;
  const QString file = dir.Path(QStringLiteral("long.xlsx"));
  TXLSXLayout layout;
  layout.Titles = {QStringLiteral("Title")};
  layout.Headings = {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")};
  const QString thai = QString(300, QChar(0x0E01));
  const QByteArray a(300, 'a');
  {
    TXLSXWriter writer(file, layout);
    writer.NewRow();
    writer.WriteText(0, thai.toUtf8());
    writer.WriteText(1, "  " + a + "  ");
    writer.WriteText(2, "<&>" + a + "\x02");
    writer.Close();
  }
  const QStringList lines = ReadBack(file).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  const QString as = QString::fromLatin1(a);
  const QStringList expected = {
      QStringLiteral("dimension=A1:C3"),
      QStringLiteral("str:'%1':General|str:'  %2  ':General|str:'<&>%2_x0002_':General").arg(thai, as),
  };
  EXPECT_EQ(lines, expected) << lines.join(QLatin1Char('\n')).toStdString();
}

} // namespace
