#include "vorn/Errors.h"

#include <cstdio>
#include <utility>

ErrorText::ErrorText() : kind_(kNone), detail_(0) {}

ErrorText::ErrorText(std::string text, unsigned char kind, std::int64_t detail)
    : text_(std::move(text)), kind_(kind), detail_(detail) {}

void Reporter(const char* text, int /*kind*/) {
  std::fprintf(stderr, "isort: %s\n", text);
  std::fflush(stderr);
}

VornErrorMonitor::VornErrorMonitor(VornReportFunction report) : report_(report) {}

VornErrorMonitor::~VornErrorMonitor() = default;

void VornErrorMonitor::Report(ErrorText error) {
  if (report_ != nullptr) report_(error.Text().c_str(), error.Kind());
}
