#include "Tervox_Alerts.h"

#include "core/DqRoutine.h"
#include "comm/DqSMS.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"
#include "Tervox_Device.h"
#include "Tervox_Engine.h"
#include "Tervox_RecordingFollower.h"

#include <QDateTime>

#include <atomic>
#include <mutex>

namespace {

std::atomic<TTervoxMainLink*> gMainLink{nullptr};

std::atomic<bool> gAlertEV[3] = {false, false, false};
std::atomic<int> gSMSSendAgain{0};
std::atomic<double> gLastSMSTime{0.0};
std::atomic<double> gLastLossAlertTime{0.0};
std::atomic<int> gLossAlertSilence{1};
std::atomic<bool> gLossAlertShowing{false};
// Held by each test-then-set of the times and the showing flag above.
std::mutex gAlertMutex;

constexpr double kOneMinute = 1.0 / 1440.0;
constexpr double kOneSecond = 1.0 / 86400.0;

QString AlertEVKey(int AIndex) { return QStringLiteral("AlertEV%1").arg(AIndex + 1); }

// Sends when a modem exists and there is somebody to tell.
void SendAlertSMS(const QString& ARecipients, const QString& AText) {
  const std::shared_ptr<TDqSMS> modem = SMSModem();
  if (modem && !ARecipients.isEmpty()) modem->SendSMS(ARecipients, AText);
}

} // namespace

void SetMainLink(TTervoxMainLink* ALink) { gMainLink = ALink; }
TTervoxMainLink* MainLink() { return gMainLink; }

namespace TervoxAlerts {
bool AlertEV(int AIndex) { return gAlertEV[AIndex]; }
void SetAlertEV(int AIndex, bool AValue) {
  gAlertEV[AIndex] = AValue;
  Config()->SetValueBool(AlertEVKey(AIndex), AValue);
}
int SMSSendAgain() { return gSMSSendAgain; }
void SetSMSSendAgain(int AValue) {
  if (gSMSSendAgain.exchange(AValue) != AValue) Config()->SetValueInt(QStringLiteral("SMSSendAgain"), AValue);
}
double LastSMSTime() { return gLastSMSTime; }
void SetLastSMSTime(double AValue) {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  gLastSMSTime = AValue;
}
double LastLossAlertTime() { return gLastLossAlertTime; }
void SetLastLossAlertTime(double AValue) {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  gLastLossAlertTime = AValue;
}
int LossAlertSilence() { return gLossAlertSilence; }
void SetLossAlertSilence(int AValue) {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  gLossAlertSilence = AValue;
}
bool LossAlertShowing() { return gLossAlertShowing; }
void SetLossAlertShowing(bool AValue) {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  gLossAlertShowing = AValue;
}
bool ClaimLossAlert(double ANow) {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  if (gLossAlertShowing || ANow - gLastLossAlertTime <= gLossAlertSilence * kOneSecond) return false;
  gLossAlertShowing = true;
  gLastLossAlertTime = ANow;
  return true;
}
bool ClaimAlarmSMS(bool AFirst, double ANow) {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  const int again = gSMSSendAgain;
  const bool due = AFirst || again == 0 || (again > 0 && ANow - gLastSMSTime > again * kOneMinute);
  if (due) gLastSMSTime = ANow;
  return due;
}
void ReloadSettings() {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  for (int i = 0; i < 3; ++i) gAlertEV[i] = Config()->GetValueBoolDef(AlertEVKey(i), false);
  gSMSSendAgain = Config()->GetValueIntDef(QStringLiteral("SMSSendAgain"), 0);
}
void Reset() {
  std::lock_guard<std::mutex> guard(gAlertMutex);
  for (int i = 0; i < 3; ++i) gAlertEV[i] = Config()->GetValueBoolDef(AlertEVKey(i), false);
  gSMSSendAgain = Config()->GetValueIntDef(QStringLiteral("SMSSendAgain"), 0);
  const double now = Now();
  gLastSMSTime = now;
  gLastLossAlertTime = now;
  gLossAlertSilence = 1;
  gLossAlertShowing = false;
}
} // namespace TervoxAlerts

QString AlarmDateText(double AValue) {
  return DateTimeToQDateTime(AValue).toString(QStringLiteral("dd/MM/yy HH:mm"));
}

QString TTervoxDevice::AlarmRecipients() const {
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT DISTINCT MobileNumber FROM DeviceGroupMobile\r\n"
                              "WHERE GroupID IN (SELECT GroupID FROM DeviceGroupItem WHERE DeviceID = :DeviceID) "
                              "ORDER BY MobileNumber"));
  table.SetParamValues(":DeviceID", ID());
  table.Open();
  QStringList numbers;
  while (!table.Eof()) {
    numbers << table.GetFields(0)->AsString();
    table.Next();
  }
  return numbers.join(QLatin1Char(';'));
}

