#include "tools/upm/progress_bar.h"

#include <cmath>
#include <cstdio>

namespace upm {
namespace {

constexpr int kBarWidth = 30;
constexpr char kEraseLine[] = "\r\033[K";

}  // namespace

std::string FormatDuration(double seconds) {
  const long long total = static_cast<long long>(std::ceil(seconds < 0 ? 0 : seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

std::string RenderProgress(size_t done, size_t total, double elapsed_seconds, int bar_width) {
  const size_t width = static_cast<size_t>(bar_width);
  const size_t filled = total == 0 ? width : done * width / total;
  std::string line = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";

  const std::string total_text = std::to_string(total);
  std::string done_text = std::to_string(done);
  if (done_text.size() < total_text.size()) done_text.insert(0, total_text.size() - done_text.size(), ' ');
  line += "  " + done_text + "/" + total_text;

  char rate[32] = "-";
  std::string eta = "-";
  if (done > 0 && elapsed_seconds > 0) {
    const double per_second = static_cast<double>(done) / elapsed_seconds;
    std::snprintf(rate, sizeof rate, "%.1f", per_second);
    eta = FormatDuration(static_cast<double>(total - done) / per_second);
  }
  line += "  " + std::string(rate) + "/s  ETA " + eta;
  return line;
}

ProgressBar::ProgressBar(std::ostream& out, size_t total) : out_(out), total_(total) {}

ProgressBar::~ProgressBar() { Clear(); }

void ProgressBar::Draw(size_t done, double elapsed_seconds) {
  out_ << kEraseLine << RenderProgress(done, total_, elapsed_seconds, kBarWidth) << std::flush;
  drawn_ = true;
}

void ProgressBar::Clear() {
  if (!drawn_) return;
  out_ << kEraseLine << std::flush;
  drawn_ = false;
}

}  // namespace upm
