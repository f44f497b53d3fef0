#include "DqDrawGrid.h"

#include "store/DqSQLite.h"
#include "DqSQLiteGrid.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace {

void PaintHeaderBackground(QPainter& APainter, const QRect& ARect, const QPalette& APalette) {
  QLinearGradient gradient(ARect.topLeft(), ARect.bottomLeft());
  gradient.setColorAt(0, APalette.color(QPalette::Button).lighter(108));
  gradient.setColorAt(1, APalette.color(QPalette::Button).darker(106));
  APainter.fillRect(ARect, gradient);
}

} // namespace

// ----- TDqDrawGrid

TDqDrawGrid::TDqDrawGrid(QWidget* AParent) : QAbstractScrollArea(AParent), FColWidths(5, 64) {
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::StyledPanel);
  viewport()->setBackgroundRole(QPalette::Base);
  horizontalScrollBar()->setSingleStep(16);
  UpdateScrollBars();
  InstallSQLiteControlBinder();
}

TDqDrawGrid::~TDqDrawGrid() {
  // A cursor still painting this grid must forget it.
  if (FBoundTable) FBoundTable->DeleteControl(this);
}

void TDqDrawGrid::SetColCount(int AValue) {
  FColWidths.resize(std::max(AValue, 1), FDefaultColWidth);
  UpdateScrollBars();
  viewport()->update();
}

void TDqDrawGrid::SetRowCount(int AValue) {
  FRowCount = std::max(AValue, FFixedRows + 1);
  FRow = std::clamp(FRow, FFixedRows, FRowCount - 1);
  FAnchor = std::clamp(FAnchor, FFixedRows, FRowCount - 1);
  UpdateScrollBars();
  viewport()->update();
}

void TDqDrawGrid::SetFixedRows(int AValue) {
  FFixedRows = std::max(AValue, 0);
  SetRowCount(FRowCount);
}

int TDqDrawGrid::ColWidths(int ACol) const {
  return ACol >= 0 && ACol < ColCount() ? FColWidths[ACol] : FDefaultColWidth;
}

void TDqDrawGrid::SetColWidths(int ACol, int AWidth) {
  if (ACol < 0 || ACol >= ColCount()) return;
  FColWidths[ACol] = std::max(AWidth, 0);
  UpdateScrollBars();
  viewport()->update();
}

void TDqDrawGrid::SetDefaultRowHeight(int AValue) {
  FDefaultRowHeight = std::max(AValue, 8);
  UpdateScrollBars();
  viewport()->update();
}

void TDqDrawGrid::SetRow(int ARow) { MoveTo(ARow, false); }

TDqDrawGrid::TGridRect TDqDrawGrid::Selection() const {
  return TGridRect{std::min(FRow, FAnchor), std::max(FRow, FAnchor)};
}

bool TDqDrawGrid::IsRowSelected(int ARow) const {
  const TGridRect selection = Selection();
  return ARow >= selection.Top && ARow <= selection.Bottom;
}

void TDqDrawGrid::SetOnDrawCell(TDrawCellEvent AHandler) {
  FOnDrawCell = std::move(AHandler);
  viewport()->update();
}

int TDqDrawGrid::FirstScrollRow() const { return FFixedRows + verticalScrollBar()->value(); }

int TDqDrawGrid::VisibleScrollRows() const {
  return std::max(1, (viewport()->height() - FFixedRows * FDefaultRowHeight) / FDefaultRowHeight);
}

QRect TDqDrawGrid::CellRect(int ACol, int ARow) const {
  if (ACol < 0 || ACol >= ColCount() || ARow < 0 || ARow >= FRowCount) return QRect();
  int left = -horizontalScrollBar()->value();
  for (int c = 0; c < ACol; ++c) left += FColWidths[c];
  int top;
  if (ARow < FFixedRows) {
    top = ARow * FDefaultRowHeight;
  } else {
    if (ARow < FirstScrollRow()) return QRect();
    top = (FFixedRows + ARow - FirstScrollRow()) * FDefaultRowHeight;
  }
  return QRect(left, top, FColWidths[ACol], FDefaultRowHeight);
}

bool TDqDrawGrid::MouseToCell(const QPoint& APos, int& ACol, int& ARow) const {
  ACol = -1;
  ARow = -1;
  const int line = APos.y() / FDefaultRowHeight;
  if (APos.y() < 0) return false;
  ARow = line < FFixedRows ? line : FirstScrollRow() + line - FFixedRows;
  int x = APos.x() + horizontalScrollBar()->value();
  for (int c = 0; c < ColCount(); ++c) {
    if (x < FColWidths[c]) {
      ACol = c;
      break;
    }
    x -= FColWidths[c];
  }
  if (ARow >= FRowCount) ARow = -1;
  return ACol >= 0 && ARow >= 0;
}