QString TTervoxDevice::AlarmText(int AMode, int AIndex) const {
  const char* text = nullptr;
  switch (AMode) {
  case 1: text = "%1 EV%2 High Alarm "; break;
  case 2: text = "%1 EV%2 Low Alarm "; break;
  case 3: text = "%1 EV%2 Scaling Over "; break;
  case 4: text = "%1 EV%2 Upper limit deviation "; break;
  case 5: text = "%1 EV%2 Lower limit deviation "; break;
  case 6: text = "%1 EV%2 Within deviation "; break;
  case 7: text = "%1 EV%2 Outside deviation "; break;
  case 9: text = "%1 EV%2 Control loop1 "; break;
  case 10: text = "%1 EV%2 Control loop2 "; break;
  default: return QString();
  }
  const double value = AMode == 9 ? CT1value() : AMode == 10 ? CT2value() : PV_Float();
  // One arg() call: a "%1" in the controller's name must stay text.
  return QString::fromLatin1(text).arg(DeviceName(), QString::number(AIndex + 1)) + FloatToStrLocale(value);
}

void TTervoxDevice::HandleEventChange(int AIndex) {
  const bool on = AIndex == 0 ? FIsEV1 : AIndex == 1 ? FIsEV2 : FIsEV3;
  if (TervoxAlerts::AlertEV(AIndex)) {
    try {
      AddUsageLog(QStringLiteral("EV%1 changed").arg(AIndex + 1), ID(), on ? QStringLiteral("ON") : QStringLiteral("OFF"),
                  PV_Float(), Digit());
    } catch (const EDqException& e) {
      // A log line that cannot be written must not swallow the alarm.
      qWarning("TERVOX: %s", qPrintable(e.Message()));
    }
  }
  const int mode = AIndex == 0 ? FOpMode1 : AIndex == 1 ? FOpMode2 : FOpMode3;
  // Re-evaluations after a settings write are no change for the plant.
  if (on != (AIndex == 0 ? FOldIsEV1 : AIndex == 1 ? FOldIsEV2 : FOldIsEV3)) NotifyEventChanged(*this, AIndex, on, mode);
  if (on)
    AlarmRule(mode, AIndex);
  else
    SetAlarming(AIndex, 0);
}

void TTervoxDevice::AlarmRule(int AMode, int AIndex) {
  const QString text = AlarmText(AMode, AIndex);
  if (text.isEmpty()) return;
  const double now = Now();
  const QString date = AlarmDateText(now);
  const int state = Alarming(AIndex);
  if ((state == 0 || state == 1) && TervoxAlerts::ClaimAlarmSMS(state == 0, now) && SMSModem())
    SendAlertSMS(AlarmRecipients(), QStringLiteral("%1 Alarm: %2").arg(date, text));
  if (state == 0) {
    SetAlarming(AIndex, 1);
    auto message = std::make_shared<TTervoxAlarmMessage>();
    message->DeviceID = ID();
    message->Slot = AIndex;
    message->Text = text + QStringLiteral("\r\n") + QStringLiteral("Time  %1").arg(date);
    HandOffToMain([message] {
      if (TTervoxMainLink* link = gMainLink) link->DeviceAlarm(std::make_unique<TTervoxAlarmMessage>(*message));
    });
  }
}

void TTervoxDevice::HandleConnection() {
  const bool justLost = FOldSynchronized && !FSynchronized;
  if (FSynchronized) {
    if (!FOldSynchronized) TervoxAlerts::SetLossAlertSilence(0);
    return;
  }
  const double now = Now();
  // One alert window at a time, for whichever lost controller finds the
  // way clear first.
  const bool alert = TervoxAlerts::ClaimLossAlert(now);
  // The message follows this controller's own state, so one alert left
  // open does not silence the loss of every other controller.
  const int again = TervoxAlerts::SMSSendAgain();
  if (justLost || (again > 0 && now - FLossSMSTime > again * kOneMinute) || (again == 0 && alert)) {
    if (SMSModem())
      SendAlertSMS(AlarmRecipients(), QStringLiteral("%1 Loss signal\r\n%2").arg(DeviceName(), AlarmDateText(now)));
    FLossSMSTime = now;
    TervoxAlerts::SetLastSMSTime(now);
  }
  if (!alert) return;
  const int id = ID();
  // Polling goes on while the alert is open; closing it clears the flag,
  // and so does a hand-off that never ran, or no alert would show again.
  HandOffToMain(
      [id] {
        TTervoxMainLink* link = gMainLink;
        if (link)
          link->DeviceLost(id);
        else
          TervoxAlerts::SetLossAlertShowing(false);
      },
      [] { TervoxAlerts::SetLossAlertShowing(false); });
}
