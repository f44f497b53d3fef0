// The About window: its picture, shape, texts, closing by a click, and the
// main window's About action.
#include "TervoxVersion.h"
#include "ui/dialogs/Form_About.h"
#include "ui/shell/Form_Main.h"
#include "ui/UiTestSupport.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

TEST(FormAbout, RoundedPictureWithVersionAndNotice) {
  TestDatabase database;
  TFormAbout about;
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About TERVOX"));
  EXPECT_TRUE(about.windowFlags() & Qt::FramelessWindowHint);
  const QPixmap picture = about.ImageAbout()->pixmap();
  ASSERT_EQ(picture.size(), QSize(500, 350));
  EXPECT_EQ(picture.toImage(), QImage(QStringLiteral(":/PNG/ABOUT.png")).convertToFormat(picture.toImage().format()));
  EXPECT_EQ(about.size(), QSize(500, 350));
  EXPECT_EQ(about.ImageAbout()->geometry(), QRect(0, 0, 500, 350));

  // Rounded corners of 40 x 40 ellipses on (0, 0) - (499, 349).
  const QRegion shape = about.mask();
  const struct {
    QPoint Point;
    bool Inside;
  } points[] = {{{250, 175}, true}, {{250, 1}, true},    {{1, 175}, true},     {{497, 175}, true},
                {{1, 1}, false},    {{4, 4}, false},     {{497, 2}, false},    {{2, 347}, false},
                {{496, 346}, false}, {{499, 175}, false}, {{20, 20}, true},     {{479, 329}, true}};
  for (const auto& p : points)
    EXPECT_EQ(shape.contains(p.Point), p.Inside) << p.Point.x() << "," << p.Point.y();

  // The build's version, from the project's own: not a copy of it here.
  EXPECT_STRNE(kTervoxVersion, "");
  EXPECT_EQ(about.LabelVersion()->text(), QStringLiteral("Version: %1").arg(QLatin1String(kTervoxVersion)));
  EXPECT_TRUE(about.LabelVersion()->alignment() & Qt::AlignRight);
  const QRect version = about.LabelVersion()->geometry();
  EXPECT_GT(version.right(), 400);
  EXPECT_LT(version.bottom(), 50);
  EXPECT_TRUE(about.LabelVersion()->isVisible());

  QPlainTextEdit* notice = about.MemoNotice();
  EXPECT_TRUE(notice->isReadOnly());
  EXPECT_FALSE(notice->isEnabled());
  EXPECT_FALSE(notice->toPlainText().isEmpty());
  EXPECT_LE((notice->mapTo(&about, notice->rect().center()) - QPoint(250, 175)).manhattanLength(), 2);

  const QString shots = qEnvironmentVariable("TERVOX_SCREENSHOT_DIR");
  if (!shots.isEmpty()) about.grab().save(QDir(shots).filePath(QStringLiteral("about.png")));
}

TEST(FormAbout, AClickOnThePictureCloses) {
  TestDatabase database;
  const QPoint places[] = {{60, 300}, {250, 175}}; // the bare picture, and the disabled notice on it
  for (const QPoint& place : places) {
    TFormAbout about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    QWidget* target = about.childAt(place);
    ASSERT_NE(target, nullptr);
    QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&about, place));
    EXPECT_FALSE(about.isVisible()) << place.x() << "," << place.y();
  }
}

TEST(FormAbout, TheMainWindowShowsItModally) {
  TestDatabase database;
  TFormMain form;
  auto* action = form.findChild<QAction*>(QStringLiteral("ActionAbout"));
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(action->text(), QStringLiteral("&About"));
  EXPECT_TRUE(action->isEnabled());
  bool modal = false;
  ModalAnswers answers;
  answers.Then([&](QWidget* ADialog) {
    auto* about = qobject_cast<TFormAbout*>(ADialog);
    ASSERT_NE(about, nullptr);
    modal = about->isModal();
    QTest::mouseClick(about->ImageAbout(), Qt::LeftButton, {}, QPoint(40, 300));
  });
  action->trigger();
  EXPECT_TRUE(modal);
  EXPECT_EQ(answers.Texts, QStringList{QStringLiteral("About TERVOX")});
  form.close();
}

} // namespace
