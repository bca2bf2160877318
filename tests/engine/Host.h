// The host's side of a sortfile_ call: rows in from a data set, rows out into
// a vector, and callbacks that return a chosen result, or throw, at a chosen
// row.
#pragma once

#include <functional>

#include "Oracle.h"
#include "isort/sortfile.h"

namespace isort::testing {

struct Host {
  // The keys as the host passes them: column-major, positions from 1, and
  // `directions` in the host's codes (by default the keys' own).
  explicit Host(const DataSet& set, const std::vector<SI>& directions = {})
      : set(&set), keys(3 * set.keys.size()) {
    const std::size_t n = set.keys.size();
    for (std::size_t k = 0; k < n; ++k) {
      keys[k] = set.keys[k].position + 1;
      keys[n + k] = k < directions.size() ? directions[k] : set.keys[k].direction;
      keys[2 * n + k] = set.keys[k].width;
    }
    output.reserve(set.rows.size());  // the put callback allocates nothing
  }

  static INTEGER Get(void* context, OBS* row, const INTEGER& nvars) {
    Host& host = *static_cast<Host*>(context);
    if (host.next == host.getFailsAt) host.getFault();
    if (host.next == host.set->RowCount()) return 1;
    // The row is filled whatever the result: sortfile_ decides from the
    // result alone whether it counts.
    std::memcpy(row, host.set->Row(host.next), static_cast<std::size_t>(nvars) * sizeof(OBS));
    return host.next++ == host.getResultAt ? host.getResult : 0;
  }
  // Keeps the row only when it returns 0.
  static INTEGER Put(void* context, const OBS* row, const INTEGER& nvars) {
    Host& host = *static_cast<Host*>(context);
    const INTEGER result = host.puts++ == host.putResultAt ? host.putResult : 0;
    if (result == 0) host.output.insert(host.output.end(), row, row + nvars);
    return result;
  }

  // Arguments 7 to 9 hold values that sortfile_ must not read.
  INTEGER Sort() {
    const INTEGER nvars = set->units, nukeys = static_cast<INTEGER>(keys.size() / 3), unused7 = 9;
    const LOGICAL unused8 = -1, unused9 = 42;
    return sortfile_(this, &Get, &Put, nvars, keys.data(), nukeys, unused7, unused8, unused9,
                     flag10, count11);
  }

  const DataSet* set;
  std::vector<SI> keys;
  std::vector<OBS> output;
  std::size_t next = 0, puts = 0;  // calls of the get (that filled a row) and put callbacks
  std::size_t getFailsAt = SIZE_MAX, getResultAt = SIZE_MAX, putResultAt = SIZE_MAX;
  std::function<void()> getFault;         // what the get callback throws at getFailsAt
  INTEGER getResult = -1, putResult = 9;  // what they return at getResultAt and putResultAt
  LOGICAL flag10 = 77;
  INTEGER count11 = 77;
};

}  // namespace isort::testing
