#include "platform/metadata/document_checks.h"

#include <algorithm>
#include <system_error>

namespace metadata {

DocumentChecks::DocumentChecks(Check check, size_t firstCount, std::function<void(const DocSet&)> deliverFirst)
    : check_(std::move(check)), firstCount_(firstCount), deliverFirst_(std::move(deliverFirst)) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  try {
    for (unsigned i = 1; i < cores; ++i) helpers_.emplace_back([this] { Help(); });
  } catch (const std::system_error&) {  // fewer helpers, or none: the searching thread checks the rest
  }
}

DocumentChecks::~DocumentChecks() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  waiting_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

bool DocumentChecks::CheckItem(const Item& item, size_t& checked) const {
  for (const std::optional<std::string>& molecule : item.molecules) {
    ++checked;
    if (molecule && check_(*molecule)) return true;
  }
  return false;
}

void DocumentChecks::Decide(size_t index, bool matched, size_t checked) {
  outcome_[index] = matched ? 1 : 0;
  checked_ += checked;
  --open_;
}

void DocumentChecks::Help() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    waiting_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    size_t checked = 0;
    bool matched = false;
    std::exception_ptr failure;
    try {
      matched = CheckItem(item, checked);
    } catch (...) {
      failure = std::current_exception();
    }
    item.molecules.clear();  // freed before the lock is taken again
    lock.lock();
    if (failure && !failure_) failure_ = failure;
    Decide(item.index, matched, checked);
    decided_.notify_all();
  }
}

void DocumentChecks::CheckOneHere(std::unique_lock<std::mutex>& lock) {
  Item item = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  size_t checked = 0;
  bool matched = false;
  try {
    matched = CheckItem(item, checked);
  } catch (...) {
    lock.lock();
    Decide(item.index, false, checked);
    throw;
  }
  item.molecules.clear();
  lock.lock();
  Decide(item.index, matched, checked);
}

void DocumentChecks::DeliverWhatIsDecided(std::unique_lock<std::mutex>& lock) {
  while (decidedPrefix_ < outcome_.size() && outcome_[decidedPrefix_] >= 0) {
    if (outcome_[decidedPrefix_] == 1) found_.push_back(docs_[decidedPrefix_]);
    ++decidedPrefix_;
  }
  if (!deliverFirst_ || found_.size() < firstCount_) return;
  const DocSet first(found_.begin(), found_.begin() + std::ptrdiff_t(firstCount_));
  auto deliver = std::move(deliverFirst_);
  deliverFirst_ = nullptr;
  lock.unlock();  // the receiver may take its time
  deliver(first);
  lock.lock();
}

void DocumentChecks::Add(std::int64_t doc, std::vector<std::optional<std::string>> molecules) {
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(Item{docs_.size(), std::move(molecules)});
  docs_.push_back(doc);
  outcome_.push_back(-1);
  ++open_;
  waiting_.notify_one();
  // Far ahead of the helpers (or with none): this thread checks too, so that
  // what waits stays small.
  while (queue_.size() > kMostWaiting) CheckOneHere(lock);
  DeliverWhatIsDecided(lock);
}

// Checks here, beside the helpers, until every document handed in is
// decided; with `untilDelivered`, only until the first documents are delivered.
void DocumentChecks::CheckWhatIsOpen(std::unique_lock<std::mutex>& lock, bool untilDelivered) {
  while (open_ > 0) {
    if (!queue_.empty())
      CheckOneHere(lock);
    else
      decided_.wait(lock);
    DeliverWhatIsDecided(lock);
    if (untilDelivered && !deliverFirst_) return;  // the rest may wait for the next piece
  }
}

void DocumentChecks::Settle() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (deliverFirst_) CheckWhatIsOpen(lock, /*untilDelivered=*/true);
}

DocSet DocumentChecks::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  CheckWhatIsOpen(lock, /*untilDelivered=*/false);
  DeliverWhatIsDecided(lock);
  if (failure_) std::rethrow_exception(failure_);
  if (deliverFirst_) {
    auto deliver = std::move(deliverFirst_);
    deliverFirst_ = nullptr;
    lock.unlock();
    deliver(found_);
    lock.lock();
  }
  return DocSet(found_);
}

}  // namespace metadata
