#include "Tervox_StationServer.h"

#include "Tervox_StationSocket.h"

#include <QFile>

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

using namespace TervoxStation;
using TClock = std::chrono::steady_clock;

struct TTervoxStationServer::TPeerState {
  explicit TPeerState(int AHandle) : Stream(AHandle) {}
  TStream Stream;
  TPeer Credentials;
  bool Welcomed = false;
  TRole Role = TRole::Window;
  TClock::time_point LastHeard = TClock::now();
  bool Dropped = false; // to go at the end of this round
  QString Why;          // for the operator; empty when it simply left
  void DropFor(const QString& AWhy) {
    if (Dropped) return;
    Dropped = true;
    Why = AWhy;
  }
};

TTervoxStationServer::TTervoxStationServer(TTervoxStationHost& AHost) : FHost(AHost) {}

TTervoxStationServer::~TTervoxStationServer() { Stop(); }

bool TTervoxStationServer::Start(const QString& APath, QString* AError) {
  FListen = Listen(APath, AError);
  if (FListen < 0) return false;
  FPath = APath;
  // Who may connect besides root and this user. Unread, it stays the group
  // this process gives its files, never the root group by default.
  gid_t group = ::getegid();
  QString problem;
  if (!SocketGroup(APath, group, &problem))
    FHost.PeerNote(QStringLiteral("%1; the group let in is %2").arg(problem).arg(group));
  FSocketGroup = group;
  FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  FStop = false;
  FThread = std::thread([this] { Run(); });
  return true;
}

void TTervoxStationServer::Stop() {
  if (!FThread.joinable()) return;
  FStop = true;
  Wake();
  FThread.join();
  {
    std::lock_guard<std::mutex> guard(FLock);
    FPeers.clear();
    FWindows = 0;
  }
  FHolds.clear();
  ::close(FListen);
  ::close(FWake);
  FListen = FWake = -1;
  // Nobody serves there any more; a window finds no stale socket.
  ::unlink(QFile::encodeName(FPath).constData());
}

void TTervoxStationServer::Wake() {
  if (FWake < 0) return;
  const std::uint64_t one = 1;
  if (::write(FWake, &one, sizeof one) < 0) {
    // Already due to wake: the counter is full.
  }
}

void TTervoxStationServer::Send(TTervoxPeerID APeer, const TMessage& AMessage) {
  const QByteArray bytes = Encode(AMessage);
  {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FPeers.find(APeer);
    if (found == FPeers.end() || found->second->Dropped) return;
    if (!found->second->Stream.Queue(bytes, kOutboxLimit))
      found->second->DropFor(QStringLiteral("it does not read what it is sent"));
  }
  Wake();
}

void TTervoxStationServer::Broadcast(const TMessage& AMessage, TTervoxPeerID AExcept) {
  if (!HasWindows()) return;
  const QByteArray bytes = Encode(AMessage);
  {
    std::lock_guard<std::mutex> guard(FLock);
    for (auto& [id, peer] : FPeers) {
      if (!peer->Welcomed || peer->Role != TRole::Window || peer->Dropped || id == AExcept) continue;
      if (!peer->Stream.Queue(bytes, kOutboxLimit)) peer->DropFor(QStringLiteral("it does not read what it is sent"));
    }
  }
  Wake();
}

void TTervoxStationServer::Accept() {
  for (;;) {
    const int handle = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (handle < 0) return;
    TPeer credentials;
    if (!PeerOf(handle, credentials) || !PeerAllowed(credentials, FSocketGroup)) {
      ::close(handle);
      FHost.PeerNote(QStringLiteral("refused a connection from process %1 (user %2): not the recorder's user or group")
                         .arg(credentials.PID)
                         .arg(credentials.UID));
      continue;
    }
    auto peer = std::make_unique<TPeerState>(handle);
    peer->Credentials = credentials;
    std::lock_guard<std::mutex> guard(FLock);
    FPeers.emplace(FNextPeer++, std::move(peer));
  }
}

void TTervoxStationServer::Drop(TTervoxPeerID APeer, const QString& AReason) {
  pid_t pid = 0;
  bool window = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FPeers.find(APeer);
    if (found == FPeers.end()) return;
    pid = found->second->Credentials.PID;
    window = found->second->Welcomed && found->second->Role == TRole::Window;
    FPeers.erase(found);
    if (window) --FWindows;
  }
  if (!AReason.isEmpty()) FHost.PeerNote(QStringLiteral("dropped process %1: %2").arg(pid).arg(AReason));
  // Its requests give their lines back, its waiting transactions go.
  for (auto& [port, hold] : FHolds) {
    std::erase_if(hold.Waiting, [APeer](const auto& AItem) { return AItem.first == APeer; });
    if (hold.Peer == APeer) hold.Peer = 0;
  }
  for (auto& [port, hold] : FHolds) Pump(port);
  FHost.PeerGone(APeer);
}

void TTervoxStationServer::Offer(TTervoxPeerID APeer, TTransaction ATransaction) {
  THold& hold = FHolds[ATransaction.PortID];
  hold.Waiting.emplace_back(APeer, std::move(ATransaction));
  Pump(hold.Waiting.back().second.PortID);
}