void TDqDrawGrid::UpdateScrollBars() {
  int total = 0;
  for (int width : FColWidths) total += width;
  horizontalScrollBar()->setRange(0, std::max(0, total - viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
  const int scrollRows = FRowCount - FFixedRows;
  verticalScrollBar()->setRange(0, std::max(0, scrollRows - VisibleScrollRows()));
  verticalScrollBar()->setPageStep(VisibleScrollRows());
}

void TDqDrawGrid::EnsureVisible(int ARow) {
  if (ARow < FFixedRows) return;
  const int index = ARow - FFixedRows;
  QScrollBar* bar = verticalScrollBar();
  if (index < bar->value()) bar->setValue(index);
  else if (index >= bar->value() + VisibleScrollRows()) bar->setValue(index - VisibleScrollRows() + 1);
}

void TDqDrawGrid::MoveTo(int ARow, bool AExtend) {
  if (FRowCount <= FFixedRows) return;
  ARow = std::clamp(ARow, FFixedRows, FRowCount - 1);
  const bool changed = ARow != FRow;
  FRow = ARow;
  if (!AExtend || !FRangeSelect) FAnchor = ARow;
  EnsureVisible(ARow);
  viewport()->update();
  if (changed) emit RowChanged(FRow);
}

void TDqDrawGrid::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QPalette& pal = palette();
  const QFont baseFont = font();
  const int lastRow = std::min(FRowCount - 1, FirstScrollRow() + VisibleScrollRows());
  auto paintRow = [&](int ARow) {
    for (int col = 0; col < ColCount(); ++col) {
      const QRect rect = CellRect(col, ARow);
      if (rect.isEmpty() || rect.right() < 0 || rect.left() > viewport()->width()) continue;
      TGridDrawState state = 0;
      if (ARow < FFixedRows) {
        state |= gdFixed;
        PaintHeaderBackground(painter, rect, pal);
      } else if (IsRowSelected(ARow)) {
        state |= gdSelected;
        if (ARow == FRow && hasFocus()) state |= gdFocused;
        painter.fillRect(rect, pal.color(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::Highlight));
      } else {
        painter.fillRect(rect, (ARow - FFixedRows) % 2 ? pal.color(QPalette::AlternateBase) : pal.color(QPalette::Base));
      }
      painter.setPen(pal.color(QPalette::Mid));
      painter.drawLine(rect.topRight(), rect.bottomRight());
      painter.drawLine(rect.bottomLeft(), rect.bottomRight());
      if (FOnDrawCell) {
        painter.save();
        painter.setClipRect(rect);
        painter.setFont(baseFont);
        painter.setPen(pal.color((state & gdSelected) ? QPalette::HighlightedText : QPalette::Text));
        FOnDrawCell(this, painter, col, ARow, rect, state);
        painter.restore();
      }
    }
  };
  for (int row = FirstScrollRow(); row <= lastRow; ++row) paintRow(row);
  for (int row = 0; row < FFixedRows && row < FRowCount; ++row) paintRow(row);
  if (hasFocus() && FRow >= FFixedRows) {
    QRect rowRect = CellRect(0, FRow);
    if (!rowRect.isEmpty()) {
      rowRect.setRight(CellRect(ColCount() - 1, FRow).right());
      painter.setPen(QPen(pal.color(QPalette::HighlightedText), 1, Qt::DotLine));
      painter.setBrush(Qt::NoBrush);
      painter.drawRect(rowRect.adjusted(0, 0, -1, -1));
    }
  }
}

void TDqDrawGrid::mousePressEvent(QMouseEvent* AEvent) {
  setFocus(Qt::MouseFocusReason);
  int col, row;
  if (AEvent->button() == Qt::LeftButton && MouseToCell(AEvent->position().toPoint(), col, row) && row >= FFixedRows)
    MoveTo(row, AEvent->modifiers() & Qt::ShiftModifier);
}

void TDqDrawGrid::mouseMoveEvent(QMouseEvent* AEvent) {
  int col, row;
  if ((AEvent->buttons() & Qt::LeftButton) && FRangeSelect &&
      MouseToCell(AEvent->position().toPoint(), col, row) && row >= FFixedRows)
    MoveTo(row, true);
}

void TDqDrawGrid::mouseDoubleClickEvent(QMouseEvent* AEvent) {
  int col, row;
  if (AEvent->button() != Qt::LeftButton || !MouseToCell(AEvent->position().toPoint(), col, row)) return;
  if (row >= FFixedRows) MoveTo(row, false);
  emit DblClick();
}

void TDqDrawGrid::keyPressEvent(QKeyEvent* AEvent) {
  const bool extend = AEvent->modifiers() & Qt::ShiftModifier;
  switch (AEvent->key()) {
  case Qt::Key_Up: MoveTo(FRow - 1, extend); break;
  case Qt::Key_Down: MoveTo(FRow + 1, extend); break;
  case Qt::Key_PageUp: MoveTo(FRow - VisibleScrollRows(), extend); break;
  case Qt::Key_PageDown: MoveTo(FRow + VisibleScrollRows(), extend); break;
  case Qt::Key_Home: MoveTo(FFixedRows, extend); break;
  case Qt::Key_End: MoveTo(FRowCount - 1, extend); break;
  default: QAbstractScrollArea::keyPressEvent(AEvent); return;
  }
  AEvent->accept();
}

bool TDqDrawGrid::viewportEvent(QEvent* AEvent) {
  // The scroll ranges depend on the viewport, which is sized after the area.
  if (AEvent->type() == QEvent::Resize) UpdateScrollBars();
  return QAbstractScrollArea::viewportEvent(AEvent);
}

QSize TDqDrawGrid::sizeHint() const { return QSize(320, 200); }

// ----- TDqListBox

TDqListBox::TDqListBox(QWidget* AParent) : QAbstractScrollArea(AParent) {
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::StyledPanel);
  viewport()->setBackgroundRole(QPalette::Base);
  UpdateScrollBars();
  InstallSQLiteControlBinder();
}

