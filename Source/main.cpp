// Entry point. For now the program prepares its database and exits; the
// main window follows.
#include "Engine/DqSQLite.h"
#include "shell/Main_Database.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("TERVOX"));
  try {
    GetDatabase();
    std::printf("TERVOX database ready: %s\n", qPrintable(GetDatabaseFileName()));
  } catch (const EDqException& e) {
    std::fprintf(stderr, "TERVOX: %s\n", qPrintable(e.Message()));
    return 1;
  }
  FreeDatabase();
  return 0;
}
