// Alarms and lost-connection alerts: the engine-wide alert settings and
// state, the alarm texts, and what the main window is asked to show.
#pragma once

#include <QString>

#include <memory>

// An alarm handed from the worker to the main window.
class TTervoxAlarmMessage {
public:
  int DeviceID = 0;
  int Slot = 0; // event index 0-2
  QString Text;
};

// What the engine asks of the main window. The window registers itself;
// both calls run on the user-interface thread, and the worker never waits
// for them.
class TTervoxMainLink {
public:
  virtual ~TTervoxMainLink() = default;
  // A controller stopped answering: the alert window. Closing it clears
  // TervoxAlerts::LossAlertShowing.
  virtual void DeviceLost(int ADeviceID) = 0;
  // An event output switched on: a modeless alarm window.
  virtual void DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage> AMessage) = 0;
};
void SetMainLink(TTervoxMainLink* ALink);
TTervoxMainLink* MainLink();

// Engine-wide alert settings and state, shared by every line worker; the
// log page, the SMS page and the alert window write some of them.
namespace TervoxAlerts {
bool AlertEV(int AIndex); // AIndex 0-2
void SetAlertEV(int AIndex, bool AValue);
int SMSSendAgain(); // minutes
void SetSMSSendAgain(int AValue);
double LastSMSTime();
void SetLastSMSTime(double AValue);
double LastLossAlertTime();
void SetLastLossAlertTime(double AValue);
int LossAlertSilence(); // seconds
void SetLossAlertSilence(int AValue);
// True while the lost-connection alert is queued or open: one at a time.
bool LossAlertShowing();
void SetLossAlertShowing(bool AValue);
// Takes the alert window for a lost controller when none is showing and
// the silence has passed since the last one (then showing, last time :=
// ANow); false when another worker has it or the silence still runs.
bool ClaimLossAlert(double ANow);
// An alarm message is due when AFirst (just raised), when SMSSendAgain is
// 0, or when more than SMSSendAgain minutes passed since the last message
// of any controller; when due, the last SMS time becomes ANow. One decision
// at a time across workers.
bool ClaimAlarmSMS(bool AFirst, double ANow);
// Reads the settings and resets the state (start-up).
void Reset();
// Reads the settings again and keeps the state (a recorder told that a
// window changed them).
void ReloadSettings();
} // namespace TervoxAlerts

// "dd/mm/yy hh:nn" of a date-time, as alarm texts show it.
QString AlarmDateText(double AValue);
