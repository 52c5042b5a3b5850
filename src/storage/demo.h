#pragma once
// Demonstration data: a small, fully documented set for tests and trying the screens,
// and a large one (about 3.5 million rows) for load and scale tests. Both are
// deterministic: the same size gives the same rows on every run and backend.

#include "storage/database.h"

#include <string_view>

namespace fiscal::storage {

enum class DemoSize { Small, Large };

// "small" or "large"; throws std::invalid_argument for anything else.
DemoSize parseDemoSize(std::string_view text);

// Creates the schema if needed and fills it in one transaction. Refuses (Error, kind
// Other) a database that already holds fiscal groups, so real data is never mixed
// with the demo.
void populateDemo(Connection &c, DemoSize size);

// Fixed widths of the demo's supplier and client codes ("00000001").
inline constexpr int kDemoPartyCodeWidth = 8;

} // namespace fiscal::storage
