// The order in which a tree goes into the stream. The directory lists the
// entries in stream order, so the installer reads every stream forward.
#pragma once

#include <vector>

#include "packer/source_tree.h"

namespace jov {

// Every folder first, as scanned (a folder's record before anything inside
// it), then the files: grouped by extension and path, and chained by
// likeness of content, so that near-identical files (versions of one
// library) follow each other and repeat within a match's reach. The sketches
// of likeness read a few slices of every file; above a few thousand files
// only the grouping applies.
void orderForPacking(std::vector<SourceEntry>& entries);

}  // namespace jov
