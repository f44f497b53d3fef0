// Owner-drawn grid and list box: the widgets get their cells painted by a
// handler (the database binding, or a page of its own).
#pragma once

#include <QAbstractScrollArea>

#include <functional>
#include <vector>

class QPainter;
class TSQLiteTable;

enum TGridDrawFlag : unsigned { gdSelected = 1, gdFocused = 2, gdFixed = 4 };
using TGridDrawState = unsigned;

// A grid of ColCount x RowCount cells; the first FixedRows rows are a
// header that does not scroll. Rows are selected whole; with RangeSelect
// a contiguous range (Selection().Top..Bottom) can be selected.
class TDqDrawGrid : public QAbstractScrollArea {
  Q_OBJECT
public:
  using TDrawCellEvent = std::function<void(TDqDrawGrid* ASender, QPainter& ACanvas, int ACol, int ARow,
                                            const QRect& ARect, TGridDrawState AState)>;
  struct TGridRect {
    int Top = 1;
    int Bottom = 1;
  };

  explicit TDqDrawGrid(QWidget* AParent = nullptr);
  ~TDqDrawGrid() override;

  int ColCount() const { return static_cast<int>(FColWidths.size()); }
  void SetColCount(int AValue);
  int RowCount() const { return FRowCount; }
  void SetRowCount(int AValue);
  int FixedRows() const { return FFixedRows; }
  void SetFixedRows(int AValue);
  int ColWidths(int ACol) const;
  void SetColWidths(int ACol, int AWidth);
  int DefaultColWidth() const { return FDefaultColWidth; }
  int DefaultRowHeight() const { return FDefaultRowHeight; }
  void SetDefaultRowHeight(int AValue);
  bool RangeSelect() const { return FRangeSelect; }
  void SetRangeSelect(bool AValue) { FRangeSelect = AValue; }

  // The current row (the focused one) and the selected range.
  int Row() const { return FRow; }
  void SetRow(int ARow);
  TGridRect Selection() const;
  bool IsRowSelected(int ARow) const;

  QRect CellRect(int ACol, int ARow) const; // viewport coordinates
  bool MouseToCell(const QPoint& APos, int& ACol, int& ARow) const;

  const TDrawCellEvent& OnDrawCell() const { return FOnDrawCell; }
  void SetOnDrawCell(TDrawCellEvent AHandler);
  // Set by the database binding while a cursor paints this grid.
  TSQLiteTable* BoundTable() const { return FBoundTable; }
  void SetBoundTable(TSQLiteTable* ATable) { FBoundTable = ATable; }

signals:
  void DblClick();
  void RowChanged(int ARow);

protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseMoveEvent(QMouseEvent* AEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* AEvent) override;
  void keyPressEvent(QKeyEvent* AEvent) override;
  bool viewportEvent(QEvent* AEvent) override;
  QSize sizeHint() const override;

private:
  void UpdateScrollBars();
  void MoveTo(int ARow, bool AExtend);
  void EnsureVisible(int ARow);
  int FirstScrollRow() const;
  int VisibleScrollRows() const;

  std::vector<int> FColWidths;
  int FRowCount = 2;
  int FFixedRows = 1;
  int FDefaultColWidth = 64;
  int FDefaultRowHeight = 24;
  bool FRangeSelect = false;
  int FRow = 1;
  int FAnchor = 1;
  TDrawCellEvent FOnDrawCell;
  TSQLiteTable* FBoundTable = nullptr; // not owned
};

// A virtual list box: Count items painted by OnDrawItem, one selectable.
class TDqListBox : public QAbstractScrollArea {
  Q_OBJECT
public:
  using TDrawItemEvent = std::function<void(TDqListBox* ASender, QPainter& ACanvas, int AIndex, const QRect& ARect,
                                            TGridDrawState AState)>;
  explicit TDqListBox(QWidget* AParent = nullptr);
  ~TDqListBox() override;

  int Count() const { return FCount; }
  void SetCount(int AValue);
  int ItemHeight() const { return FItemHeight; }
  void SetItemHeight(int AValue);
  int ItemIndex() const { return FItemIndex; }
  void SetItemIndex(int AValue);
  QRect ItemRect(int AIndex) const; // viewport coordinates

  const TDrawItemEvent& OnDrawItem() const { return FOnDrawItem; }
  void SetOnDrawItem(TDrawItemEvent AHandler);
  TSQLiteTable* BoundTable() const { return FBoundTable; }
  void SetBoundTable(TSQLiteTable* ATable) { FBoundTable = ATable; }

signals:
  void ItemIndexChanged(int AIndex);

protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void mousePressEvent(QMouseEvent* AEvent) override;
  void keyPressEvent(QKeyEvent* AEvent) override;
  bool viewportEvent(QEvent* AEvent) override;

private:
  void UpdateScrollBars();

  int FCount = 0;
  int FItemHeight = 20;
  int FItemIndex = -1;
  TDrawItemEvent FOnDrawItem;
  TSQLiteTable* FBoundTable = nullptr; // not owned
};
