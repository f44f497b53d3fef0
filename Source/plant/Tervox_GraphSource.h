// Controllers as the graph engine sees them: what a line plots, looked up
// by controller ID in the controller list, or in the Device table where no
// list is loaded (programs without polling).
#pragma once

#include "graph/DqGraph.h"

#include <memory>

class TSQLiteDatabase;
class TTervoxValueTypes;

// The controller of AID as a graph source; nullptr when the list has none.
std::shared_ptr<TDqGraphSource> GraphSourceOf(int AID);

// The controllers of ADatabase's Device table as they are now, with the
// decimals of each one's newest reading.
TDqGraphSourceResolver GraphSourcesOfDatabase(TSQLiteDatabase& ADatabase);

// Binds a history profile's lines to their controllers: each line whose
// controller AResolver finds takes its ID and name, and the value type's
// name in brackets as its detail ("[PV]"); the others keep theirs and are
// not drawn.
void BindGraphLines(TDqTrendGraph& AGraph, const TDqGraphSourceResolver& AResolver, const TTervoxValueTypes* ATypes);
