// Moving old history out of the main database into one archive database
// per year beside it, so the main file stops growing while old history
// stays readable (the archive is a whole TERVOX database).
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

class TTervoxProgress;

struct TArchivedYear {
  QString FileName;   // "Tervox-archive-YYYY.db" beside the main database
  std::int64_t Rows;  // rows this run moved there
};

// "Tervox-archive-YYYY.db" in the folder of the database ADatabaseFile.
QString ArchiveFileName(const QString& ADatabaseFile, int AYear);

// Moves the history rows recorded before the start of the day ABeforeDay
// into the archive of their year, with the controllers (and the ports,
// groups, graph profiles and users) needed to show them. Each year's rows
// are first copied and committed in its archive, then deleted from the main
// file, a few minutes of all its controllers at a time, and only where the
// archive holds them: a run killed at any point loses nothing and the next
// one finishes the job without counting a row twice. An archive that cannot
// be written raises before any row of its year leaves the main file. The
// main file's summary minutes of the range are forgotten with the rows; the
// archive summarises its own. A cancel (ESQLiteCancelled) stops even the
// statement under way, which is undone whole. Returns the years moved.
std::vector<TArchivedYear> ArchiveHistory(double ABeforeDay, TTervoxProgress* AProgress = nullptr);