// Runs the line's waiting transactions that may run now, in order: all of
// them while the line is free, else those of the request that keeps it.
// The first request to run takes the line until it ends.
void TTervoxStationServer::Pump(int APortID) {
  THold& hold = FHolds[APortID];
  std::deque<std::pair<TTervoxPeerID, TTransaction>> waiting;
  waiting.swap(hold.Waiting);
  std::vector<std::pair<TTervoxPeerID, TTransaction>> due;
  for (auto& item : waiting) {
    const TTransaction& transaction = item.second;
    const bool own = hold.Peer == item.first && hold.Request == transaction.Request && transaction.Request != 0;
    if (hold.Peer != 0 && !own) {
      hold.Waiting.push_back(std::move(item));
      continue;
    }
    if (transaction.Request != 0) {
      hold.Peer = item.first;
      hold.Request = transaction.Request;
    }
    hold.LastUse = TClock::now();
    due.push_back(std::move(item));
  }
  for (auto& [peer, transaction] : due) FHost.PeerTransaction(peer, transaction);
}

void TTervoxStationServer::EndRequest(TTervoxPeerID APeer, std::uint32_t ARequest) {
  for (auto& [port, hold] : FHolds) {
    if (hold.Peer != APeer || hold.Request != ARequest) continue;
    hold.Peer = 0;
    hold.Request = 0;
    Pump(port);
  }
}

void TTervoxStationServer::Handle(TTervoxPeerID APeer, TMessage AMessage) {
  if (!IsRequest(AMessage)) {
    Drop(APeer, QStringLiteral("it sent a message only a recorder sends"));
    return;
  }
  bool welcomed = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FPeers.find(APeer);
    if (found == FPeers.end()) return;
    welcomed = found->second->Welcomed;
    if (const auto* hello = std::get_if<THello>(&AMessage); hello && !welcomed) {
      found->second->Welcomed = true;
      found->second->Role = hello->Role;
      if (hello->Role == TRole::Window) ++FWindows;
    }
  }
  if (const auto* hello = std::get_if<THello>(&AMessage)) {
    if (welcomed) {
      Drop(APeer, QStringLiteral("it said hello twice"));
      return;
    }
    FHost.PeerWelcome(APeer, *hello);
    return;
  }
  if (!welcomed) {
    Drop(APeer, QStringLiteral("it did not say hello first"));
    return;
  }
  if (std::holds_alternative<THeartbeat>(AMessage)) return;
  if (auto* transaction = std::get_if<TTransaction>(&AMessage)) {
    Offer(APeer, std::move(*transaction));
    return;
  }
  if (const auto* end = std::get_if<TEndRequest>(&AMessage)) {
    EndRequest(APeer, end->Request);
    return;
  }
  FHost.PeerRequest(APeer, AMessage);
}

void TTervoxStationServer::Run() {
  std::vector<pollfd> handles;
  std::vector<TTervoxPeerID> ids;
  while (!FStop) {
    handles.assign({{FListen, POLLIN, 0}, {FWake, POLLIN, 0}});
    ids.assign(2, 0);
    {
      std::lock_guard<std::mutex> guard(FLock);
      for (auto& [id, peer] : FPeers) {
        const short events = static_cast<short>(POLLIN | (peer->Stream.Pending() ? POLLOUT : 0));
        handles.push_back({peer->Stream.Handle(), events, 0});
        ids.push_back(id);
      }
    }
    if (::poll(handles.data(), handles.size(), 1000) < 0 && errno != EINTR) break;
    if (FStop) break;
    if (handles[1].revents & POLLIN) {
      std::uint64_t count = 0;
      if (::read(FWake, &count, sizeof count) < 0) {
      }
    }
    if (handles[0].revents & POLLIN) Accept();

    // What each peer sent, decoded under the lock and handled outside it.
    std::vector<std::pair<TTervoxPeerID, TMessage>> arrived;
    std::vector<std::pair<TTervoxPeerID, QString>> drops;
    const TClock::time_point now = TClock::now();
    {
      std::lock_guard<std::mutex> guard(FLock);
      for (std::size_t i = 2; i < handles.size(); ++i) {
        const auto found = FPeers.find(ids[i]);
        if (found == FPeers.end()) continue;
        TPeerState& peer = *found->second;
        if (!peer.Dropped && (handles[i].revents & (POLLIN | POLLHUP | POLLERR))) {
          const bool open = peer.Stream.Fill();
          for (;;) {
            TMessage message;
            const TDecode result = peer.Stream.Next(message);
            if (result == TDecode::NeedMore) break;
            if (result == TDecode::Bad) {
              peer.DropFor(QStringLiteral("it sent something that is not a message of this recorder"));
              break;
            }
            peer.LastHeard = now;
            arrived.emplace_back(ids[i], std::move(message));
          }
          if (!open) peer.DropFor(QString()); // it hung up
        }
        if (!peer.Dropped && peer.Stream.Pending() && !peer.Stream.Flush()) peer.DropFor(QString());
      }
      for (auto& [id, peer] : FPeers) {
        if (!peer->Dropped && now - peer->LastHeard > kIdleLimit)
          peer->DropFor(QStringLiteral("it sent nothing for %1 s").arg(kIdleLimit.count() / 1000));
        if (peer->Dropped) drops.emplace_back(id, peer->Why);
      }
    }
    for (auto& [id, message] : arrived) {
      bool gone = false;
      for (const auto& drop : drops) gone = gone || drop.first == id;
      if (!gone) Handle(id, std::move(message));
    }
    for (const auto& [id, reason] : drops) Drop(id, reason);
    for (auto& [port, hold] : FHolds) {
      if (hold.Peer != 0 && now - hold.LastUse > kHoldLimit) {
        hold.Peer = 0;
        hold.Request = 0;
        Pump(port);
      }
    }
  }
}
