// Polls and records every enabled controller of a database until killed:
// the station's recording without its windows, for the crash tests.
// Usage: tervox_test_recorder DATABASE
#include "domain/Main_Database.h"
#include "domain/Tervox_Device.h"
#include "domain/Tervox_Engine.h"

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
  TTervoxDevice::StartThread();
  std::printf("recording\n");
  std::fflush(stdout);
  return app.exec();
}
