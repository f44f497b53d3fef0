// The recorder's side of the station socket: a thread of its own accepts
// windows and tools (checked by their credentials), reads their messages,
// keeps each line for one settings request at a time, and sends what the
// recorder publishes. A peer that sends what is not a whole, known request,
// falls silent, or stops reading is dropped; the others go on.
#pragma once

#include "Tervox_StationProtocol.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace TervoxStation {
class TStream;
}

using TTervoxPeerID = std::uint64_t;

// What the recording side does with its peers' requests. Called on the
// server's thread, never under its lock: a host may answer at once.
class TTervoxStationHost {
public:
  virtual ~TTervoxStationHost() = default;
  virtual void PeerWelcome(TTervoxPeerID APeer, const TervoxStation::THello& AHello) = 0;
  // Everything but hellos, heartbeats and transactions.
  virtual void PeerRequest(TTervoxPeerID APeer, const TervoxStation::TMessage& AMessage) = 0;
  // A transaction whose turn on its line has come; the answer goes back
  // through Send.
  virtual void PeerTransaction(TTervoxPeerID APeer, const TervoxStation::TTransaction& ATransaction) = 0;
  virtual void PeerGone(TTervoxPeerID APeer) = 0;
  // One line for the operator: a peer refused or dropped, and why.
  virtual void PeerNote(const QString& AText) = 0;
};

class TTervoxStationServer {
public:
  // A peer silent this long is dropped (windows send a heartbeat every
  // kHeartbeat); a line kept by a request that sends nothing more for
  // kHoldLimit is given back.
  static constexpr std::chrono::milliseconds kHeartbeat{2000};
  static constexpr std::chrono::milliseconds kIdleLimit{10000};
  static constexpr std::chrono::milliseconds kHoldLimit{15000};
  // Bytes waiting for a peer that does not read.
  static constexpr std::size_t kOutboxLimit = 1024 * 1024;

  explicit TTervoxStationServer(TTervoxStationHost& AHost);
  ~TTervoxStationServer();
  TTervoxStationServer(const TTervoxStationServer&) = delete;
  TTervoxStationServer& operator=(const TTervoxStationServer&) = delete;

  bool Start(const QString& APath, QString* AError);
  void Stop();

  // Any thread.
  void Send(TTervoxPeerID APeer, const TervoxStation::TMessage& AMessage);
  // To every window that said hello (but AExcept).
  void Broadcast(const TervoxStation::TMessage& AMessage, TTervoxPeerID AExcept = 0);
  // Cheap: nothing needs encoding while nobody watches.
  bool HasWindows() const { return FWindows > 0; }

private:
  struct TPeerState;
  struct THold {
    TTervoxPeerID Peer = 0;
    std::uint32_t Request = 0;
    std::chrono::steady_clock::time_point LastUse;
    std::deque<std::pair<TTervoxPeerID, TervoxStation::TTransaction>> Waiting;
  };
  void Run();
  void Accept();
  void Drop(TTervoxPeerID APeer, const QString& AReason);
  void Handle(TTervoxPeerID APeer, TervoxStation::TMessage AMessage);
  void Offer(TTervoxPeerID APeer, TervoxStation::TTransaction ATransaction);
  void EndRequest(TTervoxPeerID APeer, std::uint32_t ARequest);
  void Pump(int APortID);
  void Wake();

  TTervoxStationHost& FHost;
  QString FPath;
  int FListen = -1;
  int FWake = -1; // eventfd
  unsigned FSocketGroup = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FWindows{0};
  std::thread FThread;
  mutable std::mutex FLock; // FPeers and their outboxes
  std::map<TTervoxPeerID, std::unique_ptr<TPeerState>> FPeers;
  TTervoxPeerID FNextPeer = 1;
  std::map<int, THold> FHolds; // by port ID; server thread only
};
