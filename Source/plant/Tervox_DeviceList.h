// The controller list of the Device table and the value types.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <vector>

class TSQLiteDatabase;
class TTervoxDevice;

// The controllers of the Device table, in ID order. Devices are shared with
// running requests, so clearing the list never frees a device in use.
class TTervoxDeviceList {
public:
  TTervoxDeviceList() = default;
  ~TTervoxDeviceList() { Clear(); }

  int Count() const;
  TTervoxDevice* Add();
  int AddDevice(std::shared_ptr<TTervoxDevice> ADevice);
  void Clear();
  void ClearPort();
  TTervoxDevice* GetDevices(int AIndex) const;
  std::shared_ptr<TTervoxDevice> SharedDevice(int AIndex) const;
  void SetDevices(int AIndex, std::shared_ptr<TTervoxDevice> ADevice);
  TTervoxDevice* GetDeviceByID(int AID) const;
  std::shared_ptr<TTervoxDevice> SharedDeviceByID(int AID) const;
  void LoadFromDB(TSQLiteDatabase& ADB, const QString& ATableName);

  // Held by pages that walk the list while polling may reload it.
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

private:
  mutable std::recursive_mutex FLock;
  std::vector<std::shared_ptr<TTervoxDevice>> FItems;
};

class TTervoxValueTypeItem {
public:
  TTervoxValueTypeItem(int AID, const QString& AName) : FID(AID), FName(AName) {}
  int ID() const { return FID; }
  const QString& Name() const { return FName; }

private:
  int FID;
  QString FName;
};

class TTervoxValueTypes {
public:
  void LoadFromDB(TSQLiteDatabase& ADB, const QString& ATableName);
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TTervoxValueTypeItem* GetItems(int AIndex) const { return FItems.at(static_cast<std::size_t>(AIndex)).get(); }
  int IndexOfID(int AID) const;
  QString GetNames(int AID) const;
  void GetNameList(QStringList& AList, bool AIncludedNone) const;

private:
  std::vector<std::unique_ptr<TTervoxValueTypeItem>> FItems;
};
