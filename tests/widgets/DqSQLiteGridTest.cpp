#include "store/DqSQLite.h"
#include "widgets/DqSQLiteGrid.h"
#include "TestSupport.h"
#include "TextCapture.h"

#include <QFontMetrics>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QFileInfo>

#include <sqlite3.h>

#include <gtest/gtest.h>

using tervox_test::TempDir;
using tervox_test::TextCapture;

namespace {

class DqSQLiteGrid : public ::testing::Test {
protected:
  void SetUp() override {
    FDatabase = std::make_unique<TSQLiteDatabase>(FDir.Path(QStringLiteral("grid.db")));
    FDatabase->ExecSQL(QStringLiteral("CREATE TABLE Port (ID INTEGER, Name TEXT, StopBits INTEGER, "
                                      "Enabled BOOLEAN, Rate FLOAT, Seen DATETIME)"));
    FDatabase->ExecSQL(QStringLiteral("INSERT INTO Port VALUES (1, 'Line A', 1, -1, 2.5, 42374.1924802662)"));
    FDatabase->ExecSQL(QStringLiteral("INSERT INTO Port VALUES (2, 'Line B', 2, 0, NULL, NULL)"));
    FDatabase->ExecSQL(QStringLiteral("INSERT INTO Port VALUES (3, 'Line C', 7, 0, 1e20, NULL)"));
  }

  std::unique_ptr<TSQLiteTable> OpenPorts(const QString& AWhere = QString()) {
    auto table = std::make_unique<TSQLiteTable>(FDatabase.get());
    table->SetSQL(QStringLiteral("SELECT * FROM Port ") + AWhere + QStringLiteral(" ORDER BY ID"));
    table->Open();
    table->ColumnDefs().AddColumn(QStringLiteral("ID"), 40);
    table->ColumnDefs().AddColumn(QStringLiteral("DisplayName"), QStringLiteral("Name"), 100);
    table->ColumnDefs().AddColumn(QStringLiteral("StopBits"), 64)->DisplayValues =
        QStringList{QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
    table->ColumnDefs().AddColumn(QStringLiteral("Enabled"), 64)->DisplayValues =
        QStringList{QStringLiteral("-"), QStringLiteral("Y")};
    table->ColumnDefs().AddColumn(QStringLiteral("Rate"), 80);
    table->ColumnDefs().AddColumn(QStringLiteral("Seen"), 160);
    return table;
  }

  // What each cell of the grid shows, row by row.
  static std::vector<QStringList> Shown(TDqDrawGrid& AGrid, std::vector<std::vector<bool>>* ABold = nullptr) {
    TextCapture capture(AGrid.viewport()->size());
    AGrid.viewport()->render(&capture);
    std::vector<QStringList> rows;
    for (int row = 0; row < AGrid.RowCount(); ++row) {
      QStringList cells;
      std::vector<bool> bold;
      for (int col = 0; col < AGrid.ColCount(); ++col) {
        QString text;
        for (const auto& item : capture.Texts)
          if (AGrid.CellRect(col, row).contains(item.Pos.toPoint())) {
            text += item.Text;
            bold.push_back(item.Bold);
          }
        cells << text;
      }
      rows.push_back(cells);
      if (ABold) ABold->push_back(bold);
    }
    return rows;
  }

  TempDir FDir;
  std::unique_ptr<TSQLiteDatabase> FDatabase;
};

TEST_F(DqSQLiteGrid, BoundGridShowsHeaderAndFormattedCells) {
  TDqDrawGrid grid;
  grid.resize(700, 200);
  auto table = OpenPorts();
  table->AddControl(&grid);

  EXPECT_EQ(grid.RowCount(), 4);
  EXPECT_EQ(grid.ColCount(), 6);
  EXPECT_EQ(grid.ColWidths(1), 100);
  std::vector<std::vector<bool>> bold;
  const std::vector<QStringList> shown = Shown(grid, &bold);
  const std::vector<QStringList> expected = {
      {"ID", "DisplayName", "StopBits", "Enabled", "Rate", "Seen"},
      {"1", "Line A", "1.5", "Y", "2.5", "05/01/2016 - 04:37:10"},
      {"2", "Line B", "2", "-", "", ""},
      {"3", "Line C", "7", "-", "1E20", ""},
  };
  ASSERT_EQ(shown.size(), expected.size());
  for (std::size_t row = 0; row < expected.size(); ++row) EXPECT_EQ(shown[row], expected[row]) << "row " << row;
  for (bool isBold : bold[0]) EXPECT_TRUE(isBold);
  for (bool isBold : bold[1]) EXPECT_FALSE(isBold);
  EXPECT_EQ(table->RecNo(), 0) << "painting must leave the cursor where it was";
}

TEST_F(DqSQLiteGrid, CellTextIsCentredFourPixelsBelowTheTop) {
  TDqDrawGrid grid;
  grid.resize(700, 200);
  auto table = OpenPorts();
  table->AddControl(&grid);
  TextCapture capture(grid.viewport()->size());
  grid.viewport()->render(&capture);
  const QRect cell = grid.CellRect(1, 2);
  const QFontMetrics metrics(grid.font());
  for (const auto& item : capture.Texts) {
    if (item.Text != QLatin1String("Line B")) continue;
    EXPECT_NEAR(item.Pos.x(), cell.left() + (cell.width() - metrics.horizontalAdvance(item.Text)) / 2, 1.0);
    EXPECT_NEAR(item.Pos.y(), cell.top() + 4 + metrics.ascent(), 1.0);
    return;
  }
  FAIL() << "Line B was not drawn";
}

TEST_F(DqSQLiteGrid, EmptyResultShowsHeaderAndOneEmptyRow) {
  TDqDrawGrid grid;
  grid.resize(700, 200);
  auto table = OpenPorts(QStringLiteral("WHERE ID > 100"));
  table->AddControl(&grid);
  EXPECT_EQ(grid.RowCount(), 2);
  const std::vector<QStringList> shown = Shown(grid);
  EXPECT_EQ(shown[0].first(), QStringLiteral("ID"));
  EXPECT_TRUE(shown[1].join(QString()).isEmpty());
}

TEST_F(DqSQLiteGrid, OwnDrawingHandlerIsKeptAndUnbindingRemovesOnlyTheBindings) {
  TDqDrawGrid own;
  bool ownCalled = false;
  own.SetOnDrawCell([&](TDqDrawGrid*, QPainter&, int, int, const QRect&, TGridDrawState) { ownCalled = true; });
  TDqDrawGrid plain;
  {
    auto table = OpenPorts();
    table->AddControl(&own);
    table->AddControl(&plain);
    EXPECT_EQ(own.RowCount(), 4);
    EXPECT_TRUE(static_cast<bool>(plain.OnDrawCell()));
  } // the cursor goes first
  EXPECT_TRUE(static_cast<bool>(own.OnDrawCell()));
  EXPECT_FALSE(static_cast<bool>(plain.OnDrawCell()));
  own.grab();
  EXPECT_TRUE(ownCalled);

  auto table = OpenPorts();
  {
    TDqDrawGrid shortLived;
    table->AddControl(&shortLived);
    EXPECT_EQ(table->Controls().size(), 1u);
  } // the grid goes first
  EXPECT_TRUE(table->Controls().empty());
}

TEST_F(DqSQLiteGrid, MouseAndKeysSelectARangeOfRows) {
  TDqDrawGrid grid;
  grid.SetRangeSelect(true);
  grid.resize(700, 200);
  auto table = OpenPorts();
  table->AddControl(&grid);
  grid.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));

  QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.CellRect(0, 1).center());
  EXPECT_EQ(grid.Row(), 1);
  QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::ShiftModifier, grid.CellRect(2, 3).center());
  EXPECT_EQ(grid.Selection().Top, 1);
  EXPECT_EQ(grid.Selection().Bottom, 3);
  QTest::keyClick(&grid, Qt::Key_Up);
  EXPECT_EQ(grid.Selection().Top, 2);
  EXPECT_EQ(grid.Selection().Bottom, 2);
  QTest::keyClick(&grid, Qt::Key_Up, Qt::ShiftModifier);
  EXPECT_EQ(grid.Selection().Top, 1);
  EXPECT_EQ(grid.Selection().Bottom, 2);
  QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.CellRect(1, 0).center()); // header row
  EXPECT_EQ(grid.Row(), 1);

  bool doubleClicked = false;
  QObject::connect(&grid, &TDqDrawGrid::DblClick, [&] { doubleClicked = true; });
  QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, grid.CellRect(0, 3).center());
  EXPECT_TRUE(doubleClicked);
  EXPECT_EQ(grid.Row(), 3);
}

TEST_F(DqSQLiteGrid, ManyRowsScrollUnderAFixedHeader) {
  for (int i = 10; i < 60; ++i)
    FDatabase->ExecSQL(QStringLiteral("INSERT INTO Port VALUES (%1, 'Line %1', 0, 0, 0, NULL)").arg(i));
  TDqDrawGrid grid;
  grid.resize(700, 200);
  auto table = OpenPorts();
  table->AddControl(&grid);
  grid.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
  QTest::keyClick(&grid, Qt::Key_End);
  EXPECT_EQ(grid.Row(), 53);
  const std::vector<QStringList> shown = Shown(grid);
  EXPECT_EQ(shown[0].first(), QStringLiteral("ID")) << "the header stays";
  EXPECT_EQ(shown[53][1], QStringLiteral("Line 59"));
  EXPECT_TRUE(shown[1].join(QString()).isEmpty()) << "row 1 scrolled away";
}

