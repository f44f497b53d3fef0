#include "Tervox_DeviceList.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "Tervox_Device.h"

int TTervoxDeviceList::Count() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return static_cast<int>(FItems.size());
}

TTervoxDevice* TTervoxDeviceList::Add() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FItems.push_back(std::make_shared<TTervoxDevice>());
  return FItems.back().get();
}

int TTervoxDeviceList::AddDevice(std::shared_ptr<TTervoxDevice> ADevice) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FItems.push_back(std::move(ADevice));
  return static_cast<int>(FItems.size()) - 1;
}

void TTervoxDeviceList::Clear() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  while (!FItems.empty()) FItems.pop_back();
}

void TTervoxDeviceList::ClearPort() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (auto& device : FItems) device->SetPort(nullptr);
}

TTervoxDevice* TTervoxDeviceList::GetDevices(int AIndex) const { return SharedDevice(AIndex).get(); }

std::shared_ptr<TTervoxDevice> TTervoxDeviceList::SharedDevice(int AIndex) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size())) return nullptr;
  return FItems[static_cast<std::size_t>(AIndex)];
}

void TTervoxDeviceList::SetDevices(int AIndex, std::shared_ptr<TTervoxDevice> ADevice) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size()))
    throw EDqException(QStringLiteral("Device list index [%1] out of bound (%2)").arg(AIndex).arg(FItems.size()));
  FItems[static_cast<std::size_t>(AIndex)] = std::move(ADevice);
}

TTervoxDevice* TTervoxDeviceList::GetDeviceByID(int AID) const { return SharedDeviceByID(AID).get(); }

std::shared_ptr<TTervoxDevice> TTervoxDeviceList::SharedDeviceByID(int AID) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if ((*it)->ID() == AID) return *it;
  return nullptr;
}

void TTervoxDeviceList::LoadFromDB(TSQLiteDatabase& ADB, const QString& ATableName) {
  Clear();
  std::lock_guard<std::recursive_mutex> guard(FLock);
  TSQLiteTable table(&ADB);
  table.SetSQL(QStringLiteral("SELECT * FROM ") + ATableName + QStringLiteral(" ORDER BY ID"));
  table.Open();
  while (!table.Eof()) {
    Add()->LoadFromDB(table);
    table.Next();
  }
}

void TTervoxValueTypes::LoadFromDB(TSQLiteDatabase& ADB, const QString& ATableName) {
  Clear();
  TSQLiteTable table(&ADB);
  table.SetSQL(QStringLiteral("SELECT * FROM ") + ATableName + QStringLiteral(" ORDER BY ID"));
  table.Open();
  TSQLiteField* id = table.FieldByName(QStringLiteral("ID"));
  TSQLiteField* name = table.FieldByName(QStringLiteral("Name"));
  while (!table.Eof()) {
    FItems.push_back(std::make_unique<TTervoxValueTypeItem>(id->AsInteger(), name->AsString()));
    table.Next();
  }
}

int TTervoxValueTypes::IndexOfID(int AID) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FItems[static_cast<std::size_t>(i)]->ID() == AID) return i;
  return -1;
}

QString TTervoxValueTypes::GetNames(int AID) const {
  const int index = IndexOfID(AID);
  if (index < 0) throw EDqException(QStringLiteral("Value type %1 not found").arg(AID));
  return FItems[static_cast<std::size_t>(index)]->Name();
}

void TTervoxValueTypes::GetNameList(QStringList& AList, bool AIncludedNone) const {
  AList.clear();
  for (std::size_t i = AIncludedNone ? 0 : 1; i < FItems.size(); ++i) AList << FItems[i]->Name();
}
