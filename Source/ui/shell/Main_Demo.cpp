#include "Main_Demo.h"

#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "sim/Sim_Modem.h"
#include "graph/DqGraph.h"
#include "store/Tervox_Config.h"
#include "ui/pages/Frame_Graph.h"
#include "ui/pages/Frame_Trend.h"
#include "store/Main_Database.h"

#include <QTemporaryDir>

#include <cmath>
#include <iterator>

namespace {

// Three controllers of different builds on one line.
struct TDemoController {
  int Address;
  const char* Name;
  const char* Identification;
  int DecimalPoint;
  int SetValue; // raw, scaled by the decimal point
  int Event1Mode;
  int Event1Point;
};

const TDemoController kControllers[] = {
    // Full option, running a program; a high alarm above its set values.
    {1, "Oven", "TVXBA-KR01302CDHT5P0", 1, 1800, 1, 1950},
    // Older software, no program; a low alarm that clears once warm.
    {2, "Kiln", "TVXBD-KR01101NNNN5N0", 0, 85, 2, 40},
    // Compact model with the program function, running a drying program;
    // its event 1 marks each step.
    {5, "Dryer", "TVXAA-JR0130E5NNNNP0", 2, 6500, 11, 0},
};

// The seeded history: yesterday from 08:00, eight hours, one row a second.
constexpr int kHistoryHours = 8;
double HistoryStart() { return std::trunc(Now()) - 1 + 8.0 / 24; }

} // namespace

TTervoxDemo::TTervoxDemo() = default;
TTervoxDemo::~TTervoxDemo() = default;

bool TTervoxDemo::Start(QString* AError) {
  FDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tervox-demo-XXXXXX"));
  if (!FDir->isValid()) {
    if (AError) *AError = QStringLiteral("Cannot create a folder for the demonstration: %1").arg(FDir->errorString());
    return false;
  }
  std::vector<int> addresses;
  for (const TDemoController& c : kControllers) addresses.push_back(c.Address);
  FLine = std::make_unique<TSimControllerLine>(FDir->filePath(QStringLiteral("ttyDEMO0")), addresses);
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
  FModem = std::make_unique<TSimModem>(FDir->filePath(QStringLiteral("ttyGSM0")));
  if (!FModem->Start(AError)) return false;
  // The port lists (Port and SMS pages) offer the simulated line and modem.
  if (qEnvironmentVariableIsEmpty("TERVOX_PORT_DIR")) qputenv("TERVOX_PORT_DIR", FDir->path().toLocal8Bit());
  SetDatabaseFileName(DatabaseFileName());
  return true;
}

QString TTervoxDemo::DatabaseFileName() const { return FDir ? FDir->filePath(QStringLiteral("TervoxDemo.db")) : QString(); }

