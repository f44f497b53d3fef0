// A pseudo-terminal for a simulated device: the simulator holds the master
// side, the program opens the slave side through a stable symlink.
#pragma once

#include <QString>

class TSimPty {
public:
  // A path with '/' is the link itself; a bare name goes into PortDir().
  explicit TSimPty(const QString& ALink);
  ~TSimPty();
  TSimPty(const TSimPty&) = delete;
  TSimPty& operator=(const TSimPty&) = delete;

  // Creates the terminal and (re)points the link at it.
  bool Open(QString* AError = nullptr);
  // Unplugs: the other side sees a hang-up and the link disappears.
  void Close();
  bool Active() const { return FMaster >= 0; }
  int Handle() const { return FMaster; }
  const QString& LinkPath() const { return FLinkPath; }
  const QString& SlavePath() const { return FSlavePath; }

  // Where bare link names go (and where the program looks for simulated
  // ports): $TERVOX_PORT_DIR, else $XDG_RUNTIME_DIR/tervox, else
  // /tmp/tervox-<uid> (in $TMPDIR when set), made 0700 and refused when
  // another user owns it or others may enter it.
  static QString PortDir();

private:
  QString FLinkPath;
  QString FSlavePath;
  int FMaster = -1;
  int FSlaveHold = -1; // keeps the line up while no program has it open
};
