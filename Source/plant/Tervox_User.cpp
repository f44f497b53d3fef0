#include "Tervox_User.h"

#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "trust/Tervox_Audit.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QStringList>

#include <sodium.h>

#include <atomic>
#include <mutex>

namespace {

void LoadGroupRow(TTervoxUserGroup& AGroup, TSQLiteTable* ATable) {
  AGroup.Name = ATable->FieldByName(QStringLiteral("Name"))->AsString();
  AGroup.CanAdmin = ATable->FieldByName(QStringLiteral("CanAdmin"))->AsBool();
  AGroup.CanBackup = ATable->FieldByName(QStringLiteral("CanBackup"))->AsBool();
  AGroup.CanRestore = ATable->FieldByName(QStringLiteral("CanRestore"))->AsBool();
  AGroup.CanDeleteRecord = ATable->FieldByName(QStringLiteral("CanDeleteRecord"))->AsBool();
  AGroup.CanChangeMode = ATable->FieldByName(QStringLiteral("CanChangeMode"))->AsBool();
}

} // namespace

// ----- TTervoxUserGroup

void TTervoxUserGroup::Clear() { *this = TTervoxUserGroup(); }

void TTervoxUserGroup::Assign(const TTervoxUserGroup& AGroup) { *this = AGroup; }

void TTervoxUserGroup::LoadFromDB(const QString& AGroupName) {
  Clear();
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM UserGroup\r\nWHERE Name = :Name"));
  table.SetParamValues(":Name", AGroupName);
  table.Open();
  if (!table.Eof()) LoadFromDB(&table);
}

void TTervoxUserGroup::LoadFromDB(TSQLiteTable* ATable) { LoadGroupRow(*this, ATable); }

void TTervoxUserGroup::SaveToDB() const {
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM UserGroup WHERE Name = :Name"));
  table.SetParamValues(":Name", Name);
  const bool missing = table.EofExec();
  if (missing)
    table.SetSQL(QStringLiteral("INSERT INTO UserGroup\r\n"
                                "(Name, CanAdmin, CanBackup, CanRestore, CanDeleteRecord, CanChangeMode)\r\n"
                                "VALUES (:Name, :CanAdmin, :CanBackup, :CanRestore, :CanDeleteRecord, :CanChangeMode)"));
  else
    table.SetSQL(QStringLiteral("UPDATE UserGroup SET\r\n"
                                "CanAdmin = :CanAdmin, CanBackup = :CanBackup,\r\n"
                                "CanRestore = :CanRestore, CanDeleteRecord = :CanDeleteRecord,\r\n"
                                "CanChangeMode = :CanChangeMode\r\n"
                                "WHERE Name = :Name"));
  table.SetParamValues(":Name", Name);
  table.SetParamValues(":CanAdmin", CanAdmin);
  table.SetParamValues(":CanBackup", CanBackup);
  table.SetParamValues(":CanRestore", CanRestore);
  table.SetParamValues(":CanDeleteRecord", CanDeleteRecord);
  table.SetParamValues(":CanChangeMode", CanChangeMode);
  table.ExecSQL();
}

// ----- TTervoxUser

TTervoxUser::TTervoxUser() : FGroup(std::make_unique<TTervoxUserGroup>()) { Clear(); }

void TTervoxUser::Clear() {
  Username.clear();
  DisplayName.clear();
  Password.clear();
  OldPassword.clear();
  Mobile.clear();
  Position.clear();
  ExpireDate = 0.0;
  PasswordLife = 0;
  Disabled = false;
  Expired = false;
  Developed = false;
  FGroup->Clear();
}

void TTervoxUser::Assign(const TTervoxUser& AUser) {
  Username = AUser.Username;
  DisplayName = AUser.DisplayName;
  Password = AUser.Password;
  OldPassword = AUser.OldPassword;
  Mobile = AUser.Mobile;
  Position = AUser.Position;
  ExpireDate = AUser.ExpireDate;
  PasswordLife = AUser.PasswordLife;
  Disabled = AUser.Disabled;
  Expired = AUser.Expired;
  FGroup->Assign(*AUser.FGroup);
}

