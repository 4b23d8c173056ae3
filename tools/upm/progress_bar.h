// The progress line of a batch on a terminal:
//
//   [##########----------]   50/100   12.5/s  ETA 0:04
//
// RenderProgress makes the line; ProgressBar draws it in place (carriage
// return, erase to the end of the line) and clears it for other output.
// upm draws it only when stderr is a terminal.
//
// Thread safety: a ProgressBar belongs to one thread.
#ifndef USERPOLICY_TOOLS_UPM_PROGRESS_BAR_H_
#define USERPOLICY_TOOLS_UPM_PROGRESS_BAR_H_

#include <cstddef>
#include <ostream>
#include <string>

namespace upm {

// The line for `done` of `total` after `elapsed_seconds`, with a bar of
// `bar_width` cells: the rate is done / elapsed, the ETA (m:ss, or h:mm:ss
// from an hour) the rest at that rate; both are "-" until something is done
// and time has passed. No control characters.
// REQUIRES: done <= total, bar_width > 0.
std::string RenderProgress(size_t done, size_t total, double elapsed_seconds, int bar_width);

// "m:ss" (or "h:mm:ss" from an hour) of `seconds`, rounded up.
std::string FormatDuration(double seconds);

class ProgressBar {
 public:
  // Draws on `out`, which must outlive the bar.
  ProgressBar(std::ostream& out, size_t total);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Redraws the line.
  void Draw(size_t done, double elapsed_seconds);
  // Erases the line (before other output on the same terminal, and at the
  // end); the next Draw draws it again.
  void Clear();

 private:
  std::ostream& out_;
  size_t total_;
  bool drawn_ = false;
};

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_PROGRESS_BAR_H_
