// Linked into every program of a sanitizer build, so that the tests and the
// programs they start (the simulator, the tools, the program itself) share
// one suppression list. Only libraries are named here: a report whose racing
// accesses are ours must still fail the build.

#if defined(__SANITIZE_THREAD__)
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

// Qt and the media libraries are not built for the sanitizer. Their own
// loads and stores are invisible to it, and so are their locks (QMutex is a
// bare futex) and their reference counts; only the C library calls they make
// (memcpy, free, new and delete) are seen, without what orders them.
//
// called_from_lib:libQt6Core.so.6 — the accesses of those calls made from
//   QtCore: its posted-event queue (QCoreApplication::postEvent moves the
//   entries under a QMutex), an implicitly shared string or a QPointer's
//   count freed by whichever thread drops the last reference, the tasks and
//   wait conditions of its thread pool.
// called_from_lib:libQt6Gui.so.6 — the same from QtGui: its raster engine
//   hands slices of image conversion and scaling to Qt's thread pool and
//   frees them there.
// The frames of those accesses are Qt's unexported functions, known to the
// sanitizer by their library only, so no function name can catch them (and
// it does not match suppressions against the stacks that created threads).
// A race: line naming the library would hide every report whose stack
// passes through Qt, each slot of ours included; these two lines ignore
// only Qt's own C library calls.
// race:QMetaObject::invokeMethodImpl — a functor posted to another thread
//   (a worker's completion callback to the UI thread) is freed by whichever
//   thread drops the last of Qt's references to it, after the other ran it;
//   Qt's count orders the two out of the sanitizer's sight. Every
//   invokeMethod of ours is queued, so nothing of ours runs inside that
//   function but this free.
// race:tzset_internal — glibc's time zone set-up inside localtime, behind a
//   lock of its own.
// The media layer's threads (GStreamer, GLib, PulseAudio) by library.
// deadlock:libmosquitto.so.1 — the MQTT client takes its own mutexes in an
//   order the sanitizer calls a cycle; each client is used by one thread
//   only (the publisher's), so no second thread can close it.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "race:QMetaObject::invokeMethodImpl\n"
         "race:tzset_internal\n"
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
         "deadlock:libpulsecommon\n"
         "deadlock:libmosquitto.so.1\n";
}

// QProcess starts a child with clone(CLONE_VM | CLONE_VFORK): the child
// borrows the parent's memory until it execs. The sanitizer's bookkeeping
// for the new process then runs in that borrowed memory and leaves the
// starting thread blind to its own locks for good, so every mutex it takes
// afterwards looks like none (false races on correctly locked data). Such a
// child becomes an ordinary fork, with memory of its own; the sanitizer
// treats vfork() the same way.
extern "C" int clone(int (*AFunction)(void*), void* AStack, int AFlags, void* AArgument, ...) noexcept {
  using TClone = int (*)(int (*)(void*), void*, int, void*, pid_t*, void*, pid_t*);
  static const auto sanitizerClone = reinterpret_cast<TClone>(dlsym(RTLD_NEXT, "clone"));
  va_list rest;
  va_start(rest, AArgument);
  pid_t* parentTid = va_arg(rest, pid_t*);
  void* tls = va_arg(rest, void*);
  pid_t* childTid = va_arg(rest, pid_t*);
  va_end(rest);
  constexpr int kBorrowed = CLONE_VM | CLONE_VFORK;
  if ((AFlags & kBorrowed) == kBorrowed && !(AFlags & CLONE_THREAD)) AFlags &= ~kBorrowed;
  return sanitizerClone(AFunction, AStack, AFlags, AArgument, parentTid, tls, childTid);
}
#endif

#if defined(__SANITIZE_ADDRESS__)
// The sound server's client library keeps its connection state for the
// life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpulse.so\n"; }
#endif
