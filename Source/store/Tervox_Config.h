// Settings as name/value text pairs in the Config table. No cache: every
// read is a query, every write an upsert.
#pragma once

#include <QString>

class TSQLiteDatabase;

class TTervoxConfig {
public:
  // The program's connection, or ADatabase (not owned): a background job
  // keeps its settings on the connection of its own thread.
  explicit TTervoxConfig(TSQLiteDatabase* ADatabase = nullptr) : FDatabase(ADatabase) {}

  QString GetValues(const QString& AName) const;
  void SetValues(const QString& AName, const QString& AValue);

  int GetValueInt(const QString& AName) const { return GetValueIntDef(AName, 0); }
  int GetValueIntDef(const QString& AName, int ADefault) const;
  void SetValueInt(const QString& AName, int AValue);

  double GetValueFloat(const QString& AName) const { return GetValueFloatDef(AName, 0.0); }
  double GetValueFloatDef(const QString& AName, double ADefault) const;
  void SetValueFloat(const QString& AName, double AValue);

  bool GetValueBool(const QString& AName) const { return GetValueBoolDef(AName, false); }
  bool GetValueBoolDef(const QString& AName, bool ADefault) const;
  void SetValueBool(const QString& AName, bool AValue);

  double GetValueDateTime(const QString& AName) const { return GetValueDateTimeDef(AName, 0.0); }
  double GetValueDateTimeDef(const QString& AName, double ADefault) const { return GetValueFloatDef(AName, ADefault); }
  void SetValueDateTime(const QString& AName, double AValue) { SetValueFloat(AName, AValue); }

private:
  TSQLiteDatabase* Database() const;
  TSQLiteDatabase* FDatabase;
};

// The process-wide settings object.
TTervoxConfig* Config();
