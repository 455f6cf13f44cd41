#include "indexer/debounce.h"

namespace indexer {

std::vector<std::string> Debouncer::TakeQuiet(Clock::time_point now) {
  std::vector<std::string> quiet;
  for (auto it = lastChange_.begin(); it != lastChange_.end();) {
    const Clock::time_point first = firstChange_.at(it->first);
    if (now - it->second >= quiet_ || now - first >= 10 * quiet_) {
      quiet.push_back(it->first);
      firstChange_.erase(it->first);
      it = lastChange_.erase(it);
    } else {
      ++it;
    }
  }
  return quiet;
}

std::optional<Debouncer::Clock::time_point> Debouncer::NextDue() const {
  std::optional<Clock::time_point> next;
  for (const auto& [path, last] : lastChange_) {
    Clock::time_point due = last + quiet_;
    if (auto first = firstChange_.find(path); first != firstChange_.end()) due = std::min(due, first->second + 10 * quiet_);
    if (!next || due < *next) next = due;
  }
  return next;
}

}  // namespace indexer
