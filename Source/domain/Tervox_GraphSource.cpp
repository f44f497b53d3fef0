#include "Tervox_GraphSource.h"

#include "Tervox_Device.h"
#include "domain/Tervox_Engine.h"
#include "domain/Tervox_DeviceList.h"

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

} // namespace

std::shared_ptr<TDqGraphSource> GraphSourceOf(int AID) {
  TTervoxDeviceList* list = DeviceList();
  if (!list) return nullptr;
  std::shared_ptr<TTervoxDevice> device = list->SharedDeviceByID(AID);
  if (!device) return nullptr;
  return std::make_shared<TTervoxGraphSource>(std::move(device));
}
