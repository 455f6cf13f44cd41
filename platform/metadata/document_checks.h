// The exact check of a structure search's candidates, on every core while the
// screen goes on. Only the thread that searches may use the index, so it reads
// each document's candidate molecules (RDKit's binary form) and hands them in,
// in document order; helpers on the other cores check them as soon as they
// come, and the searching thread checks too whenever it is far ahead, and at
// the end. A document's molecules are checked in order until one matches.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/metadata/store.h"

namespace metadata {

class DocumentChecks {
 public:
  using Check = std::function<bool(const std::string& molecule)>;
  // `firstCount` documents found (all, when fewer) go to `deliverFirst` as
  // soon as every document before them is decided; no call when it is empty.
  DocumentChecks(Check check, size_t firstCount, std::function<void(const DocSet&)> deliverFirst);
  ~DocumentChecks();
  DocumentChecks(const DocumentChecks&) = delete;
  DocumentChecks& operator=(const DocumentChecks&) = delete;

  // A document after every one handed in before; a molecule that is none (a
  // row gone) matches nothing.
  void Add(std::int64_t doc, std::vector<std::optional<std::string>> molecules);
  // While the first documents are not delivered yet: checks what was handed
  // in, with the helpers, and delivers them if they are decided by then. For
  // a caller that reads its documents in pieces and would otherwise deliver
  // them only after it has read the next piece.
  void Settle();
  // Checks what is left with the helpers; the documents found, in order.
  DocSet Finish();
  size_t checked() const { return checked_; }  // molecules, once Finish returned

 private:
  struct Item {
    size_t index = 0;
    std::vector<std::optional<std::string>> molecules;
  };
  static constexpr size_t kMostWaiting = 256;  // documents read ahead of the checks at most

  void Help();
  bool CheckItem(const Item& item, size_t& checked) const;
  // Takes the next document waiting and checks it on this (searching) thread.
  void CheckOneHere(std::unique_lock<std::mutex>& lock);
  void CheckWhatIsOpen(std::unique_lock<std::mutex>& lock, bool untilDelivered);
  void Decide(size_t index, bool matched, size_t checked);  // under the lock
  void DeliverWhatIsDecided(std::unique_lock<std::mutex>& lock);

  Check check_;
  size_t firstCount_;
  std::function<void(const DocSet&)> deliverFirst_;

  std::mutex mutex_;
  std::condition_variable waiting_, decided_;
  std::deque<Item> queue_;
  std::vector<std::int64_t> docs_;
  std::vector<signed char> outcome_;  // per document: -1 open, 0 or 1
  size_t decidedPrefix_ = 0, open_ = 0, checked_ = 0;
  std::vector<std::int64_t> found_;  // the documents of the decided prefix that matched
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::vector<std::thread> helpers_;
};

}  // namespace metadata
