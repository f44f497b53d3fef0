// A real Mosquitto broker started by the test on a free port with a
// configuration of the test's own, and mosquitto_sub as an independent
// subscriber.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <vector>

namespace mqtt_test {

inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

inline bool Accepts(int APort) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(APort));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

inline QString UserName() {
  const passwd* entry = getpwuid(geteuid());
  return entry ? QString::fromLocal8Bit(entry->pw_name) : QStringLiteral("root");
}

inline QString BrokerProgram() {
  for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"})
    if (QFile::exists(QString::fromLatin1(path))) return QString::fromLatin1(path);
  return QStringLiteral("mosquitto");
}

// Sessions and retained messages survive a restart (persistence), so a
// subscriber with a session of its own misses nothing across an outage.
class Broker {
public:
  // ASettings: what the listener on Port() allows; AMoreListeners: further
  // listener sections, each with settings of its own.
  explicit Broker(const QString& ADirectory, const QString& ASettings = QStringLiteral("allow_anonymous true\n"),
                  const QString& AMoreListeners = QString())
      : FDirectory(ADirectory), FPort(FreePort()) {
    // Run as root (CI), it would otherwise drop to a user who cannot write
    // the test's directory.
    QString config = QStringLiteral("user %2\npersistence true\npersistence_location %1/\nmax_queued_messages 0\n"
                                    "log_dest file %1/mosquitto.log\nlog_type all\n")
                         .arg(FDirectory, UserName());
    if (!AMoreListeners.isEmpty()) config += QStringLiteral("per_listener_settings true\n");
    config += QStringLiteral("listener %1 127.0.0.1\n").arg(FPort) + ASettings + AMoreListeners;
    QFile file(FDirectory + QStringLiteral("/mosquitto.conf"));
    if (file.open(QIODevice::WriteOnly)) file.write(config.toUtf8());
  }
  ~Broker() { Kill(); }
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  int Port() const { return FPort; }
  // Starts and waits until Port() accepts connections.
  bool Start() {
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.start(BrokerProgram(), {QStringLiteral("-c"), FDirectory + QStringLiteral("/mosquitto.conf")});
    if (!FProcess.waitForStarted(5000)) return false;
    return QTest::qWaitFor([&] { return Accepts(FPort); }, 10000);
  }
  // As a service stop does: sessions are saved, clients see the socket close.
  void Stop() {
    if (FProcess.state() == QProcess::NotRunning) return;
    FProcess.terminate();
    if (!FProcess.waitForFinished(10000)) Kill();
  }
  void Kill() {
    if (FProcess.state() == QProcess::NotRunning) return;
    FProcess.kill();
    FProcess.waitForFinished(5000);
  }
  QString Log() const {
    QFile file(FDirectory + QStringLiteral("/mosquitto.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

private:
  QString FDirectory;
  int FPort;
  QProcess FProcess;
};

// In ADirectory: a plant CA (ca.crt), a server certificate it signed for
// 127.0.0.1 and localhost (server.crt, server.key), and another CA that
// signed nothing (other.crt).
inline bool MakeCertificates(const QString& ADirectory) {
  auto run = [&](const QStringList& AArguments) {
    QProcess process;
    process.setWorkingDirectory(ADirectory);
    process.start(QStringLiteral("openssl"), AArguments);
    return process.waitForFinished(30000) && process.exitCode() == 0;
  };
  const QStringList ec = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
  QFile ext(ADirectory + QStringLiteral("/ext"));
  if (!ext.open(QIODevice::WriteOnly)) return false;
  ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n");
  ext.close();
  return run(QStringList{"req", "-x509"} + ec + QStringList{"-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=Plant CA"}) &&
         run(QStringList{"req", "-x509"} + ec + QStringList{"-keyout", "other.key", "-out", "other.crt", "-days", "2", "-subj", "/CN=Other CA"}) &&
         run(QStringList{"req"} + ec + QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost"}) &&
         run({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-out",
              "server.crt", "-days", "2", "-extfile", "ext"});
}

struct Message {
  bool Retained = false;
  QString Topic;
  QByteArray Payload;
  QJsonObject Json() const { return QJsonDocument::fromJson(Payload).object(); }
};

// mosquitto_sub on ATopic. With AClientId it keeps a session (QoS 1) that
// the broker fills while the subscriber is away.
class Subscriber {
public:
  Subscriber(int APort, const QString& ATopic, const QString& AClientId = QString(), const QString& AUser = QString(),
             const QString& APassword = QString())
      : FPort(APort), FTopic(ATopic) {
    FConnection = {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(APort)};
    if (!AUser.isEmpty()) FConnection << QStringLiteral("-u") << AUser << QStringLiteral("-P") << APassword;
    FArguments = FConnection + QStringList{QStringLiteral("-t"), ATopic, QStringLiteral("-F"), QStringLiteral("%r\t%t\t%p")};
    if (!AClientId.isEmpty())
      FArguments << QStringLiteral("-c") << QStringLiteral("-i") << AClientId << QStringLiteral("-q") << QStringLiteral("1");
    QObject::connect(&FProcess, &QProcess::readyReadStandardOutput, [this] { Read(); });
  }
  ~Subscriber() {
    FProcess.kill();
    FProcess.waitForFinished(5000);
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Starts, and waits until a message published under the topic arrives.
  bool Start() {
    FProcess.start(QStringLiteral("mosquitto_sub"), FArguments);
    if (!FProcess.waitForStarted(5000)) return false;
    QString probe = FTopic;
    probe.replace(QStringLiteral("/#"), QStringLiteral("/probe"));
    return QTest::qWaitFor(
        [&] {
          QProcess::execute(QStringLiteral("mosquitto_pub"),
                            FConnection + QStringList{QStringLiteral("-t"), probe, QStringLiteral("-m"), QStringLiteral("probe")});
          return QTest::qWaitFor([&] { return Count(probe) > 0; }, 300);
        },
        10000);
  }
  const std::vector<Message>& Messages() {
    Read();
    return FMessages;
  }
  std::vector<Message> On(const QString& ATopic) {
    std::vector<Message> result;
    for (const Message& message : Messages())
      if (message.Topic == ATopic) result.push_back(message);
    return result;
  }
  int Count(const QString& ATopic) { return static_cast<int>(On(ATopic).size()); }
  bool WaitFor(const std::function<bool()>& ACondition, int ATimeOut) { return QTest::qWaitFor(ACondition, ATimeOut); }

private:
  void Read() {
    FBuffer += FProcess.readAllStandardOutput();
    for (qsizetype end = FBuffer.indexOf('\n'); end >= 0; end = FBuffer.indexOf('\n')) {
      const QByteArray line = FBuffer.left(end);
      FBuffer.remove(0, end + 1);
      const QList<QByteArray> parts = line.split('\t');
      if (parts.size() < 3) continue;
      Message message;
      message.Retained = parts[0] == "1";
      message.Topic = QString::fromUtf8(parts[1]);
      message.Payload = line.mid(parts[0].size() + parts[1].size() + 2);
      FMessages.push_back(message);
    }
  }

  int FPort;
  QString FTopic;
  QStringList FConnection;
  QStringList FArguments;
  QProcess FProcess;
  QByteArray FBuffer;
  std::vector<Message> FMessages;
};

} // namespace mqtt_test
