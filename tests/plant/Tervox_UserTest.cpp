#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "plant/Tervox_User.h"
#include "store/Main_Database.h"

#include <gtest/gtest.h>

using tervox_test::FixedClock;
using tervox_test::TempDir;

namespace {

class TervoxUser : public ::testing::Test {
protected:
  void SetUp() override {
    FreeDatabase();
    SetDatabaseFileName(FDir.Path(QStringLiteral("Tervox.db")));
  }
  void TearDown() override { FreeDatabase(); }

  static TTervoxUser LoadUser(const QString& AName) {
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT * FROM Users WHERE Username = :Username"));
    table.SetParamValues(":Username", AName);
    table.Open();
    TTervoxUser user;
    if (!table.Eof()) user.LoadFromDB(&table);
    return user;
  }

  TempDir FDir;
};

TEST_F(TervoxUser, SeedUsersAndGroupsCarryTheirPermissions) {
  const TTervoxUser admin = LoadUser(QStringLiteral("admin"));
  EXPECT_EQ(admin.DisplayName, QStringLiteral("Administrator"));
  EXPECT_EQ(admin.PasswordLife, 12);
  EXPECT_NEAR(admin.ExpireDate, 42374.1924802662, 1e-9);
  EXPECT_EQ(admin.Group()->Name, QStringLiteral("Administrators"));

  TTervoxUserGroupList groups;
  groups.LoadFromDB();
  ASSERT_EQ(groups.Count(), 3);
  struct Row {
    const char* Name;
    bool Admin, Backup, Restore, Delete, Mode;
  } const expected[] = {{"Administrators", true, true, true, true, true},
                        {"Engineers", false, false, false, false, true},
                        {"Users", false, false, false, false, false}};
  for (int i = 0; i < 3; ++i) {
    const TTervoxUserGroup* group = groups.GetGroups(i);
    EXPECT_EQ(group->Name, QString::fromLatin1(expected[i].Name));
    EXPECT_EQ(group->CanAdmin, expected[i].Admin) << expected[i].Name;
    EXPECT_EQ(group->CanBackup, expected[i].Backup) << expected[i].Name;
    EXPECT_EQ(group->CanRestore, expected[i].Restore) << expected[i].Name;
    EXPECT_EQ(group->CanDeleteRecord, expected[i].Delete) << expected[i].Name;
    EXPECT_EQ(group->CanChangeMode, expected[i].Mode) << expected[i].Name;
  }
  EXPECT_EQ(groups.IndexOf(QStringLiteral("Engineers")), 1);
  EXPECT_EQ(groups.IndexOf(QStringLiteral("engineers")), -1);
  EXPECT_EQ(groups.GetGroupByName(QStringLiteral("Nobody")), nullptr);
}

TEST_F(TervoxUser, UserOfAMissingGroupHasNoPermissions) {
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Users (Username, Password, GroupName, DisplayName, Position) "
                                        "VALUES ('eve', 'x', 'Gone', 'Eve', '')"));
  const TTervoxUser eve = LoadUser(QStringLiteral("eve"));
  EXPECT_EQ(eve.Username, QStringLiteral("eve"));
  EXPECT_TRUE(eve.Group()->Name.isEmpty());
  EXPECT_FALSE(eve.Group()->CanAdmin || eve.Group()->CanBackup || eve.Group()->CanRestore ||
               eve.Group()->CanDeleteRecord || eve.Group()->CanChangeMode);
}

TEST_F(TervoxUser, GroupSaveInsertsThenUpdates) {
  TTervoxUserGroup group;
  group.Name = QStringLiteral("Night shift");
  group.CanBackup = true;
  group.SaveToDB();
  group.CanBackup = false;
  group.CanChangeMode = true;
  group.SaveToDB();
  TTervoxUserGroup loaded;
  loaded.LoadFromDB(QStringLiteral("Night shift"));
  EXPECT_EQ(loaded.Name, QStringLiteral("Night shift"));
  EXPECT_FALSE(loaded.CanBackup);
  EXPECT_TRUE(loaded.CanChangeMode);
  EXPECT_EQ(GetDatabase()->GetTableValue(QStringLiteral("SELECT COUNT(*) FROM UserGroup")), 4);
  EXPECT_EQ(GetDatabase()->GetTableValue(QStringLiteral("SELECT CanChangeMode FROM UserGroup WHERE Name = 'Night shift'")),
            -1);
}

TEST_F(TervoxUser, AssignCopiesAllButTheDeveloperFlagAndClearEmpties) {
  TTervoxUser source = LoadUser(QStringLiteral("admin"));
  source.Developed = true;
  source.Mobile = QStringLiteral("0812345678");
  TTervoxUser copy;
  copy.Assign(source);
  EXPECT_EQ(copy.Username, source.Username);
  EXPECT_EQ(copy.Mobile, source.Mobile);
  EXPECT_EQ(copy.Password, source.Password);
  EXPECT_EQ(copy.Group()->Name, QStringLiteral("Administrators"));
  EXPECT_TRUE(copy.Group()->CanAdmin);
  EXPECT_NE(copy.Group(), source.Group());
  EXPECT_FALSE(copy.Developed);
  copy.Clear();
  EXPECT_TRUE(copy.Username.isEmpty() && copy.Password.isEmpty() && copy.Group()->Name.isEmpty());
  EXPECT_FALSE(copy.Group()->CanAdmin);
  EXPECT_EQ(copy.PasswordLife, 0);
}

