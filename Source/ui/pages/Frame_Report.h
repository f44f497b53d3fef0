// The Report page: one controller's readings over a time range, every one
// or the first of each period, as paper pages to browse, zoom, print and
// export. Counting, printing and exporting a long range read off the
// screen's thread.
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QPrinter;
class QPushButton;
class QTimeEdit;
class TDeviceReport;
struct TReportSheetFooter;
class TDqPageView;
struct TDeviceReportQuery;

class TFrameReport : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameReport(QWidget* AOwner = nullptr);
  ~TFrameReport() override;
  // Reloads the page's controller list after ports or controllers changed.
  void UpdateDevices();

  // Draws pages AFirst..ALast onto a printer that is set up (the print
  // button asks for it with the print dialog), behind a progress window
  // whose Cancel drops the run. False when cancelled.
  bool PrintReport(QPrinter& APrinter, int AFirst, int ALast);
  // Writes the report by the extension: a .xlsx workbook, a .csv file, else
  // the .xls spreadsheet; returns the closing note shown to the user.
  QString ExportReport(const QString& AFileName);
  // True while a count runs; the page count follows when it ends.
  bool Counting() const;
  // The report shown (none while no controller is chosen: the page opens
  // on the first).
  const TDeviceReport* Report() const { return FReport.get(); }

  QComboBox* ComboDevice() const { return FComboDevice; }
  QDateEdit* PickerFirstDate() const { return FPickerFirstDate; }
  QTimeEdit* PickerFirstTime() const { return FPickerFirstTime; }
  QDateEdit* PickerLastDate() const { return FPickerLastDate; }
  QTimeEdit* PickerLastTime() const { return FPickerLastTime; }
  QComboBox* ComboPeriod() const { return FComboPeriod; }
  QCheckBox* CheckBox(int AIndex) const { return FCheckBoxes[AIndex]; } // PV .. EV3
  QPushButton* ButtonPrint() const { return FButtonPrint; }
  QPushButton* ButtonSetting() const { return FButtonSetting; }
  QPushButton* ButtonExport() const { return FButtonExport; }
  QPushButton* ButtonApprove() const { return FButtonApprove; }
  // Checks APassword as the logged-in user's and approves the report shown
  // with AMeaning ("Reviewed", "Approved"): an audit entry with the
  // digest of its rows, and "Approved by … at … (meaning)" on every sheet
  // printed of it. False with why in AError (a wrong password, no report).
  bool ApproveReport(const QString& APassword, const QString& AMeaning, QString& AError);
  // The approval of the report shown; empty when none.
  QString Approval() const { return FApproval; }
  TDqPageView* PageView() const { return FPageView; }

private:
  void SelectionChange();
  void StartCount(const TDeviceReportQuery& AQuery);
  void ButtonPrintClick();
  void ButtonSettingClick();
  void ButtonExportClick();
  void ButtonApproveClick();
  // The foot of the sheets printed now: the station, the user, the approval.
  TReportSheetFooter SheetFooter() const;
  void RememberSelection();
  bool RestoreSelection();
  double FirstTime() const;
  double LastTime() const;

  QComboBox* FComboDevice;
  QDateEdit* FPickerFirstDate;
  QTimeEdit* FPickerFirstTime;
  QDateEdit* FPickerLastDate;
  QTimeEdit* FPickerLastTime;
  QComboBox* FComboPeriod;
  QCheckBox* FCheckBoxes[7];
  QPushButton* FButtonPrint;
  QPushButton* FButtonSetting;
  QPushButton* FButtonExport;
  QPushButton* FButtonApprove;
  QString FApproval; // of the report counted last
  TDqPageView* FPageView;
  std::shared_ptr<TDeviceReport> FReport;
};
