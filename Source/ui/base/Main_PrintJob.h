// One print run on a printer set up by the print dialog. When the printer
// writes a file, the file appears only whole: the pages go to a temporary
// file beside it, which takes the file's name when the run is finished.
#pragma once

#include <QString>

#include <memory>

class QPainter;
class QPrinter;

class TPrintJob {
public:
  // Begins painting on APrinter; raises AFailure when it cannot start.
  TPrintJob(QPrinter& APrinter, const QString& AFailure);
  // A run not finished is dropped: its temporary file is removed (a real
  // printer still receives the pages drawn, its engine cannot take them back).
  ~TPrintJob();
  TPrintJob(const TPrintJob&) = delete;
  TPrintJob& operator=(const TPrintJob&) = delete;

  QPainter& Painter() { return *FPainter; }
  // Ends the run; the file takes its name. Raises when it cannot.
  void Finish();

private:
  void End();
  QPrinter& FPrinter;
  std::unique_ptr<QPainter> FPainter;
  QString FFileName; // what the printer writes, empty for a real printer
  QString FPartName; // where it writes it meanwhile
};
