// Entry point of every test program: a Qt application object (widgets
// offscreen), the C locale, and a private data directory.
#include "core/DqRoutine.h"

#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QTemporaryDir dataDir;
  setenv("TERVOX_DATA_DIR", dataDir.path().toLocal8Bit().constData(), 1);
  QApplication app(argc, argv);
  SetUserLocale(QLocale::c());
  return RUN_ALL_TESTS();
}