TEST_F(TervoxUser, LoginAndLogoutWriteUsageLines) {
  FixedClock clock(45000.5);
  TTervoxUser admin = LoadUser(QStringLiteral("admin"));
  admin.AddUsageLogin();
  clock.Advance(1.0 / 24);
  admin.AddUsageLogout();
  TTervoxUser nobody;
  nobody.AddUsageLogin();
  nobody.AddUsageLogout();

  auto table = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM UsageLog ORDER BY LogTime"));
  ASSERT_FALSE(table->Eof());
  EXPECT_EQ(table->FieldByName(QStringLiteral("Detail"))->AsString(), QStringLiteral("Login by Administrator (admin)"));
  EXPECT_EQ(table->FieldByName(QStringLiteral("EVStatus"))->AsString(), QStringLiteral("IN"));
  EXPECT_EQ(table->FieldByName(QStringLiteral("DeviceName"))->AsString(), QStringLiteral("-"));
  EXPECT_NEAR(table->FieldByName(QStringLiteral("LogTime"))->AsDateTime(), 45000.5, 1e-6);
  ASSERT_TRUE(table->Next());
  EXPECT_EQ(table->FieldByName(QStringLiteral("Detail"))->AsString(), QStringLiteral("Logout by Administrator (admin)"));
  EXPECT_EQ(table->FieldByName(QStringLiteral("EVStatus"))->AsString(), QStringLiteral("OUT"));
  EXPECT_FALSE(table->Next()) << "an empty user name writes nothing";
}

// The PBKDF2-SHA256 form of "9372" stored before Argon2id (20,000 rounds).
const QString kOldPbkdf2 = QStringLiteral("pbkdf2-sha256$20000$AAECAwQFBgcICQoLDA0ODw==$El1DYQwkG/KexVVIg+1kFMwTBxKMA3Rfdd2hsvGrNVk=");

TEST(TervoxPassword, HashesAndPlainStoredPasswordsAreChecked) {
  const QString hash = HashPassword(QStringLiteral("s3cret"));
  EXPECT_TRUE(hash.startsWith(QStringLiteral("$argon2id$"))) << hash.toStdString();
  EXPECT_TRUE(IsPasswordHash(hash));
  EXPECT_FALSE(hash.contains(QStringLiteral("s3cret")));
  EXPECT_NE(HashPassword(QStringLiteral("s3cret")), hash) << "each hash has its own salt";
  struct Case {
    QString Stored;
    QString Typed;
    bool Match;
  } const cases[] = {
      {hash, QStringLiteral("s3cret"), true},
      {hash, QStringLiteral("S3cret"), false},
      {hash, QString(), false},
      {QStringLiteral("9372"), QStringLiteral("9372"), true}, // plain text of older databases
      {QStringLiteral("9372"), QStringLiteral("9372 "), false},
      {QString(), QString(), true},
      {HashPassword(QString()), QString(), true},
      {kOldPbkdf2, QStringLiteral("9372"), true}, // the hash of the previous form
      {kOldPbkdf2, QStringLiteral("9373"), false},
      {QStringLiteral("$argon2id$v=19$m=65536,t=2,p=1$AAAA$AAAA"), QStringLiteral("x"), false},
      {QStringLiteral("$argon2id$") + QString(200, QLatin1Char('x')), QStringLiteral("x"), false},
      {QStringLiteral("pbkdf2-sha256$x$y"), QStringLiteral("x"), false}, // damaged hash never matches
      {QStringLiteral("pbkdf2-sha256$99999999999$AA==$AA=="), QString(), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CheckPassword(c.Stored, c.Typed), c.Match) << c.Stored.toStdString() << " / " << c.Typed.toStdString();
  EXPECT_EQ(HashedStoredPassword(hash), hash);
  EXPECT_TRUE(HashedStoredPassword(QString()).isEmpty());
  EXPECT_TRUE(CheckPassword(HashedStoredPassword(QStringLiteral("old")), QStringLiteral("old")));
  // Only today's form is kept at a login; the others are stored anew.
  EXPECT_FALSE(PasswordNeedsRehash(hash));
  EXPECT_TRUE(PasswordNeedsRehash(kOldPbkdf2));
  EXPECT_TRUE(PasswordNeedsRehash(QStringLiteral("9372")));
  EXPECT_TRUE(PasswordNeedsRehash(QStringLiteral("$argon2id$v=19$m=8,t=1,p=1$AAAAAAAAAAAAAAAAAAAAAA$AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")));
}

} // namespace