void TTervoxUser::LoadFromDB(TSQLiteTable* ATable) {
  Username = ATable->FieldByName(QStringLiteral("Username"))->AsString();
  DisplayName = ATable->FieldByName(QStringLiteral("DisplayName"))->AsString();
  Mobile = ATable->FieldByName(QStringLiteral("Mobile"))->AsString();
  Position = ATable->FieldByName(QStringLiteral("Position"))->AsString();
  Password = ATable->FieldByName(QStringLiteral("Password"))->AsString();
  OldPassword = ATable->FieldByName(QStringLiteral("OldPassword"))->AsString();
  ExpireDate = ATable->FieldByName(QStringLiteral("ExpireDate"))->AsDateTime();
  PasswordLife = ATable->FieldByName(QStringLiteral("PasswordLife"))->AsInteger();
  Disabled = ATable->FieldByName(QStringLiteral("Disabled"))->AsBool();
  Expired = ATable->FieldByName(QStringLiteral("Expired"))->AsBool();
  FGroup->LoadFromDB(ATable->FieldByName(QStringLiteral("GroupName"))->AsString());
}

void TTervoxUser::AddUsageLogin() const {
  if (Username.isEmpty()) return;
  SetActingUser(Username);
  AddUsageLog(QStringLiteral("Login by %1 (%2)").arg(DisplayName, Username), -1, QStringLiteral("IN"), 0, 0);
  TervoxAudit::Post({Username, TervoxAudit::kUser, Username, 0, QStringLiteral("login"), {}, QString()});
}

void TTervoxUser::AddUsageLogout() const {
  if (Username.isEmpty()) return;
  AddUsageLog(QStringLiteral("Logout by %1 (%2)").arg(DisplayName, Username), -1, QStringLiteral("OUT"), 0, 0);
  TervoxAudit::Post({Username, TervoxAudit::kUser, Username, 0, QStringLiteral("logout"), {}, QString()});
  SetActingUser(QString());
}

// ----- TTervoxUserGroupList

void TTervoxUserGroupList::LoadFromDB() {
  Clear();
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM UserGroup ORDER BY Name"));
  table.Open();
  while (!table.Eof()) {
    auto group = std::make_unique<TTervoxUserGroup>();
    group->LoadFromDB(&table);
    FItems.push_back(std::move(group));
    table.Next();
  }
}

TTervoxUserGroup* TTervoxUserGroupList::GetGroups(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("User group index out of bound"));
  return FItems[AIndex].get();
}

int TTervoxUserGroupList::IndexOf(const QString& AName) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FItems[i]->Name == AName) return i;
  return -1;
}

TTervoxUserGroup* TTervoxUserGroupList::GetGroupByName(const QString& AName) const {
  const int index = IndexOf(AName);
  return index < 0 ? nullptr : FItems[index].get();
}

// ----- Passwords

namespace {

// The form stored before Argon2id; still verified so that it can be
// replaced at the user's next login.
const QString kPbkdf2Prefix = QStringLiteral("pbkdf2-sha256$");
constexpr int kKeyLength = 32;
const QString kArgon2Prefix = QString::fromLatin1(crypto_pwhash_STRPREFIX);
// Interactive limits: a login takes a fraction of a second and 64 MiB.
constexpr unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
constexpr std::size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;

void InitSodium() {
  static const int result = sodium_init();
  if (result < 0) throw EDqException(QStringLiteral("Cannot start the password library"));
}

bool IsPbkdf2Hash(const QString& AStored) { return AStored.startsWith(kPbkdf2Prefix); }
bool IsArgon2Hash(const QString& AStored) { return AStored.startsWith(kArgon2Prefix); }

bool CheckPbkdf2(const QString& AStored, const QString& ATyped);

QByteArray Pbkdf2Sha256(const QByteArray& APassword, const QByteArray& ASalt, int AIterations) {
  QMessageAuthenticationCode mac(QCryptographicHash::Sha256, APassword);
  mac.addData(ASalt);
  mac.addData(QByteArray::fromHex("00000001")); // first (and only) block
  QByteArray u = mac.result();
  QByteArray key = u;
  for (int i = 1; i < AIterations; ++i) {
    mac.reset();
    mac.addData(u);
    u = mac.result();
    for (int k = 0; k < key.size(); ++k) key[k] = static_cast<char>(key[k] ^ u[k]);
  }
  return key.left(kKeyLength);
}

// Compares without stopping at the first difference.
bool SameBytes(const QByteArray& A, const QByteArray& B) {
  if (A.size() != B.size()) return false;
  unsigned char diff = 0;
  for (int i = 0; i < A.size(); ++i) diff |= static_cast<unsigned char>(A[i] ^ B[i]);
  return diff == 0;
}

std::atomic<bool> gDeveloperLogin{false};

std::unique_ptr<TTervoxUser> gCurrentUser;
std::unique_ptr<TTervoxUserGroupList> gUserGroups;

} // namespace

