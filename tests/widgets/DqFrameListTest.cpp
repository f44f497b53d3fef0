#include "widgets/DqFrameList.h"
#include "core/DqRoutine.h"

#include <QPointer>

#include <gtest/gtest.h>

class TFrameAlpha : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameAlpha(QWidget* AOwner = nullptr) : TDqFrame(AOwner) {}
};

class TFrameAlphaPlus : public TFrameAlpha {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameAlphaPlus(QWidget* AOwner = nullptr) : TFrameAlpha(AOwner) {}
};

class TFrameBeta : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameBeta(QWidget* AOwner = nullptr) : TDqFrame(AOwner) {}
};

namespace {

std::string ErrorOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const EDqException& e) {
    return e.Message().toStdString();
  }
  return "no error";
}

TEST(DqFrameList, CreatesEachRegisteredFrameOnceInItsParentAtItsPlace) {
  QWidget parent;
  TDqFrameList frames(&parent, 7, 11);
  frames.AddClass<TFrameAlpha>(QStringLiteral("Alpha"));
  frames.AddClass<TFrameBeta>(QStringLiteral("Beta"));

  TDqFrame* beta = frames.SelectFrame(QStringLiteral("Beta"));
  ASSERT_NE(beta, nullptr);
  EXPECT_STREQ(beta->metaObject()->className(), "TFrameBeta");
  EXPECT_EQ(beta->parentWidget(), &parent);
  EXPECT_EQ(beta->pos(), QPoint(7, 11));
  EXPECT_EQ(frames.SelectFrame(&TFrameBeta::staticMetaObject), beta);
  EXPECT_EQ(frames.SelectFrame(1), beta);
  EXPECT_EQ(frames.Count(), 1);

  TDqFrame* alpha = frames.SelectFrame(0);
  EXPECT_EQ(frames.Count(), 2);
  EXPECT_EQ(frames.IndexOfFrame(alpha), 1);
  EXPECT_EQ(frames.IndexOfName(QStringLiteral("Beta")), 0);
  EXPECT_EQ(frames.GetFrameByName(QStringLiteral("Alpha")), alpha);
  EXPECT_EQ(frames.GetFrameByName(QStringLiteral("alpha")), nullptr); // names are case-sensitive
  EXPECT_EQ(frames.GetFrameByClass(&TFrameAlphaPlus::staticMetaObject), nullptr);
}

TEST(DqFrameList, RegistrySearchesFromTheLastEntry) {
  TFrameClassList classes;
  classes.AddClass(&TFrameAlpha::staticMetaObject, QStringLiteral("Page"));
  classes.AddClass(&TFrameBeta::staticMetaObject, QStringLiteral("Page"));
  EXPECT_EQ(classes.IndexOfName(QStringLiteral("Page")), 1);
  EXPECT_EQ(classes.GetClassByName(QStringLiteral("Page")), &TFrameBeta::staticMetaObject);
  EXPECT_EQ(classes.GetClassByName(QStringLiteral("None")), nullptr);
  EXPECT_EQ(classes.IndexOfClass(&TFrameAlpha::staticMetaObject), 0);
  EXPECT_EQ(classes.GetNames(0), QStringLiteral("Page"));
}

TEST(DqFrameList, DerivedFramesCountAsTheirBaseClass) {
  TDqFrameList frames;
  frames.AddClass<TFrameAlphaPlus>(QStringLiteral("Plus"));
  TDqFrame* plus = frames.SelectFrame(QStringLiteral("Plus"));
  EXPECT_TRUE(FrameIsClass(plus, &TFrameAlpha::staticMetaObject));
  EXPECT_FALSE(FrameIsClass(plus, &TFrameBeta::staticMetaObject));
  EXPECT_EQ(frames.GetFrameByClass(&TFrameAlpha::staticMetaObject), plus);
}

TEST(DqFrameList, MisuseRaisesTheRegistryErrors) {
  TDqFrameList frames;
  frames.AddClass<TFrameAlpha>(QStringLiteral("Alpha"));
  EXPECT_EQ(ErrorOf([&] { frames.SelectFrame(QStringLiteral("Gamma")); }), "Not defined frame class name Gamma");
  EXPECT_EQ(ErrorOf([&] { frames.SelectFrame(&TFrameBeta::staticMetaObject); }), "Not defined frame class TFrameBeta");
  EXPECT_EQ(frames.Count(), 0);
}

TEST(DqFrameList, ClearAndDestructionFreeTheFramesEvenAfterTheirParentWent) {
  QPointer<TDqFrame> kept;
  {
    TDqFrameList frames;
    frames.AddClass<TFrameAlpha>(QStringLiteral("Alpha"));
    kept = frames.SelectFrame(QStringLiteral("Alpha"));
    frames.Clear();
    EXPECT_TRUE(kept.isNull());
    kept = frames.SelectFrame(QStringLiteral("Alpha"));
  }
  EXPECT_TRUE(kept.isNull());

  auto parent = std::make_unique<QWidget>();
  TDqFrameList frames(parent.get());
  frames.AddClass<TFrameAlpha>(QStringLiteral("Alpha"));
  kept = frames.SelectFrame(QStringLiteral("Alpha"));
  parent.reset(); // takes the frame with it
  EXPECT_TRUE(kept.isNull());
  frames.Clear(); // must not free it twice
  EXPECT_EQ(frames.Count(), 0);
}

} // namespace

#include "DqFrameListTest.moc"
