// Entry point of every test program: a Qt application object (widgets
// offscreen), the C locale, and a private data directory.
#include "Engine/DqRoutine.h"

#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>

#if defined(__SANITIZE_THREAD__)
// Libraries that synchronise where the sanitizer cannot see: the media
// layer's own threads (GStreamer, GLib, PulseAudio), glibc's time zone
// set-up (a lock of its own inside localtime), and a call posted with
// QMetaObject::invokeMethod, released through Qt's reference count inside
// the uninstrumented Qt library.
extern "C" const char* __tsan_default_suppressions() {
  return "race:tzset_internal\n"
         "race:QMetaObject::invokeMethodImpl\n"
         "race:libgstreamer-1.0.so\n"
         "race:libgstbase-1.0.so\n"
         "race:libgstaudio-1.0.so\n"
         "race:libgstcoreelements.so\n"
         "race:libglib-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libpulse.so\n"
         "race:libpulsecommon\n"
         "deadlock:libgstreamer-1.0.so\n"
         "deadlock:libgstbase-1.0.so\n"
         "deadlock:libgstaudio-1.0.so\n"
         "deadlock:libgstcoreelements.so\n"
         "deadlock:libglib-2.0.so\n"
         "deadlock:libgobject-2.0.so\n"
         "deadlock:libpulse.so\n"
         "deadlock:libpulsecommon\n";
}
#endif

#if defined(__SANITIZE_ADDRESS__)
// The sound server's client library keeps its connection state for the
// life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpulse.so\n"; }
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QTemporaryDir dataDir;
  setenv("TERVOX_DATA_DIR", dataDir.path().toLocal8Bit().constData(), 1);
  QApplication app(argc, argv);
  SetUserLocale(QLocale::c());
  return RUN_ALL_TESTS();
}
