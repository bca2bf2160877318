// The key columns that --by names.
//
// A --by value is a comma-separated list of COLUMN[:MODIFIER...]. COLUMN is
// a header name, "a quoted name" (a doubled quote inside stands for one), or
// #N for the Nth column; a plain number N names the column called N when
// the header has one, else the Nth column. MODIFIER is asc, desc, num or text;
// a colon suffix that is none of them belongs to the name.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace isort::app {

enum class KeyType { kAuto, kNumber, kText };

struct KeyColumn {
  std::size_t column = 0;  // from 0
  int direction = 1;       // +1 ascending, -1 descending
  KeyType type = KeyType::kAuto;
};

// The key columns of the --by values `lists` among the header's `names`
// (without a header: `names` empty, `columns` columns, named by number
// only); every column in order when `lists` is empty. `reverse` turns every
// direction. A column named twice counts once, at its first place. Throws
// BadInput (line 1) for a malformed list and an unknown or ambiguous column.
std::vector<KeyColumn> ParseKeyColumns(const std::vector<std::string>& lists,
                                       const std::vector<std::string>& names,
                                       std::size_t columns, bool reverse);

}  // namespace isort::app
