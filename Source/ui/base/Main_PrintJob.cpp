#include "Main_PrintJob.h"

#include "core/DqRoutine.h"

#include <QCoreApplication>
#include <QFile>
#include <QPainter>
#include <QPrinter>

#include <cerrno>
#include <cstdio>
#include <cstring>

TPrintJob::TPrintJob(QPrinter& APrinter, const QString& AFailure)
    : FPrinter(APrinter), FPainter(std::make_unique<QPainter>()), FFileName(APrinter.outputFileName()) {
  if (!FFileName.isEmpty()) {
    // Same directory, so that the rename at the end replaces the file in one step.
    FPartName = QStringLiteral("%1.%2.part").arg(FFileName).arg(QCoreApplication::applicationPid());
    FPrinter.setOutputFileName(FPartName);
  }
  if (!FPainter->begin(&FPrinter)) {
    End();
    throw EDqException(AFailure);
  }
}

TPrintJob::~TPrintJob() {
  if (FPainter->isActive()) FPrinter.abort(); // where the engine can take the pages back
  End();
  if (!FPartName.isEmpty()) QFile::remove(FPartName);
}

void TPrintJob::End() {
  if (FPainter->isActive()) FPainter->end();
  if (!FPartName.isEmpty()) FPrinter.setOutputFileName(FFileName);
}

void TPrintJob::Finish() {
  End();
  if (FPartName.isEmpty()) return;
  const QString part = FPartName;
  FPartName.clear();
  if (std::rename(QFile::encodeName(part).constData(), QFile::encodeName(FFileName).constData()) != 0) {
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    QFile::remove(part);
    throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(FFileName, reason));
  }
}
