#include "Sim_Demo.h"

#include "Sim_Controller.h"
#include "Sim_ControllerLine.h"
#include "Sim_Modem.h"

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace {

// Three controllers of different builds on one line.
struct TDemoController {
  int Address;
  const char* Identification;
  int DecimalPoint;
  int SetValue; // raw, scaled by the decimal point
  int Event1Mode;
  int Event1Point;
};

const TDemoController kControllers[] = {
    // The Oven: full option, running a program; a high alarm above its set
    // values.
    {1, "TVXBA-KR01302CDHT5P0", 1, 1800, 1, 1950},
    // The Kiln: older software, no program; a low alarm that clears once
    // warm.
    {2, "TVXBD-KR01101NNNN5N0", 0, 85, 2, 40},
    // The Dryer: compact model with the program function, running a drying
    // program; its event 1 marks each step.
    {5, "TVXAA-JR0130E5NNNNP0", 2, 6500, 11, 0},
};

std::vector<int> Addresses() {
  std::vector<int> addresses;
  for (const TDemoController& c : kControllers) addresses.push_back(c.Address);
  return addresses;
}

} // namespace

TSimDemo::TSimDemo(const QString& ADir)
    : FLine(std::make_unique<TSimControllerLine>(ADir + QLatin1Char('/') + LineName(), Addresses())),
      FModem(std::make_unique<TSimModem>(ADir + QLatin1Char('/') + ModemName())) {}

TSimDemo::~TSimDemo() { Stop(); }

QString TSimDemo::LineName() { return QStringLiteral("ttyDEMO0"); }
QString TSimDemo::ModemName() { return QStringLiteral("ttyGSM0"); }

bool TSimDemo::Start(QString* AError) {
  if (!FLine->Start(AError)) return false;
  for (const TDemoController& c : kControllers) {
    FLine->WithController(c.Address, [&c](TSimController& AController) {
      AController.SetIdentification(QByteArray(c.Identification));
      AController.SetRegister(1799, static_cast<std::uint16_t>(c.DecimalPoint));
      AController.SetRegister(384, 1);
      AController.SetRegister(768, static_cast<std::uint16_t>(c.SetValue));
      AController.SetRegister(1280, static_cast<std::uint16_t>(c.Event1Mode));
      AController.SetRegister(1281, static_cast<std::uint16_t>(c.Event1Point));
      AController.SetRegister(1288, 0); // one alarm each is enough to show
      AController.SetRegister(1296, 0);
    });
  }
  // The Oven runs a slow warm-up for ever, below its alarm: 170.0, 180.0
  // and 175.0 in turn.
  FLine->WithController(1, [](TSimController& AController) {
    AController.SetStep(1, 1, 1700, 40);
    AController.SetStep(1, 2, 1800, 60);
    AController.SetStep(1, 3, 1750, 40);
    AController.SetPatternEnd(1, 3, 10000);
    AController.SetRegister(2048, 1);
    AController.StartProgram();
  });
  // The Dryer runs its program for ever: 60.00, 70.00, 65.00 in turn.
  FLine->WithController(5, [](TSimController& AController) {
    AController.SetStep(1, 1, 6000, 20);
    AController.SetStep(1, 2, 7000, 30, 2, 1);
    AController.SetStep(1, 3, 6500, 20);
    AController.SetPatternEnd(1, 3, 10000);
    AController.SetRegister(2048, 1);
    AController.StartProgram();
  });
  return FModem->Start(AError);
}

void TSimDemo::Stop() {
  FModem->Stop();
  FLine->Stop();
}
