// A progress bar on standard error, shown only when standard error is a
// terminal: "reading  [#####.....]  52%  1.2M of 2.3M rows  850k rows/s  1s left".
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace isort::app {

// --progress, --no-progress, or neither (draw on a terminal only).
enum class ProgressMode { kAuto, kOn, kOff };

class Progress {
 public:
  // `enabled`: draw at all (false off a terminal).
  explicit Progress(bool enabled);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // True when standard error is a terminal.
  static bool StandardErrorIsTerminal();

  // Starts a phase: `total` units expected (0 when unknown), named `unit`.
  void Start(const std::string& phase, std::uint64_t total, const std::string& unit);
  // Sets how many units are done; cheap enough to call for every row.
  void Update(std::uint64_t done) {
    done_ = done;
    if (enabled_ && (done & 0x3FFF) == 0) MaybeDraw();
  }
  // Draws the phase at its end and moves to a new line.
  void Finish();

 private:
  void MaybeDraw();
  void Draw();

  bool enabled_;
  bool active_ = false;
  std::string phase_;
  std::string unit_;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// Whether to draw for `mode`.
bool ShowProgress(ProgressMode mode);

// "1.2M", "850k", "12".
std::string Abbreviate(double value);

}  // namespace isort::app
