// `upm explain --dot`: the explain tree as a Graphviz graph. Each group is
// one node however often the walk met it; the edges are memberOf, the
// user's primary group is a labelled edge, and where a duplicate GUID or a
// cycle ended a branch the edge to the group already listed is dashed and
// labelled so. Render with `dot -Tsvg`.
#ifndef USERPOLICY_TOOLS_UPM_EXPLAIN_DOT_H_
#define USERPOLICY_TOOLS_UPM_EXPLAIN_DOT_H_

#include <string>

#include "tools/upm/explain_walk.h"

namespace upm {

// The graph of a found user; for one not found or failed, a graph with the
// address alone, labelled with the outcome.
std::string ExplainToDot(const ExplainResult& result);

// `text` as the inside of a DOT quoted string: '"' and '\' escaped,
// newlines as "\n".
std::string DotEscape(const std::string& text);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_EXPLAIN_DOT_H_
