// Polls and records every enabled controller of a database until killed:
// the station's recording without its windows, for the crash tests.
// Usage: tervox_test_recorder DATABASE
#include "store/Main_Database.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "mqtt/Tervox_Mqtt.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tervox_test_recorder DATABASE\n");
    return 2;
  }
  SetDatabaseFileName(QString::fromLocal8Bit(argv[1]));
  GetDatabase();
  CreateEngineObjects();
  // The publisher's state changes go to the log, as a service's do.
  SetMqttStatusNotifier([](const TTervoxMqttStatus& AStatus) {
    std::fprintf(stderr, "%s\n", qPrintable(AStatus.Text()));
  });
  FollowRecordingWithMqtt();
  TTervoxDevice::StartThread();
  std::printf("recording\n");
  std::fflush(stdout);
  return app.exec();
}
