// Helpers of the serial tests: a private directory for simulated port
// links, and the far end of a pseudo-terminal read and written directly.
#pragma once

#include "TestSupport.h"

#include <QByteArray>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace tervox_test {

// Points TERVOX_PORT_DIR at a fresh directory while it lives.
class PortDir {
public:
  PortDir() { setenv("TERVOX_PORT_DIR", FDir.Root().toLocal8Bit().constData(), 1); }
  ~PortDir() { unsetenv("TERVOX_PORT_DIR"); }
  QString Path(const QString& AName) const { return FDir.Path(AName); }

private:
  TempDir FDir;
};

// Everything the far end receives until ACount bytes came or the line was
// quiet for AQuietMs.
inline QByteArray ReadPeer(int AHandle, int ACount, int AQuietMs = 300) {
  QByteArray data;
  while (data.size() < ACount) {
    pollfd descriptor{AHandle, POLLIN, 0};
    if (poll(&descriptor, 1, AQuietMs) <= 0) break;
    char buffer[512];
    const ssize_t count = ::read(AHandle, buffer, sizeof buffer);
    if (count <= 0) break;
    data.append(buffer, static_cast<int>(count));
  }
  return data;
}

inline void WritePeer(int AHandle, const QByteArray& AData) {
  qsizetype sent = 0;
  while (sent < AData.size()) {
    const ssize_t count = ::write(AHandle, AData.constData() + sent, static_cast<size_t>(AData.size() - sent));
    if (count > 0)
      sent += count;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

inline bool WaitFor(const std::function<bool()>& APredicate, int AMilliseconds = 10000) {
  return QTest::qWaitFor(APredicate, AMilliseconds);
}

inline QByteArray Hex(const char* AText) { return QByteArray::fromHex(QByteArray(AText).replace(' ', "")); }

} // namespace tervox_test
