#include "Options.h"

#include <cmath>
#include <cstdlib>

namespace isort::app {

std::uint64_t ParseSize(const std::string& text) {
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  double scale = 1;
  std::string suffix(end);
  if (suffix.size() > 1 && (suffix.back() == 'B' || suffix.back() == 'b')) suffix.pop_back();
  if (suffix == "K" || suffix == "k") scale = 1024.0;
  else if (suffix == "M" || suffix == "m") scale = 1024.0 * 1024;
  else if (suffix == "G" || suffix == "g") scale = 1024.0 * 1024 * 1024;
  else if (suffix == "T" || suffix == "t") scale = 1024.0 * 1024 * 1024 * 1024;
  else if (!suffix.empty()) throw UsageError("not a size: '" + text + "' (try 512M or 2G)");
  if (end == text.c_str() || !(number > 0) || !std::isfinite(number * scale)) {
    throw UsageError("not a size: '" + text + "' (try 512M or 2G)");
  }
  return static_cast<std::uint64_t>(number * scale);
}

std::uint64_t ParseCount(const std::string& text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value == 0 || text[0] == '-') {
    throw UsageError("not a positive number: '" + text + "'");
  }
  return value;
}

Arguments::Arguments(int argc, char** argv, int first)
    : args_(argv + first, argv + argc), used_(args_.size(), false) {}

std::optional<std::string> Arguments::Value(const std::string& name,
                                            const std::string& shortName) {
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (used_[i]) continue;
    const std::string& arg = args_[i];
    if (arg == "--") break;
    if (arg == name || (!shortName.empty() && arg == shortName)) {
      if (i + 1 >= args_.size()) throw UsageError(arg + " needs a value");
      used_[i] = used_[i + 1] = true;
      return args_[i + 1];
    }
    if (arg.rfind(name + "=", 0) == 0) {
      used_[i] = true;
      return arg.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

bool Arguments::Flag(const std::string& name) {
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (args_[i] == "--") break;
    if (!used_[i] && args_[i] == name) {
      used_[i] = true;
      return true;
    }
  }
  return false;
}

std::vector<std::string> Arguments::Positional() {
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (used_[i]) continue;
    const std::string& arg = args_[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  return positional;
}

}  // namespace isort::app
