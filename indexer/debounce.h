// Changes wait until their path has been quiet for a while: an acquisition
// writes its data progressively, and a file is imported once, when it is done.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace indexer {

class Debouncer {
 public:
  using Clock = std::chrono::steady_clock;
  explicit Debouncer(Clock::duration quiet) : quiet_(quiet) {}

  // The path changed at `now`; it waits for another quiet period.
  void Touch(const std::string& path, Clock::time_point now) {
    lastChange_[path] = now;
    firstChange_.try_emplace(path, now);
  }
  // The paths quiet for long enough, taken out of the waiting ones. A path
  // that keeps changing is still taken after ten quiet periods, so a file
  // written for hours shows up while it grows.
  std::vector<std::string> TakeQuiet(Clock::time_point now);
  // When the next path becomes quiet, nothing when none waits.
  std::optional<Clock::time_point> NextDue() const;
  size_t Waiting() const { return lastChange_.size(); }
  // Every waiting path, taken out (a rescan covers them).
  void Clear() { lastChange_.clear(), firstChange_.clear(); }

 private:
  Clock::duration quiet_;
  std::map<std::string, Clock::time_point> lastChange_;
  std::map<std::string, Clock::time_point> firstChange_;
};

}  // namespace indexer
