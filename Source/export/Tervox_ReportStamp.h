// The stamp a report's CSV carries on its last line: the station, the
// report's controller, period and sampling, who exported it and when, and
// the digest of exactly the lines above it. CheckReportCSV tells whether
// a file is still what the database gives for that report.
#pragma once

#include "Tervox_DeviceReport.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

struct TReportStamp {
  QString Station;
  QString User;
  double At = 0;
  TDeviceReportQuery Query;
  std::int64_t Rows = 0;
  QString Digest; // of every line above the stamp, as written
  QString Verified; // what the database's own check said of the period
};

// What the database's check (chains, seals, audit trail) says of the
// readings from AFrom to ATo: "intact", "intact; N reading(s) not yet
// chained", "not yet chained (N reading(s))", "TAMPERED: …" or "not
// checked: …".
QString RowsVerifiedText(const QString& ADatabaseFile, double AFrom, double ATo);

// The stamp as the file's last CSV record ("# TERVOX report", then
// name=value fields), with its line break.
QByteArray ReportStampLine(const TReportStamp& AStamp);
bool ParseReportStamp(const QByteArray& ALine, TReportStamp& AStamp);

struct TReportCheck {
  enum TStatus { Intact = 0, Changed = 1, CannotCheck = 2 };
  TStatus Status = CannotCheck;
  QString Text;
};
// Reads AFileName's stamp, checks its digest against its lines, and makes
// the same report again from ADatabaseFile to compare line by line: the
// first line that differs is named.
TReportCheck CheckReportCSV(const QString& AFileName, const QString& ADatabaseFile);
