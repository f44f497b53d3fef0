// The simulated modem spoken to directly, byte by byte, over its terminal.
#include "sim/Sim_Modem.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace tervox_test;

namespace {

// The program's side of the line, raw.
class TLine {
public:
  explicit TLine(const QString& APath) {
    FHandle = ::open(QFile::encodeName(APath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    if (FHandle >= 0 && tcgetattr(FHandle, &line) == 0) {
      cfmakeraw(&line);
      tcsetattr(FHandle, TCSANOW, &line);
    }
  }
  ~TLine() {
    if (FHandle >= 0) ::close(FHandle);
  }
  bool Open() const { return FHandle >= 0; }
  // Writes AText and returns what came back until the line was quiet.
  QByteArray Say(const QByteArray& AText, int AQuietMs = 300) {
    [[maybe_unused]] ssize_t written = ::write(FHandle, AText.constData(), static_cast<size_t>(AText.size()));
    return Listen(AQuietMs);
  }
  QByteArray Listen(int AQuietMs = 300) {
    QByteArray data;
    for (;;) {
      pollfd descriptor{FHandle, POLLIN, 0};
      if (poll(&descriptor, 1, AQuietMs) <= 0) break;
      char buffer[512];
      const ssize_t count = ::read(FHandle, buffer, sizeof buffer);
      if (count <= 0) break;
      data.append(buffer, static_cast<int>(count));
    }
    return data;
  }

private:
  int FHandle = -1;
};

TEST(SimModem, SpeaksTheCommandsOfTheDriver) {
  TempDir dir;
  TSimModem modem(dir.Path(QStringLiteral("GSM")));
  ASSERT_TRUE(modem.Start());
  TLine line(modem.LinkPath());
  ASSERT_TRUE(line.Open());
  modem.SetSignal(17, 99);
  struct TCase {
    QByteArray Said;
    QByteArray Answer;
  };
  const TCase cases[] = {
      {"AT+CSQ\r\n", "AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n"},
      {"AT+CREG=1\r\n", "AT+CREG=1\r\r\nOK\r\n\r\n+CREG: 1\r\n"},
      {"AT+NOSUCH\r\n", "AT+NOSUCH\r\r\nERROR\r\n"},
      {"AT+CMGF=0\r\n", "AT+CMGF=0\r\r\nOK\r\n"},
      {"AT+CMGS=\"0811111111\"\r\n", "AT+CMGS=\"0811111111\"\r\r\nERROR\r\n"}, // not in text mode
      {"ATE0\r\n", "ATE0\r\r\nOK\r\n"},
      {"AT+CMGF=1\r\n", "\r\nOK\r\n"}, // no echo now
      {"AT+CSMP=17,167,0,8\r\n", "\r\nOK\r\n"},
      {"AT+CMGS=\"0811111111\"\r\n", "\r\n> "},
      {"00480069\x1a", "\r\n+CMGS: 1\r\n\r\nOK\r\n"},
      {"AT+CUSD=1,\"*121#\"\r\n", "\r\nOK\r\n\r\n+CUSD: 0,\"Balance 100.00 Baht\",15\r\n"},
  };
  for (const TCase& example : cases) EXPECT_EQ(line.Say(example.Said), example.Answer) << example.Said.constData();
  ASSERT_EQ(modem.Sent().size(), 1u);
  EXPECT_EQ(modem.Sent()[0].Number, QStringLiteral("0811111111"));
  EXPECT_EQ(modem.Sent()[0].Text, QStringLiteral("Hi"));
  EXPECT_EQ(modem.USSDCodes(), QStringList{QStringLiteral("*121#")});

  modem.SetUSSDAnswer(QString(QChar(0x0E22)), true);
  EXPECT_EQ(line.Say("AT+CUSD=1,\"*101*9#\"\r\n"), QByteArray("\r\nOK\r\n\r\n+CUSD: 0,\"0E22\",72\r\n"));

  // Stored messages: announced, listed, deleted.
  EXPECT_EQ(modem.Execute(QStringLiteral("store +66811111111 Hello there")), QStringLiteral("ok 1"));
  EXPECT_EQ(line.Listen(), QByteArray("\r\n+CMTI: \"SM\",1\r\n"));
  const QByteArray listing = line.Say("AT+CMGL=\"ALL\"\r\n");
  EXPECT_TRUE(listing.startsWith("\r\n+CMGL: 1,\"REC UNREAD\",\"+66811111111\",\"\",\"")) << listing.constData();
  EXPECT_TRUE(listing.endsWith("\"\r\nHello there\r\n\r\nOK\r\n")) << listing.constData();
  EXPECT_TRUE(line.Say("AT+CMGL=\"ALL\"\r\n").contains("REC READ"));
  EXPECT_EQ(line.Say("AT+CMGD=1\r\n"), QByteArray("\r\nOK\r\n"));
  EXPECT_EQ(modem.StoredCount(), 0);

  // Faults.
  modem.SetRefuseSend(true);
  EXPECT_EQ(line.Say("AT+CMGS=\"0811111111\"\r\n"), QByteArray("\r\nERROR\r\n"));
  modem.SetRefuseSend(false);
  modem.SetFailSubmit(true);
  EXPECT_EQ(line.Say("AT+CMGS=\"0811111111\"\r\n"), QByteArray("\r\n> "));
  EXPECT_EQ(line.Say("0041\x1a"), QByteArray("\r\nERROR\r\n"));
  EXPECT_EQ(modem.Sent().size(), 1u);
  modem.SetSilent(true);
  EXPECT_EQ(line.Say("AT+CSQ\r\n"), QByteArray());
  EXPECT_EQ(modem.Commands().last(), QStringLiteral("AT+CSQ"));
}

// The standalone program: "ready", a modem on the link, its control pipe.
TEST(SimModem, StandaloneProgramServesUntilStopped) {
  TempDir dir;
  const QString program = QString::fromLocal8Bit(qgetenv("TERVOX_BIN_DIR")) + QStringLiteral("/tervox-sim");
  ASSERT_TRUE(QFileInfo::exists(program)) << qPrintable(program);
  const QString link = dir.Path(QStringLiteral("GSM"));
  QProcess sim;
  sim.start(program, {QStringLiteral("modem"), QStringLiteral("--link"), link});
  ASSERT_TRUE(sim.waitForReadyRead(10000));
  ASSERT_EQ(sim.readLine().trimmed(), QByteArray("ready"));
  auto control = [&](const QByteArray& ACommand) {
    QFile channel(link + QStringLiteral(".ctl"));
    EXPECT_TRUE(channel.open(QIODevice::WriteOnly));
    channel.write(ACommand + '\n');
    channel.close();
    EXPECT_TRUE(sim.waitForReadyRead(10000));
    return sim.readLine().trimmed();
  };
  {
    TLine line(link);
    ASSERT_TRUE(line.Open());
    EXPECT_EQ(control("signal 9 0"), QByteArray("ok"));
    EXPECT_EQ(line.Say("AT+CSQ\r\n"), QByteArray("AT+CSQ\r\r\n+CSQ: 9,0\r\n\r\nOK\r\n"));
    EXPECT_EQ(control("refuse maybe"), QByteArray("error: say on or off"));
  }
  EXPECT_EQ(control("quit"), QByteArray("ok"));
  ASSERT_TRUE(sim.waitForFinished(10000));
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_FALSE(QFileInfo::exists(link));
}

} // namespace