// A bound grid reads the rows it shows and leaves its statement reset: a
// statement left on a row holds a read snapshot on the shared connection,
// and in write-ahead-log mode no checkpoint can then complete, so the log
// grows with every reading for as long as the page exists.
TEST_F(DqSQLiteGrid, BoundGridHoldsNoSnapshotSoTheLogStaysSmall) {
  FDatabase->GetTable(QStringLiteral("PRAGMA journal_mode = WAL"));
  FDatabase->SetSynchronized(false); // the log fills the same without waiting for the disk
  FDatabase->ExecSQL(QStringLiteral("CREATE TABLE Reading (ID INTEGER PRIMARY KEY, PV FLOAT, Note TEXT)"));
  TDqDrawGrid grid;
  grid.resize(700, 200);
  auto table = OpenPorts();
  table->AddControl(&grid);
  Shown(grid);
  EXPECT_EQ(sqlite3_stmt_busy(table->Stmt()), 0) << "the statement stays on a row";
  const QString wal = FDir.Path(QStringLiteral("grid.db-wal"));
  qint64 largest = 0;
  TSQLiteParamList params;
  for (int i = 0; i < 3000; ++i) {
    params.SetParamValues(":PV", 20.0 + i % 7);
    params.SetParamValues(":Note", QString(200, QLatin1Char('x')));
    FDatabase->ExecSQL(QStringLiteral("INSERT INTO Reading (PV, Note) VALUES (:PV, :Note)"), &params);
    if (i % 100 == 0) {
      Shown(grid); // the page repaints while readings arrive
      largest = std::max(largest, QFileInfo(wal).size());
    }
  }
  EXPECT_EQ(Shown(grid)[3][1], QStringLiteral("Line C"));
  EXPECT_EQ(sqlite3_stmt_busy(table->Stmt()), 0) << "the statement stays on a row";
  // SQLite checkpoints every 1000 pages when no reader pins the log.
  EXPECT_LT(largest, 6 * 1024 * 1024) << "the log grew to " << largest << " bytes";
  int logPages = -1;
  int copied = -1;
  EXPECT_EQ(sqlite3_wal_checkpoint_v2(FDatabase->Handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logPages, &copied),
            SQLITE_OK);
  EXPECT_EQ(QFileInfo(wal).size(), 0);
}

// Painting the cells at the bottom of a long list reads those rows, not the
// whole list again for every cell.
TEST_F(DqSQLiteGrid, RepaintReadsOnlyTheRowsShown) {
  FDatabase->ExecSQL(QStringLiteral("BEGIN"));
  for (int i = 10; i < 3000; ++i)
    FDatabase->ExecSQL(QStringLiteral("INSERT INTO Port VALUES (%1, 'Line %1', 0, 0, 0, NULL)").arg(i));
  FDatabase->ExecSQL(QStringLiteral("COMMIT"));
  TDqDrawGrid grid;
  grid.resize(700, 200);
  auto table = OpenPorts();
  table->AddControl(&grid);
  grid.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
  QTest::keyClick(&grid, Qt::Key_End);
  auto steps = [&] { return sqlite3_stmt_status(table->Stmt(), SQLITE_STMTSTATUS_VM_STEP, 0); };
  int before = steps();
  std::vector<QStringList> shown = Shown(grid);
  EXPECT_EQ(shown[grid.RowCount() - 1][1], QStringLiteral("Line 2999"));
  // Reaching the bottom reads forward to it once; not once per cell.
  const int perRow = (steps() - before) / 3000;
  EXPECT_LT(steps() - before, 100 * 3000) << perRow << " steps per row";
  before = steps();
  shown = Shown(grid);
  EXPECT_EQ(shown[grid.RowCount() - 2][1], QStringLiteral("Line 2998"));
  EXPECT_EQ(steps() - before, 0) << "a repaint of the same rows reads nothing again";
  EXPECT_EQ(sqlite3_stmt_busy(table->Stmt()), 0) << "the statement stays on a row";
}

TEST_F(DqSQLiteGrid, BoundListBoxShowsColumnsSideBySide) {
  TDqListBox list;
  list.resize(700, 200);
  auto table = OpenPorts();
  table->AddControl(&list);
  EXPECT_EQ(list.Count(), 3);
  TextCapture capture(list.viewport()->size());
  list.viewport()->render(&capture);
  const QRect item = list.ItemRect(2);
  EXPECT_EQ(capture.TextsIn(item.adjusted(0, 0, -(item.width() - 40 - 100), 0)),
            (QStringList{QStringLiteral("3"), QStringLiteral("Line C")}));
  QStringList all = capture.TextsIn(item);
  EXPECT_EQ(all.size(), 5) << all.join(QLatin1Char(',')).toStdString(); // Seen is null

  table.reset();
  EXPECT_FALSE(static_cast<bool>(list.OnDrawItem()));
}

} // namespace