TDqListBox::~TDqListBox() {
  if (FBoundTable) FBoundTable->DeleteControl(this);
}

void TDqListBox::SetCount(int AValue) {
  FCount = std::max(AValue, 0);
  if (FItemIndex >= FCount) FItemIndex = FCount - 1;
  UpdateScrollBars();
  viewport()->update();
}

void TDqListBox::SetItemHeight(int AValue) {
  FItemHeight = std::max(AValue, 8);
  UpdateScrollBars();
  viewport()->update();
}

void TDqListBox::SetItemIndex(int AValue) {
  AValue = std::clamp(AValue, -1, FCount - 1);
  if (AValue == FItemIndex) return;
  FItemIndex = AValue;
  if (AValue >= 0) {
    QScrollBar* bar = verticalScrollBar();
    const int visible = std::max(1, viewport()->height() / FItemHeight);
    if (AValue < bar->value()) bar->setValue(AValue);
    else if (AValue >= bar->value() + visible) bar->setValue(AValue - visible + 1);
  }
  viewport()->update();
  emit ItemIndexChanged(FItemIndex);
}

QRect TDqListBox::ItemRect(int AIndex) const {
  if (AIndex < 0 || AIndex >= FCount) return QRect();
  return QRect(0, (AIndex - verticalScrollBar()->value()) * FItemHeight, viewport()->width(), FItemHeight);
}

void TDqListBox::SetOnDrawItem(TDrawItemEvent AHandler) {
  FOnDrawItem = std::move(AHandler);
  viewport()->update();
}

void TDqListBox::UpdateScrollBars() {
  const int visible = std::max(1, viewport()->height() / FItemHeight);
  verticalScrollBar()->setRange(0, std::max(0, FCount - visible));
  verticalScrollBar()->setPageStep(visible);
}

void TDqListBox::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QPalette& pal = palette();
  const int first = verticalScrollBar()->value();
  const int last = std::min(FCount - 1, first + viewport()->height() / FItemHeight + 1);
  for (int i = first; i <= last; ++i) {
    const QRect rect = ItemRect(i);
    TGridDrawState state = 0;
    if (i == FItemIndex) state |= gdSelected | (hasFocus() ? gdFocused : 0u);
    painter.save();
    painter.setClipRect(rect);
    painter.setPen(pal.color((state & gdSelected) ? QPalette::HighlightedText : QPalette::Text));
    if (FOnDrawItem) FOnDrawItem(this, painter, i, rect, state);
    painter.restore();
  }
}

void TDqListBox::mousePressEvent(QMouseEvent* AEvent) {
  setFocus(Qt::MouseFocusReason);
  const int index = verticalScrollBar()->value() + static_cast<int>(AEvent->position().y()) / FItemHeight;
  if (AEvent->button() == Qt::LeftButton && index < FCount) SetItemIndex(index);
}

void TDqListBox::keyPressEvent(QKeyEvent* AEvent) {
  switch (AEvent->key()) {
  case Qt::Key_Up: SetItemIndex(std::max(0, FItemIndex - 1)); break;
  case Qt::Key_Down: SetItemIndex(FItemIndex + 1); break;
  case Qt::Key_Home: SetItemIndex(0); break;
  case Qt::Key_End: SetItemIndex(FCount - 1); break;
  default: QAbstractScrollArea::keyPressEvent(AEvent); return;
  }
  AEvent->accept();
}

bool TDqListBox::viewportEvent(QEvent* AEvent) {
  // The scroll ranges depend on the viewport, which is sized after the area.
  if (AEvent->type() == QEvent::Resize) UpdateScrollBars();
  return QAbstractScrollArea::viewportEvent(AEvent);
}
