// isort generate: a standard workload as CSV, for benchmarks and tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "workloads/Workloads.h"

namespace isort::app {

std::string CsvHeader(workloads::Workload workload);
// Appends one row of `workload` as a CSV line.
void AppendCsvRow(workloads::Workload workload, const OBS* row, std::string& out);
// Writes the header and `rows` rows (0: the workload's own count) to `out`;
// returns 0, or 3 when writing failed.
int GenerateCsv(workloads::Workload workload, std::uint64_t rows, std::FILE* out);

}  // namespace isort::app
