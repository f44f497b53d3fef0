// The widget side of cursor binding: a TSQLiteTable paints the draw grids
// and list boxes bound to it (AddControl) from its column definitions.
#pragma once

#include "DqDrawGrid.h"

class QPainter;
class QRect;
class TSQLiteTable;

// Row count = records + 1 (at least 2), one column per definition, column
// widths from the definitions; installs GridDrawCell when the grid has no
// drawing handler of its own; repaints.
void UpdateGrid(TSQLiteTable* ATable, TDqDrawGrid* AGrid);
// Header row: the column's display name in bold; row r: record r - 1.
void GridDrawCell(TSQLiteTable* ATable, TDqDrawGrid* AGrid, QPainter& ACanvas, int ACol, int ARow,
                  const QRect& ARect, TGridDrawState AState);
// Count = records; installs ListBoxDrawItem when the box has no handler.
void UpdateListBox(TSQLiteTable* ATable, TDqListBox* AListBox);
void ListBoxDrawItem(TSQLiteTable* ATable, TDqListBox* AListBox, QPainter& ACanvas, int AIndex, const QRect& ARect,
                     TGridDrawState AState);

// Registers the binder with TSQLiteTable (once; the widgets call it).
void InstallSQLiteControlBinder();