void TTervoxDemo::Seed() {
  TSQLiteDatabase* db = GetDatabase();
  if (db->GetTableValue(QStringLiteral("SELECT count(*) FROM DevicePort")) > 0) return;
  TSQLiteParamList params;
  params.SetParamValues(":PortName", FLine->LinkPath());
  db->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, Parity, "
                             "IPAddress, PortNumber, Enabled) VALUES ('Demo line', 1, :PortName, 9600, 8, 0, 0, '', '', -1)"),
              &params);
  for (const TDemoController& c : kControllers) {
    TSQLiteParamList device;
    device.SetParamValues(":Name", QString::fromLatin1(c.Name));
    device.SetParamValues(":Address", c.Address);
    db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES (:Name, 1, :Address, -1)"),
                &device);
  }
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroup (Name, Enabled) VALUES ('Night shift', -1)"));
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroupMobile (GroupID, MobileNumber, Name) VALUES (1, '+66810000001', 'Duty engineer')"));
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroupItem (GroupID, DeviceID) SELECT 1, ID FROM Device"));
  Config()->SetValues(QStringLiteral("SMSPort"), FModem->LinkPath());
  Config()->SetValues(QStringLiteral("SMSProvider"), QStringLiteral("AIS"));
  // SMS alerting on: alarms reach the groups' numbers through the modem.
  Config()->SetValueBool(QStringLiteral("SMSAlert"), true);
  SeedHistory();

  // A live trend and a history profile of the three controllers, shown at
  // once: the pages open on the profile they remember.
  db->ExecSQL(QStringLiteral("INSERT INTO Graph (Name, Size, MinValue, MaxValue) VALUES ('Demo trend', 200, 0, 200)"));
  db->ExecSQL(QStringLiteral("INSERT INTO Graph (Name, Size, MinValue, MaxValue) VALUES ('Demo history', 100, 0, 200)"));
  const TDqColor colors[] = {RGBColor(255, 0, 0), RGBColor(0, 128, 0), RGBColor(0, 0, 255)};
  for (const char* graph : {"Demo trend", "Demo history"}) {
    for (std::size_t i = 0; i < std::size(kControllers); ++i) {
      TSQLiteParamList line;
      line.SetParamValues(":Graph", QString::fromLatin1(graph));
      line.SetParamValues(":Name", QString::fromLatin1(kControllers[i].Name));
      line.SetParamValues(":Color", static_cast<int>(colors[i]));
      db->ExecSQL(QStringLiteral("INSERT INTO GraphLine (Name, GraphID, DeviceID, ValueTypeID, Color) "
                                 "SELECT :Name, g.ID, d.ID, 1, :Color FROM Graph g, Device d "
                                 "WHERE g.Name = :Graph AND d.Name = :Name"),
                  &line);
    }
  }
  TFrameTrend::RememberProfile(QStringLiteral("Demo trend"));
  TFrameGraph::RememberProfile(QStringLiteral("Demo history"));
  // The history profile opens on the seeded hours, so its lines show at once.
  TFrameGraph::RememberWindow(HistoryStart(), HistoryStart() + kHistoryHours / 24.0);
}

// Eight hours of yesterday's readings, one a second: the oven warming up
// and holding (EV1 on for a minute each hour), the kiln and the dryer. The
// Report page has pages at once; with the Log page's three switches on,
// event changes are logged.
void TTervoxDemo::SeedHistory() {
  TSQLiteDatabase* db = GetDatabase();
  const double from = HistoryStart();
  TSQLiteParamList params;
  params.SetParamValues(":From", TVariant::FromDateTime(from));
  db->ExecSQL(QStringLiteral(
                  "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                  "INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, EV1, EV2, EV3, IsEV1, IsEV2, IsEV3) "
                  "SELECT 1, :From + i / 86400.0, 1, ROUND(MIN(180.0, 25 + i / 40.0) + (i % 7) / 10.0, 1), 180, "
                  "CASE WHEN i < 6200 THEN 100 ELSE 35.5 END, 0, 32767, 32767, 32767, "
                  "CASE WHEN i % 3600 < 60 THEN -1 ELSE 0 END, 0, 0 FROM n")
                  .arg(kHistoryHours * 3600 - 1),
              &params);
  // The kiln warming to 85 and holding, the dryer through its three steps,
  // so that every line of the history profile shows.
  db->ExecSQL(QStringLiteral(
                  "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                  "INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, EV1, EV2, EV3, IsEV1, IsEV2, IsEV3) "
                  "SELECT d.ID, :From + i / 86400.0, 0, ROUND(MIN(85.0, 20 + i / 55.0)), 85, "
                  "CASE WHEN i < 3600 THEN 100 ELSE 20 END, 0, 32767, 32767, 32767, 0, 0, 0 "
                  "FROM n, Device d WHERE d.Name = 'Kiln' "
                  "UNION ALL "
                  "SELECT d.ID, :From + i / 86400.0, 2, "
                  "CASE (i / 1200) % 3 WHEN 0 THEN 60 WHEN 1 THEN 70 ELSE 65 END - 0.25 + (i % 11) / 20.0, "
                  "CASE (i / 1200) % 3 WHEN 0 THEN 60 WHEN 1 THEN 70 ELSE 65 END, 45.5, 0, 32767, 32767, 32767, 0, 0, 0 "
                  "FROM n, Device d WHERE d.Name = 'Dryer'")
                  .arg(kHistoryHours * 3600 - 1),
              &params);
  for (int i = 0; i < 3; ++i) Config()->SetValueBool(QStringLiteral("AlertEV%1").arg(i + 1), true);
}
