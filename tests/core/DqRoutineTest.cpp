#include "core/DqRoutine.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct LocaleGuard {
  explicit LocaleGuard(const QLocale& ALocale) { SetUserLocale(ALocale); }
  ~LocaleGuard() { SetUserLocale(QLocale::c()); }
};

TEST(FloatFormat, GeneralFormatWith15Digits) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {1.0, "1"},
      {-2.5, "-2.5"},
      {100.0, "100"},
      {42374.1924802662, "42374.1924802662"},
      {0.1, "0.1"},
      {0.00001, "0.00001"},
      {0.000001, "1E-6"},
      {-0.0000015, "-1.5E-6"},
      {1.5e20, "1.5E20"},
      {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"},
      {1.0 / 3.0, "0.333333333333333"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FloatToStrGeneral(c.value, 15, QLatin1Char('.')), QString::fromLatin1(c.text)) << c.text;
}

TEST(FloatFormat, ExactFormWidensOnlyWhenNeeded) {
  // 15 digits reproduce these: the text stays the 15-digit form.
  EXPECT_EQ(FloatToStrExact(42374.1924802662), QStringLiteral("42374.1924802662"));
  EXPECT_EQ(FloatToStrExact(0.1), QStringLiteral("0.1"));
  // These need more digits to come back exactly.
  for (double value : {1.0 / 3.0, 0.1 + 0.2, 45000.123456789012, 1234567890123456.0, 2.0 / 3.0 * 1e-9}) {
    bool ok = false;
    EXPECT_EQ(QLocale::c().toDouble(FloatToStrExact(value), &ok), value) << FloatToStrExact(value).toStdString();
    EXPECT_TRUE(ok);
  }
}

TEST(FloatFormat, UserLocaleDecidesTheSeparator) {
  LocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(FloatToStrLocale(2.5), QStringLiteral("2,5"));
  double value = 0;
  EXPECT_TRUE(TryStrToFloatLocale(QStringLiteral("2,5"), value));
  EXPECT_EQ(value, 2.5);
  EXPECT_FALSE(TryStrToFloatLocale(QStringLiteral("2.5"), value));
}

TEST(VariantConversions, TableOfKindsAndDefaults) {
  const TVariant null = TVariant::Null();
  EXPECT_EQ(VarAsInt(null, 7), 7);
  EXPECT_EQ(VarAsInt(TVariant(), 7), 7);
  EXPECT_EQ(VarAsInt(TVariant(true)), -1);
  EXPECT_EQ(VarAsInt(TVariant(2.5)), 2); // ties to even
  EXPECT_EQ(VarAsInt(TVariant(3.5)), 4);
  EXPECT_EQ(VarAsInt(TVariant("42")), 42);
  EXPECT_EQ(VarAsInt(TVariant("4x"), 9), 9);
  EXPECT_EQ(VarAsInt(TVariant("99999999999"), 9), 9);

  EXPECT_EQ(VarAsFloat(null, 1.5), 1.5);
  EXPECT_EQ(VarAsFloat(TVariant(3)), 3.0);
  EXPECT_EQ(VarAsFloat(TVariant::FromDateTime(42374.5)), 42374.5);
  EXPECT_EQ(VarAsFloat(TVariant("1.25")), 1.25);
  EXPECT_EQ(VarAsFloat(TVariant("abc"), -1.0), -1.0);

  EXPECT_TRUE(VarAsBool(TVariant(5)));
  EXPECT_FALSE(VarAsBool(TVariant(0), true));
  EXPECT_TRUE(VarAsBool(TVariant("TRUE")));
  EXPECT_FALSE(VarAsBool(TVariant("false"), true));
  EXPECT_TRUE(VarAsBool(TVariant("1")));
  EXPECT_TRUE(VarAsBool(TVariant("abc"), true));
  EXPECT_FALSE(VarAsBool(null));

  EXPECT_EQ(VarAsText(null, QStringLiteral("-")), QStringLiteral("-"));
  EXPECT_EQ(VarAsText(TVariant(12)), QStringLiteral("12"));
  EXPECT_EQ(VarAsText(TVariant(false)), QStringLiteral("False"));
  EXPECT_EQ(VarAsText(TVariant(0.5)), QStringLiteral("0.5"));

  EXPECT_EQ(IfThenVar(true, TVariant(1), TVariant("a")), TVariant(1));
  EXPECT_EQ(IfThenVar(false, TVariant(1), TVariant("a")), TVariant("a"));
}

TEST(VariantConversions, DateTimeStaysDistinctFromFloat) {
  const TVariant dt = TVariant::FromDateTime(42374.5);
  EXPECT_EQ(dt.Kind(), TVarKind::DateTime);
  EXPECT_NE(dt, TVariant(42374.5));
  // Text form and parse agree with each other under the user's locale.
  double back = 0;
  ASSERT_TRUE(TryStrToDateTimeLocale(VarAsText(dt), back));
  EXPECT_DOUBLE_EQ(back, 42374.5);
  EXPECT_EQ(VarAsDateTime(TVariant("not a date"), 3.0), 3.0);
}

