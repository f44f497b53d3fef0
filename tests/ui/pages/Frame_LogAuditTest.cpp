// The Log page's audit trail: filtered by period, user and controller,
// drawn as pages and exported.
#include "export/Tervox_AuditReport.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "trust/Tervox_Audit.h"
#include "ui/pages/Frame_Log.h"
#include "ui/UiTestSupport.h"
#include "widgets/DqPageView.h"
#include "widgets/TextCapture.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFile>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

void Add(const QString& AUser, std::int64_t ADevice, const QString& AAction) {
  TervoxAudit::Append({AUser, TervoxAudit::kController, ADevice ? QStringLiteral("Oven") : QString(), ADevice, AAction,
                       {{QStringLiteral("FIX-SV1 (register 768)"), QStringLiteral("100.0"), QStringLiteral("120.5")}},
                       QString()});
}

TEST(FrameLogAudit, FiltersByPeriodUserAndControllerAndExports) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, Enabled) VALUES (3, 'Oven', 0), (4, 'Kiln', 0)"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO Users (Username, DisplayName, GroupName, Password) VALUES "
                                    "('op1', 'Op', 'Users', 'x')"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  tervox_test::FixedClock clock(EncodeDateTime(2026, 12, 1, 8, 0));
  Add(QStringLiteral("op1"), 3, QStringLiteral("settings written (WriteFix)"));
  clock.Set(EncodeDateTime(2026, 12, 5, 8, 0));
  Add(QStringLiteral("admin"), 4, QStringLiteral("settings written (WriteMode1)"));
  Add(QStringLiteral("op1"), 0, QStringLiteral("login"));
  clock.Set(EncodeDateTime(2026, 12, 6, 8, 0));

  TFrameLog page;
  page.resize(1000, 700);
  page.show();
  page.ComboShow()->setCurrentIndex(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !page.Counting(); }, 20000));
  ASSERT_TRUE(page.AuditReport());
  EXPECT_EQ(page.AuditReport()->RecordCount(), 3);
  // Newest first, as the usage log.
  EXPECT_EQ(page.AuditReport()->Entries().front().Entry.Action, QStringLiteral("login"));
  tervox_test::TextCapture capture(page.PageView()->PaintBox()->size());
  page.PageView()->PaintBox()->render(&capture);
  const QStringList texts = capture.TextsIn(QRect(QPoint(0, 0), page.PageView()->PaintBox()->size()));
  EXPECT_TRUE(texts.contains(QStringLiteral("settings written (WriteFix)"))) << texts.join('|').toStdString();

  struct TCase {
    int UserIndex; // in the combo: 0 all
    QString Device;
    QDate From;
    int Expected;
  };
  const TCase cases[] = {
      {0, QStringLiteral("Oven"), QDate(2026, 11, 1), 1},
      {0, QStringLiteral("(all)"), QDate(2026, 12, 2), 2},
      {-1, QStringLiteral("(all)"), QDate(2026, 11, 1), 2}, // op1
  };
  for (const TCase& c : cases) {
    page.DateFrom()->setDate(c.From);
    page.ComboUser()->setCurrentIndex(c.UserIndex >= 0 ? c.UserIndex : page.ComboUser()->findText(QStringLiteral("op1")));
    page.ComboDevice()->setCurrentIndex(page.ComboDevice()->findText(c.Device));
    page.LoadLog();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !page.Counting(); }, 20000));
    EXPECT_EQ(page.AuditReport()->RecordCount(), c.Expected) << c.Device.toStdString();
  }

  tervox_test::TempDir dir;
  const QString csv = dir.Path(QStringLiteral("audit.csv"));
  EXPECT_EQ(page.ExportAuditTrail(csv), 2);
  const QList<QByteArray> lines = tervox_test::ReadFileBytes(csv).split('\n');
  ASSERT_GE(lines.size(), 3);
  EXPECT_TRUE(lines[0].startsWith("Time,User,Target,Action,Changes,Reason,UTC Time,Station,Entry,Hash"));
  EXPECT_TRUE(lines[1].contains("FIX-SV1 (register 768): 100.0 \xe2\x86\x92 120.5")) << lines[1].toStdString();
  const QString xlsx = dir.Path(QStringLiteral("audit.xlsx"));
  EXPECT_EQ(page.ExportAuditTrail(xlsx), 2);
  EXPECT_TRUE(tervox_test::ReadFileBytes(xlsx).startsWith("PK"));
  const QString pdf = dir.Path(QStringLiteral("audit.pdf"));
  page.ExportAuditTrail(pdf);
  EXPECT_TRUE(tervox_test::ReadFileBytes(pdf).startsWith("%PDF"));
}

} // namespace
