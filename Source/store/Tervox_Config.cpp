#include "Tervox_Config.h"

#include "core/DqRoutine.h"
#include "DqSQLite.h"
#include "Main_Database.h"

TSQLiteDatabase* TTervoxConfig::Database() const { return FDatabase ? FDatabase : GetDatabase(); }

QString TTervoxConfig::GetValues(const QString& AName) const {
  TSQLiteTable table(Database());
  table.SetSQL(QStringLiteral("SELECT Value FROM Config WHERE Name = :Name"));
  table.SetParamValues(":Name", AName);
  table.Open();
  if (table.Eof()) return QString();
  return table.GetFields(0)->AsString();
}

void TTervoxConfig::SetValues(const QString& AName, const QString& AValue) {
  TSQLiteTable table(Database());
  table.SetSQL(QStringLiteral("INSERT OR IGNORE INTO Config (Name, Value) VALUES (:Name, :Value)"));
  table.SetParamValues(":Name", AName);
  table.SetParamValues(":Value", AValue);
  table.ExecSQL();
  table.SetSQL(QStringLiteral("UPDATE Config SET Value = :Value WHERE Name = :Name"));
  table.ExecSQL();
}

int TTervoxConfig::GetValueIntDef(const QString& AName, int ADefault) const {
  std::int64_t value = 0;
  if (!TryStrToInt(GetValues(AName), value) || value < INT32_MIN || value > INT32_MAX) return ADefault;
  return static_cast<int>(value);
}

void TTervoxConfig::SetValueInt(const QString& AName, int AValue) { SetValues(AName, QString::number(AValue)); }

double TTervoxConfig::GetValueFloatDef(const QString& AName, double ADefault) const {
  double value = 0;
  return TryStrToFloatLocale(GetValues(AName), value) ? value : ADefault;
}

void TTervoxConfig::SetValueFloat(const QString& AName, double AValue) { SetValues(AName, FloatToStrLocale(AValue)); }

bool TTervoxConfig::GetValueBoolDef(const QString& AName, bool ADefault) const {
  bool value = false;
  return TryStrToBool(GetValues(AName), value) ? value : ADefault;
}

void TTervoxConfig::SetValueBool(const QString& AName, bool AValue) {
  SetValues(AName, AValue ? QStringLiteral("-1") : QStringLiteral("0"));
}

TTervoxConfig* Config() {
  static TTervoxConfig config;
  return &config;
}
