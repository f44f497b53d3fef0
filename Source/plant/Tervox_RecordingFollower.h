// What follows the recording in the process that records (the MQTT
// publisher, notifications): started with polling, stopped before it
// stops, and told of every event output that changes. The floors above
// the controllers attach themselves here, so the controllers never name
// them.
#pragma once

class TTervoxDevice;

class TTervoxRecordingFollower {
public:
  virtual ~TTervoxRecordingFollower() = default;
  // On the thread that starts or stops polling.
  virtual void RecordingStarted() = 0;
  virtual void RecordingStopping() = 0;
  // On the line worker that read the change; must not wait.
  virtual void EventChanged(const TTervoxDevice& ADevice, int AIndex, bool AOn, int AMode) = 0;
};

// Attaches AFollower for the rest of the process (once, however often
// asked).
void AttachRecordingFollower(TTervoxRecordingFollower* AFollower);

void StartRecordingFollowers();
void StopRecordingFollowers();
void NotifyEventChanged(const TTervoxDevice& ADevice, int AIndex, bool AOn, int AMode);
