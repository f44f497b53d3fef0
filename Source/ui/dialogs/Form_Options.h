// The Options window: a page tree on the left, the selected page on the
// right; pages are created on first selection and live as long as the
// window.
#pragma once

#include <QDialog>

#include <memory>

class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;
class TDqFrameList;

class TFormOptions : public QDialog {
  Q_OBJECT
public:
  explicit TFormOptions(QWidget* AOwner = nullptr);
  ~TFormOptions() override;

  QTreeWidget* TreeOptions() const { return FTreeOptions; }
  // The visible sheet's caption ("General", "Users", ...).
  QString ActivePageName() const;
  TDqFrameList* Frames() const { return FFrames.get(); }

private:
  void TreeOptionsClick();
  QWidget* SheetByCaption(const QString& ACaption) const;

  QTreeWidget* FTreeOptions;
  QStackedWidget* FPageOptions; // the tab sheets, tabs hidden
  std::unique_ptr<TDqFrameList> FFrames;
  // The settings as they were when the dialog opened: what changed while
  // it was open goes to the audit trail when it closes.
  std::unique_ptr<class TAuditedRecord> FAudit;
};
