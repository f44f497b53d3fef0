// Users, their groups and permissions; the process-wide current user and
// group list. Widget-free: the login and option pages build on it.
#pragma once

#include <QString>

#include <memory>
#include <vector>

class TSQLiteTable;

class TTervoxUserGroup {
public:
  TTervoxUserGroup() = default;
  void Clear();
  void Assign(const TTervoxUserGroup& AGroup);
  // Clears, then loads the row of that name when there is one.
  void LoadFromDB(const QString& AGroupName);
  void LoadFromDB(TSQLiteTable* ATable);
  void SaveToDB() const;

  QString Name;
  bool CanAdmin = false;
  bool CanBackup = false;
  bool CanRestore = false;
  bool CanDeleteRecord = false;
  bool CanChangeMode = false;
};

class TTervoxUser {
public:
  TTervoxUser();
  void Clear();
  // Every field except Developed, and the group.
  void Assign(const TTervoxUser& AUser);
  void LoadFromDB(TSQLiteTable* ATable);
  void AddUsageLogin() const;
  void AddUsageLogout() const;

  TTervoxUserGroup* Group() const { return FGroup.get(); }

  QString Username;
  QString DisplayName;
  QString Password; // as stored: a password hash, or plain text from older databases
  QString OldPassword;
  QString Mobile;
  QString Position;
  double ExpireDate = 0.0;
  int PasswordLife = 0;
  bool Disabled = false;
  bool Expired = false;
  bool Developed = false;

private:
  std::unique_ptr<TTervoxUserGroup> FGroup;
};

class TTervoxUserGroupList {
public:
  void LoadFromDB();
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TTervoxUserGroup* GetGroups(int AIndex) const;
  int IndexOf(const QString& AName) const;
  TTervoxUserGroup* GetGroupByName(const QString& AName) const;

private:
  std::vector<std::unique_ptr<TTervoxUserGroup>> FItems;
};

// ----- Passwords. New passwords are stored as Argon2id hashes (libsodium's
// crypto_pwhash_str). Stored forms of older databases still match: plain
// text (and the seed row) and salted PBKDF2-SHA256 ("pbkdf2-sha256$...").
QString HashPassword(const QString& APlain);
// Any stored hash, of either form.
bool IsPasswordHash(const QString& AStored);
bool CheckPassword(const QString& AStored, const QString& ATyped);
// True for a stored form to replace at the next successful login: plain
// text, PBKDF2, or Argon2id with weaker settings than today's.
bool PasswordNeedsRehash(const QString& AStored);
// The value to store for a password read back from the database: hashes
// stay, plain text is hashed, empty stays empty.
QString HashedStoredPassword(const QString& AStored);

// ----- The developer login (the phrase as user name and password) opens
// the debug window without a database account; it is honoured only when
// the program was started for development (--developer).
extern const QString DeveloperPhrase;
bool DeveloperLoginEnabled();
void SetDeveloperLoginEnabled(bool AValue);

// ----- Process-wide objects.
TTervoxUser* CurrentUser();
// The user name of the user logged in (set at login and logout), for any
// thread: the audit trail's entries of requests running on line workers.
QString ActingUser();
void SetActingUser(const QString& AUsername);
TTervoxUserGroupList* UserGroups();
// Created at start-up (UserGroups loaded, which opens the database) and
// freed at shutdown in reverse order.
void CreateUserObjects();
void FreeUserObjects();
