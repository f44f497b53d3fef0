#include "export/Tervox_PagedReader.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <vector>

namespace {

using tervox_test::TempDir;

constexpr int kRows = 200;
constexpr int kStride = 64;

// Rows 0..199 with Key = 10 * row, keyed every 64th row as a count keeps
// them: any page read from its key must give exactly the rows of a full scan.
class PagedReaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    db = std::make_unique<TSQLiteDatabase>(dir.Path(QStringLiteral("paged.db")));
    db->ExecSQL(QStringLiteral("CREATE TABLE R (Key real)"));
    db->InWriteTransaction([&] {
      for (int i = 0; i < kRows; ++i) db->ExecSQL(QStringLiteral("INSERT INTO R VALUES (%1)").arg(i * 10));
    });
    for (int i = 0; i < kRows; i += kStride) reader.AddKey(i * 10.0, i);
    reader.SetRecordCount(kRows);
  }

  std::vector<int> Page(std::int64_t AFirst, int ACount) {
    static const TSQLiteStatement::TErrors errors{QStringLiteral("Failed"), QString()};
    TSQLiteStatement page(errors, db->Handle(),
                          QByteArray("SELECT Key FROM R WHERE Key >= ?1 ORDER BY Key LIMIT ?4 OFFSET ?5"));
    std::vector<int> rows;
    reader.ReadPage(page, 1, AFirst, ACount,
                    [&](sqlite3_stmt* AStmt) { rows.push_back(sqlite3_column_int(AStmt, 0) / 10); });
    return rows;
  }

  TempDir dir;
  std::unique_ptr<TSQLiteDatabase> db;
  TPagedReader reader;
};

TEST_F(PagedReaderTest, APageIsTheRowsOfAFullScan) {
  // Starts on a key, just before and after one, and a page running past the end.
  for (const std::int64_t first : {0, 1, 63, 64, 65, 127, 128, 190}) {
    SCOPED_TRACE(first);
    std::vector<int> expected;
    for (std::int64_t i = first; i < std::min<std::int64_t>(first + 20, kRows); ++i) expected.push_back(static_cast<int>(i));
    EXPECT_EQ(Page(first, 20), expected);
  }
}

TEST_F(PagedReaderTest, PagesAndBatchesCoverEveryRowOnce) {
  EXPECT_EQ(reader.PageCount(30), 7);
  EXPECT_EQ(reader.PageCount(0), kRows); // at least one row a sheet
  EXPECT_EQ(TPagedReader::PageStart(3, 30), 60);
  EXPECT_EQ(TPagedReader::PageStart(0, 30), -1);
  EXPECT_FALSE(reader.Holds(-1, 10));
  EXPECT_FALSE(reader.Holds(kRows, 10));
  EXPECT_FALSE(reader.Holds(0, 0));
  EXPECT_TRUE(reader.Holds(kRows - 1, 10));

  std::vector<int> seen;
  EXPECT_TRUE(reader.ForEachBatch(64, nullptr, [&](std::int64_t AFirst, int ACount) {
    for (int row : Page(AFirst, ACount)) seen.push_back(row);
    return true;
  }));
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kRows));
  for (int i = 0; i < kRows; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);

  std::atomic<bool> cancel{true};
  EXPECT_FALSE(reader.ForEachBatch(64, &cancel, [](std::int64_t, int) { return true; }));
  reader.Clear();
  EXPECT_EQ(reader.RecordCount(), 0);
  EXPECT_EQ(reader.PageCount(30), 0);
}

} // namespace
