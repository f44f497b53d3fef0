// Plant-wide data: every reading and alarm of this station published to an
// MQTT broker, and what was recorded while the broker was away sent when it
// returns. The client runs on a thread of its own (libmosquitto's loop) and
// reads history on a connection of its own; nothing here waits for the
// broker on a line worker or on the user-interface thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

class TTervoxDevice;

// The settings of Options -> MQTT, stored in the Config table.
struct TTervoxMqttSettings {
  bool Enabled = false;
  QString Host;
  int Port = 1883;
  bool TLS = false;
  QString CAFile;   // empty: the system's certificate authorities
  QString CertFile; // client certificate and key, both or neither
  QString KeyFile;
  QString User;     // empty: no user name or password sent
  QString Password;
  QString Topic;    // prefix of every topic, without a trailing '/'
  int QoS = 1;      // of readings and state: 0 or 1

  // From Config, with the defaults where nothing is stored.
  static TTervoxMqttSettings Load();
  void Save() const;
  // "tervox/<host name>" (the host name made a valid topic level).
  static QString DefaultTopic();
  // Empty when the settings can be used, else what is wrong with them.
  QString Problem() const;
};

enum class TMqttState { Off, Connecting, Online, Offline };

struct TTervoxMqttStatus {
  TMqttState State = TMqttState::Off;
  // Recorded readings not yet acknowledged by the broker (about: counted
  // every few seconds while there is a backlog).
  std::int64_t Backlog = 0;
  QString LastError; // the last connection failure, plainly
  // One line for the status bar and the recorder's log.
  QString Text() const;
};

// Makes the publisher follow the recording of this process: started when
// polling starts, stopped before it stops, told of event changes. Every
// process that records calls it once.
void FollowRecordingWithMqtt();

// Starts publishing with the stored settings when MQTTEnabled (polling
// starts it, once followed); a publisher already running is restarted.
void StartMqttPublisher();
// Stops publishing: "offline" is published and the connection closed. Waits
// only for the client's own thread, which never waits for the broker long.
void StopMqttPublisher();
bool MqttPublisherRunning();
TTervoxMqttStatus MqttStatus();
// Called on the publisher's thread whenever the status changes (state,
// error, backlog); empty: nobody. A notifier only posts to its own thread.
using TMqttStatusNotifier = std::function<void(const TTervoxMqttStatus& AStatus)>;
void SetMqttStatusNotifier(TMqttStatusNotifier ANotifier);

// An event output of ADevice switched (worker side): queued for the alarm
// topic, never waiting. AMode is the event's operation mode.
void PublishMqttEventChange(const TTervoxDevice& ADevice, int AIndex, bool AOn, int AMode);

// What "Test connection" found: connected, or why not.
struct TMqttTestResult {
  bool Connected = false;
  QString Text;
};
// Connects once with ASettings and disconnects; blocks the caller up to
// ATimeOut ms (run it off the user-interface thread), or until ACancel is
// set (its result then says nothing).
TMqttTestResult TestMqttConnection(const TTervoxMqttSettings& ASettings, int ATimeOut = 5000,
                                   const std::atomic<bool>* ACancel = nullptr);

// ----- the topic tree and its payloads

// A controller's name as one topic level: '+', '#', '/' and control
// characters become '_'; an empty name is "_".
QString MqttTopicLevel(const QString& AName);

// One history row as it is published.
struct TMqttReading {
  double ReadTime = 0; // day count
  int Digit = 0;
  double PV = 0, SV = 0, Out1 = 0, Out2 = 0; // scaled, as stored
  bool IsEV[3] = {false, false, false};
  // The controller answered the status read: a reading whose process
  // value, set value and output 1 are all missing did not.
  bool Synchronized() const;
};
// "2026-12-01T08:00:00.250+07:00": local time with its offset.
QByteArray MqttTimeText(double ADateTime);
// {"time":...,"pv":...,"sv":...,"out1":...,"out2":...,"ev1":...,"ev2":...,
// "ev3":...,"decimals":...,"synchronized":...,"replayed":...}; 32767 is null.
QByteArray MqttReadingPayload(const TMqttReading& AReading, bool AReplayed);
// {"time":...,"event":...,"text":...,"replayed":...}
QByteArray MqttAlarmPayload(double ATime, const QString& AEvent, const QString& AText, bool AReplayed);
