#include "DqSQLiteGrid.h"

#include "store/DqSQLite.h"

#include <QDebug>
#include <QPainter>

#include <mutex>

namespace {

// Marks a widget whose drawing handler was installed by a cursor, so that
// unbinding removes only what the binding put there.
const char* const kBindingDraws = "dqBindingDraws";

// The cell's text; a failing cell shows its error instead of raising from
// inside a paint event, which would repeat on every repaint.
QString SafeCellText(TSQLiteTable* ATable, QObject* ASender, int ACol, int ARecord, bool& AFailed) {
  AFailed = false;
  try {
    return ATable->CellText(ASender, ACol, ARecord);
  } catch (const EDqException& e) {
    AFailed = true;
    qWarning("TERVOX: cannot show cell: %s", qPrintable(e.Message()));
    return e.Message();
  }
}

void DrawCentred(QPainter& ACanvas, const QRect& ACell, int ATop, const QString& AText, bool AFailed) {
  const int textWidth = ACanvas.fontMetrics().horizontalAdvance(AText);
  const int left = ACell.left() + (ACell.width() - textWidth) / 2;
  if (AFailed) ACanvas.setPen(Qt::red);
  ACanvas.drawText(left, ATop + ACanvas.fontMetrics().ascent(), AText);
}

void Attach(TSQLiteTable* ATable, QObject* AControl, bool AAttach) {
  if (auto* grid = qobject_cast<TDqDrawGrid*>(AControl)) {
    if (AAttach) {
      grid->SetBoundTable(ATable);
      UpdateGrid(ATable, grid);
    } else if (grid->BoundTable() == ATable) {
      grid->SetBoundTable(nullptr);
      if (grid->property(kBindingDraws).toBool()) {
        grid->setProperty(kBindingDraws, false);
        grid->SetOnDrawCell({});
      }
    }
  } else if (auto* listBox = qobject_cast<TDqListBox*>(AControl)) {
    if (AAttach) {
      listBox->SetBoundTable(ATable);
      UpdateListBox(ATable, listBox);
    } else if (listBox->BoundTable() == ATable) {
      listBox->SetBoundTable(nullptr);
      if (listBox->property(kBindingDraws).toBool()) {
        listBox->setProperty(kBindingDraws, false);
        listBox->SetOnDrawItem({});
      }
    }
  }
}

} // namespace

void UpdateGrid(TSQLiteTable* ATable, TDqDrawGrid* AGrid) {
  const int records = ATable->RecordCount();
  const int columns = ATable->ColumnDefs().Count();
  AGrid->SetRowCount(records > 0 ? records + 1 : 2);
  AGrid->SetColCount(std::max(columns, 1));
  for (int i = 0; i < columns; ++i) AGrid->SetColWidths(i, ATable->ColumnDefs().Items(i)->Width);
  if (!AGrid->OnDrawCell()) {
    AGrid->setProperty(kBindingDraws, true);
    AGrid->SetOnDrawCell([ATable](TDqDrawGrid* ASender, QPainter& ACanvas, int ACol, int ARow, const QRect& ARect,
                                  TGridDrawState AState) {
      GridDrawCell(ATable, ASender, ACanvas, ACol, ARow, ARect, AState);
    });
  }
  AGrid->viewport()->update();
}

void GridDrawCell(TSQLiteTable* ATable, TDqDrawGrid* AGrid, QPainter& ACanvas, int ACol, int ARow,
                  const QRect& ARect, TGridDrawState) {
  if (ACol < 0 || ACol >= ATable->ColumnDefs().Count()) return;
  if (ARow == 0) {
    QFont bold = ACanvas.font();
    bold.setBold(true);
    ACanvas.setFont(bold);
    DrawCentred(ACanvas, ARect, ARect.top() + 4, ATable->ColumnDefs().Items(ACol)->DisplayName, false);
    return;
  }
  if (ARow - 1 >= ATable->RecordCount()) return;
  bool failed;
  const QString text = SafeCellText(ATable, AGrid, ACol, ARow - 1, failed);
  DrawCentred(ACanvas, ARect, ARect.top() + 4, text, failed);
}

void UpdateListBox(TSQLiteTable* ATable, TDqListBox* AListBox) {
  AListBox->SetCount(ATable->RecordCount());
  if (!AListBox->OnDrawItem()) {
    AListBox->setProperty(kBindingDraws, true);
    AListBox->SetOnDrawItem([ATable](TDqListBox* ASender, QPainter& ACanvas, int AIndex, const QRect& ARect,
                                     TGridDrawState AState) {
      ListBoxDrawItem(ATable, ASender, ACanvas, AIndex, ARect, AState);
    });
  }
  AListBox->viewport()->update();
}

void ListBoxDrawItem(TSQLiteTable* ATable, TDqListBox* AListBox, QPainter& ACanvas, int AIndex, const QRect& ARect,
                     TGridDrawState AState) {
  const QPalette& pal = AListBox->palette();
  const bool selected = AState & gdSelected;
  ACanvas.fillRect(ARect, pal.color(selected ? QPalette::Highlight : QPalette::Base));
  ACanvas.setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
  if (AIndex >= ATable->RecordCount()) return;
  int left = ARect.left();
  for (int col = 0; col < ATable->ColumnDefs().Count(); ++col) {
    const int width = ATable->ColumnDefs().Items(col)->Width;
    const QRect cell(left, ARect.top(), width, ARect.height());
    bool failed;
    const QString text = SafeCellText(ATable, AListBox, col, AIndex, failed);
    ACanvas.save();
    ACanvas.setClipRect(cell);
    DrawCentred(ACanvas, cell, ARect.top(), text, failed);
    ACanvas.restore();
    left += width;
  }
  if (AState & gdFocused) {
    ACanvas.setPen(QPen(pal.color(QPalette::HighlightedText), 1, Qt::DotLine));
    ACanvas.setBrush(Qt::NoBrush);
    ACanvas.drawRect(ARect.adjusted(0, 0, -1, -1));
  }
}

void InstallSQLiteControlBinder() {
  static std::once_flag once;
  std::call_once(once, [] { TSQLiteTable::SetControlBinder(&Attach); });
}