TEST(DateTime, DayCountsAndLocalTime) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDateTime(2016, 1, 5), 42374.0);
  const QDateTime dt = DateTimeToQDateTime(42374.1924802662);
  EXPECT_EQ(dt.date(), QDate(2016, 1, 5));
  EXPECT_EQ(dt.time().toString(QStringLiteral("HH:mm:ss")), QStringLiteral("04:37:10"));
  EXPECT_EQ(DateTimeToDisplayText(42374.1924802662), QStringLiteral("05/01/2016 - 04:37:10"));
  // Before day zero the fraction still counts forward from midnight.
  const QDateTime before = DateTimeToQDateTime(-1.25);
  EXPECT_EQ(before.date(), QDate(1899, 12, 29));
  EXPECT_EQ(before.time(), QTime(6, 0));
  EXPECT_EQ(DateTimeFromQDateTime(before), -1.25);
  // A fraction that rounds to a whole day moves to the next date.
  EXPECT_EQ(DateTimeToQDateTime(1.0 - 1e-10).date(), QDate(1899, 12, 31));
}

TEST(DateTime, ClockCanBeReplaced) {
  SetClock([] { return 45000.25; });
  EXPECT_EQ(Now(), 45000.25);
  SetClock({});
  const double now = Now();
  EXPECT_NEAR(now, DateTimeFromQDateTime(QDateTime::currentDateTime()), 1.0 / 86400.0);
}

TEST(DateTime, BuddhistEraText) {
  EXPECT_DOUBLE_EQ(ParseDateTimeText(QStringLiteral("05/01/2559 13:45:10.5")),
                   EncodeDateTime(2016, 1, 5, 13, 45, 10, 5));
  EXPECT_DOUBLE_EQ(ParseDateTimeText(QStringLiteral("05/01/59 13:45")), EncodeDateTime(2016, 1, 5, 13, 45));
  EXPECT_DOUBLE_EQ(ParseDateTimeText(QStringLiteral("31/12/2560")), EncodeDateTime(2017, 12, 31));
  EXPECT_EQ(ParseDateTimeText(QStringLiteral("32/13/2560")), 0.0);
}

TEST(TextRoutines, SmallHelpers) {
  EXPECT_EQ(DivFloor(7, 2), 3);
  EXPECT_EQ(DivFloor(-7, 2), -4);
  EXPECT_EQ(DivFloor(7, -2), -4);
  EXPECT_EQ(DivFloor(-8, 2), -4);
  EXPECT_EQ(DivFloor(5, 0), 0);

  QString text = QStringLiteral("a;b;c");
  EXPECT_EQ(CutToken(QStringLiteral(";"), text), QStringLiteral("a"));
  EXPECT_EQ(text, QStringLiteral("b;c"));
  EXPECT_EQ(CutToken(QStringLiteral("|"), text), QStringLiteral("b;c"));
  EXPECT_TRUE(text.isEmpty());

  EXPECT_EQ(ByteToHex(0x0A), QStringLiteral("0A"));
  EXPECT_EQ(ByteToHex(0x1FF), QStringLiteral("FF"));
  EXPECT_TRUE(TextStartsWith(QStringLiteral("pinsert (1);"), QStringLiteral("PINSERT ")));
  EXPECT_FALSE(TextStartsWith(QStringLiteral("PINSERT"), QStringLiteral("PINSERT ")));

  bool flag = false;
  EXPECT_TRUE(TryStrToBool(QStringLiteral("True"), flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(TryStrToBool(QStringLiteral("yes"), flag));
}

} // namespace

namespace {

// The program finds its data beside itself in a build tree and in
// ../share/tervox wherever an installed tree was put, never in the folder
// it was built in.
TEST(ProgramDataFile, FoundBesideTheProgramOrInItsInstalledTree) {
  tervox_test::TempDir dir;
  const QString relative = QStringLiteral("Sound/Alarm.mp3");
  const struct {
    const char* name;
    const char* program;
    const char* present; // the file made, or nullptr
    const char* found;
  } cases[] = {
      {"build tree", "build/bin", "build/bin/Sound/Alarm.mp3", "build/bin/Sound/Alarm.mp3"},
      {"installed under any prefix", "opt/x/bin", "opt/x/share/tervox/Sound/Alarm.mp3", "opt/x/share/tervox/Sound/Alarm.mp3"},
      {"missing: the place beside the program", "none/bin", nullptr, "none/bin/Sound/Alarm.mp3"},
  };
  for (const auto& c : cases) {
    if (c.present) {
      const QString file = dir.Path(QString::fromLatin1(c.present));
      QDir().mkpath(QFileInfo(file).absolutePath());
      tervox_test::WriteFileBytes(file, "ID3");
    }
    EXPECT_EQ(ProgramDataFile(relative, dir.Path(QString::fromLatin1(c.program))), dir.Path(QString::fromLatin1(c.found)))
        << c.name;
  }
}

} // namespace