QString HashPassword(const QString& APlain) {
  InitSodium();
  const QByteArray plain = APlain.toUtf8();
  char stored[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(stored, plain.constData(), static_cast<unsigned long long>(plain.size()), kOpsLimit,
                        kMemLimit) != 0)
    throw EDqException(QStringLiteral("Not enough memory to store the password"));
  return QString::fromLatin1(stored);
}

bool IsPasswordHash(const QString& AStored) { return IsArgon2Hash(AStored) || IsPbkdf2Hash(AStored); }

bool CheckPassword(const QString& AStored, const QString& ATyped) {
  if (IsArgon2Hash(AStored)) {
    InitSodium();
    const QByteArray stored = AStored.toLatin1();
    const QByteArray typed = ATyped.toUtf8();
    if (stored.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(stored.constData(), typed.constData(),
                                    static_cast<unsigned long long>(typed.size())) == 0;
  }
  if (IsPbkdf2Hash(AStored)) return CheckPbkdf2(AStored, ATyped);
  return SameBytes(AStored.toUtf8(), ATyped.toUtf8());
}

bool PasswordNeedsRehash(const QString& AStored) {
  if (!IsArgon2Hash(AStored)) return true;
  InitSodium();
  const QByteArray stored = AStored.toLatin1();
  return crypto_pwhash_str_needs_rehash(stored.constData(), kOpsLimit, kMemLimit) != 0;
}

namespace {
bool CheckPbkdf2(const QString& AStored, const QString& ATyped) {
  const QStringList parts = AStored.mid(kPbkdf2Prefix.size()).split(QLatin1Char('$'));
  if (parts.size() != 3) return false;
  bool ok = false;
  const int iterations = parts[0].toInt(&ok);
  if (!ok || iterations < 1 || iterations > 10000000) return false;
  const QByteArray salt = QByteArray::fromBase64(parts[1].toLatin1());
  const QByteArray key = QByteArray::fromBase64(parts[2].toLatin1());
  return SameBytes(Pbkdf2Sha256(ATyped.toUtf8(), salt, iterations), key);
}
} // namespace

QString HashedStoredPassword(const QString& AStored) {
  if (AStored.isEmpty() || IsPasswordHash(AStored)) return AStored;
  return HashPassword(AStored);
}

const QString DeveloperPhrase = QStringLiteral("***opendoor***");

bool DeveloperLoginEnabled() { return gDeveloperLogin.load(); }
void SetDeveloperLoginEnabled(bool AValue) { gDeveloperLogin.store(AValue); }

// ----- Process-wide objects

namespace {
std::mutex gActingUserLock;
QString gActingUser;
} // namespace

QString ActingUser() {
  std::lock_guard<std::mutex> guard(gActingUserLock);
  return gActingUser;
}

void SetActingUser(const QString& AUsername) {
  std::lock_guard<std::mutex> guard(gActingUserLock);
  gActingUser = AUsername;
}

TTervoxUser* CurrentUser() {
  if (!gCurrentUser) gCurrentUser = std::make_unique<TTervoxUser>();
  return gCurrentUser.get();
}

TTervoxUserGroupList* UserGroups() {
  if (!gUserGroups) gUserGroups = std::make_unique<TTervoxUserGroupList>();
  return gUserGroups.get();
}

void CreateUserObjects() {
  CurrentUser()->Clear();
  UserGroups()->LoadFromDB();
}

void FreeUserObjects() {
  gUserGroups.reset();
  gCurrentUser.reset();
}
