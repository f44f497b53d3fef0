#include "ui/dialogs/Form_Options.h"
#include "ui/dialogs/Frame_OptionGeneral.h"
#include "ui/dialogs/Frame_OptionPort.h"
#include "ui/dialogs/Frame_OptionUsers.h"
#include "ui/UiTestSupport.h"

#include <QTreeWidget>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

QStringList TreeTexts(QTreeWidget* ATree) {
  QStringList texts;
  for (int i = 0; i < ATree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = ATree->topLevelItem(i);
    texts << top->text(0);
    for (int k = 0; k < top->childCount(); ++k) texts << QStringLiteral("  ") + top->child(k)->text(0);
  }
  return texts;
}

void ClickNode(QTreeWidget* ATree, const QString& AText) {
  const auto items = ATree->findItems(AText, Qt::MatchExactly | Qt::MatchRecursive);
  ASSERT_EQ(items.size(), 1) << AText.toStdString();
  const QRect rect = ATree->visualItemRect(items.first());
  QTest::mouseClick(ATree->viewport(), Qt::LeftButton, {}, rect.center());
}

TEST(FormOptions, TreeOffersAdminPagesOnlyToAdministrators) {
  TestDatabase database;
  struct Case {
    bool CanAdmin;
    QStringList Tree;
  } const cases[] = {
      {false, {"User", "  General"}},
      {true, {"User", "  General", "Admin", "  Port", "  SMS", "  MQTT", "  Group", "  Users", "  Database"}},
  };
  for (const Case& c : cases) {
    CurrentUser()->Group()->CanAdmin = c.CanAdmin;
    TFormOptions options;
    EXPECT_EQ(options.windowTitle(), QStringLiteral("Options"));
    EXPECT_EQ(TreeTexts(options.TreeOptions()), c.Tree);
    EXPECT_EQ(options.ActivePageName(), QStringLiteral("General"));
    EXPECT_EQ(options.TreeOptions()->currentItem()->text(0), QStringLiteral("General"));
    EXPECT_NE(options.findChild<TFrameOptionGeneral*>(), nullptr);
    EXPECT_EQ(options.findChild<TFrameOptionUsers*>(), nullptr) << "pages are made on first selection";
  }
  CurrentUser()->Clear();
}

TEST(FormOptions, ClickingBranchesShowsTheirFirstPage) {
  TestDatabase database;
  CurrentUser()->Group()->CanAdmin = true;
  TFormOptions options;
  options.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&options));
  QTreeWidget* tree = options.TreeOptions();

  ClickNode(tree, QStringLiteral("Admin"));
  EXPECT_EQ(options.ActivePageName(), QStringLiteral("Port"));
  EXPECT_EQ(tree->currentItem()->text(0), QStringLiteral("Port"));
  auto* port = options.findChild<TFrameOptionPort*>();
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(port->isVisible());
  EXPECT_EQ(port->parentWidget()->objectName(), QStringLiteral("TabPort"));

  ClickNode(tree, QStringLiteral("Users"));
  auto* users = options.findChild<TFrameOptionUsers*>();
  ASSERT_NE(users, nullptr);
  EXPECT_TRUE(users->isVisible());
  EXPECT_EQ(users->parentWidget()->objectName(), QStringLiteral("TabUsers"));

  const QString shots = qEnvironmentVariable("TERVOX_SCREENSHOT_DIR");
  if (!shots.isEmpty()) options.grab().save(shots + QStringLiteral("/options.png"));

  ClickNode(tree, QStringLiteral("User"));
  EXPECT_EQ(options.ActivePageName(), QStringLiteral("General"));
  ClickNode(tree, QStringLiteral("Users"));
  EXPECT_EQ(options.findChild<TFrameOptionUsers*>(), users) << "a page is made once per window";
  CurrentUser()->Clear();
}

} // namespace
