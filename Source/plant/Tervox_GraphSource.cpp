#include "Tervox_GraphSource.h"

#include "Tervox_Device.h"
#include "Tervox_Engine.h"
#include "Tervox_DeviceList.h"
#include "store/DqSQLite.h"

#include <map>

namespace {

class TTervoxGraphSource : public TDqGraphSource {
public:
  explicit TTervoxGraphSource(std::shared_ptr<TTervoxDevice> ADevice) : FDevice(std::move(ADevice)) {}
  int SourceID() const override { return FDevice->ID(); }
  QString SourceName() const override { return FDevice->DeviceName(); }
  int SourceDigit() const override { return FDevice->Digit(); }
  double SourceValue(int AValueType) const override {
    switch (AValueType) {
    case 1: return FDevice->PV_Float();
    case 2: return FDevice->SV_Float();
    case 3: return FDevice->Out1_Float();
    case 4: return FDevice->Out2_Float();
    case 5: return FDevice->EV1Float();
    case 6: return FDevice->EV2Float();
    case 7: return FDevice->EV3Float();
    default: return kTrendNoValue;
    }
  }

private:
  std::shared_ptr<TTervoxDevice> FDevice; // shared: the list may reload meanwhile
};

// A controller of the Device table: its name and decimals, no live values.
class TStoredGraphSource : public TDqGraphSource {
public:
  TStoredGraphSource(int AID, const QString& AName, int ADigit) : FID(AID), FName(AName), FDigit(ADigit) {}
  int SourceID() const override { return FID; }
  QString SourceName() const override { return FName; }
  int SourceDigit() const override { return FDigit; }
  double SourceValue(int) const override { return kTrendNoValue; }

private:
  int FID;
  QString FName;
  int FDigit;
};

} // namespace

std::shared_ptr<TDqGraphSource> GraphSourceOf(int AID) {
  TTervoxDeviceList* list = DeviceList();
  if (!list) return nullptr;
  std::shared_ptr<TTervoxDevice> device = list->SharedDeviceByID(AID);
  if (!device) return nullptr;
  return std::make_shared<TTervoxGraphSource>(std::move(device));
}

TDqGraphSourceResolver GraphSourcesOfDatabase(TSQLiteDatabase& ADatabase) {
  auto sources = std::make_shared<std::map<int, std::shared_ptr<TDqGraphSource>>>();
  std::unique_ptr<TSQLiteTable> table = ADatabase.GetTable(QStringLiteral(
      "SELECT ID, Name, (SELECT Digit FROM DeviceData WHERE DeviceID = Device.ID ORDER BY ReadTime DESC LIMIT 1) "
      "FROM Device ORDER BY ID"));
  for (; !table->Eof(); table->Next()) {
    const int id = table->GetFields(0)->AsInteger(-1);
    sources->emplace(id, std::make_shared<TStoredGraphSource>(id, table->GetFields(1)->AsString(),
                                                              table->GetFields(2)->AsInteger(0)));
  }
  return [sources](int AID) -> std::shared_ptr<TDqGraphSource> {
    const auto found = sources->find(AID);
    return found == sources->end() ? nullptr : found->second;
  };
}

void BindGraphLines(TDqTrendGraph& AGraph, const TDqGraphSourceResolver& AResolver, const TTervoxValueTypes* ATypes) {
  AGraph.SourceResolver = AResolver;
  for (int i = 0; i < AGraph.LineCount(); ++i) {
    TDqTrendLine* line = AGraph.GetLines(i);
    line->ValueObject = AResolver ? AResolver(line->ValueObjectID) : nullptr;
    if (!line->ValueObject) continue;
    line->ValueObjectID = line->ValueObject->SourceID();
    line->Name = line->ValueObject->SourceName();
    QString type;
    if (ATypes && ATypes->IndexOfID(line->ValueType) >= 0) type = ATypes->GetNames(line->ValueType);
    line->Detail = QStringLiteral("[") + type + QStringLiteral("]");
  }
}
