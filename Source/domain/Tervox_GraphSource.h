// Controllers as the graph engine sees them: what a line plots, looked up
// by controller ID in the controller list.
#pragma once

#include "Engine/DqGraph.h"

#include <memory>

// The controller of AID as a graph source; nullptr when the list has none.
std::shared_ptr<TDqGraphSource> GraphSourceOf(int AID);
