#include "Progress.h"

#include <unistd.h>

#include <cstdio>

namespace isort::app {
namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

std::string Abbreviate(double value) {
  char text[32];
  if (value >= 1e9) {
    std::snprintf(text, sizeof text, "%.1fG", value / 1e9);
  } else if (value >= 1e6) {
    std::snprintf(text, sizeof text, "%.1fM", value / 1e6);
  } else if (value >= 1e3) {
    std::snprintf(text, sizeof text, "%.0fk", value / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f", value);
  }
  return text;
}

Progress::Progress(bool enabled) : enabled_(enabled) {}

Progress::~Progress() {
  if (active_) Finish();
}

bool Progress::StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool ShowProgress(ProgressMode mode) {
  if (mode == ProgressMode::kAuto) return Progress::StandardErrorIsTerminal();
  return mode == ProgressMode::kOn;
}

void Progress::Start(const std::string& phase, std::uint64_t total, const std::string& unit) {
  if (active_) Finish();
  phase_ = phase;
  unit_ = unit;
  total_ = total;
  done_ = 0;
  start_ = lastDraw_ = std::chrono::steady_clock::now();
  active_ = true;
  if (enabled_) Draw();
}

void Progress::Finish() {
  if (!active_) return;
  active_ = false;
  if (!enabled_) return;
  if (total_ != 0) done_ = total_;
  Draw();
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void Progress::MaybeDraw() {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  Draw();
}

void Progress::Draw() {
  const double elapsed = Seconds(std::chrono::steady_clock::now() - start_);
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  std::string line = "\r" + phase_;
  line.resize(12, ' ');
  if (total_ != 0) {
    const double fraction = std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_));
    const int filled = static_cast<int>(fraction * kBarWidth);
    line += "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3.0f%%  ", fraction * 100);
    line += percent;
    line += Abbreviate(static_cast<double>(done_)) + " of " +
            Abbreviate(static_cast<double>(total_)) + " " + unit_;
    if (rate > 0 && done_ < total_) {
      char left[32];
      std::snprintf(left, sizeof left, "  %.0fs left",
                    static_cast<double>(total_ - done_) / rate);
      line += "  " + Abbreviate(rate) + " " + unit_ + "/s" + left;
    }
  } else {
    line += Abbreviate(static_cast<double>(done_)) + " " + unit_;
    if (rate > 0) line += "  " + Abbreviate(rate) + " " + unit_ + "/s";
  }
  line += "\x1b[K";  // clear what a longer earlier line left
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace isort::app
