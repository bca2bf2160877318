#include "Generate.h"

#include <cstdio>
#include <string>
#include <vector>

#include "CsvFormat.h"

namespace isort::app {

std::string CsvHeader(workloads::Workload workload) {
  return workload == workloads::Workload::W2 ? "c1,s1,c2,s2,c3,c4,c5,c6,c7,c8"
                                             : "c1,c2,c3,c4,c5,c6,c7,c8,c9,c10";
}

void AppendCsvRow(workloads::Workload workload, const OBS* row, std::string& out) {
  if (workload == workloads::Workload::W2) {
    AppendNumber(row[0], out);
    out += ',';
    AppendString(row + 1, 16, out);
    out += ',';
    AppendNumber(row[3], out);
    out += ',';
    AppendString(row + 4, 40, out);
    for (unsigned int u = 9; u < 15; ++u) {
      out += ',';
      AppendNumber(row[u], out);
    }
  } else {
    for (unsigned int u = 0; u < 10; ++u) {
      if (u != 0) out += ',';
      AppendNumber(row[u], out);
    }
  }
  out += '\n';
}

int GenerateCsv(workloads::Workload workload, std::uint64_t rows, std::FILE* out) {
  const workloads::Layout& layout = workloads::LayoutOf(workload);
  std::vector<OBS> row(layout.units);
  std::string text = CsvHeader(workload) + "\n";
  workloads::Generator generator(workload, rows != 0 ? rows : layout.defaultRows);
  while (generator.Next(row.data())) {
    AppendCsvRow(workload, row.data(), text);
    if (text.size() >= (1u << 20)) {
      if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return 3;
      text.clear();
    }
  }
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return 3;
  return std::fflush(out) == 0 ? 0 : 3;
}

}  // namespace isort::app
