#include "Tervox_RecordingFollower.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

std::mutex gMutex;
std::vector<TTervoxRecordingFollower*> gFollowers;

// A copy, so that no follower runs under the lock.
std::vector<TTervoxRecordingFollower*> Followers() {
  std::lock_guard<std::mutex> guard(gMutex);
  return gFollowers;
}

} // namespace

void AttachRecordingFollower(TTervoxRecordingFollower* AFollower) {
  std::lock_guard<std::mutex> guard(gMutex);
  if (std::find(gFollowers.begin(), gFollowers.end(), AFollower) == gFollowers.end()) gFollowers.push_back(AFollower);
}

void StartRecordingFollowers() {
  for (TTervoxRecordingFollower* follower : Followers()) follower->RecordingStarted();
}

void StopRecordingFollowers() {
  for (TTervoxRecordingFollower* follower : Followers()) follower->RecordingStopping();
}

void NotifyEventChanged(const TTervoxDevice& ADevice, int AIndex, bool AOn, int AMode) {
  for (TTervoxRecordingFollower* follower : Followers()) follower->EventChanged(ADevice, AIndex, AOn, AMode);
}
