// Finding a fragment in many short values kept one after another, each ended
// by a zero byte (value_texts, lookup_packs.h). A common fragment of a small
// alphabet's text (SMILES: "c1ccccc1") is in a quarter of the values and its
// bytes are everywhere, which leaves memmem short skips and a restart a
// value; this compares two of its rarest bytes with those of 16 places at
// once (and a third far from both), counting the values' ends in the same pass.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace metadata::sqlite {

class ValueScan {
 public:
  // `sample`: values like those to be scanned, to tell which bytes of the
  // fragment are rare. The fragment holds no zero byte. With `asciiFolded`,
  // the fragment is case-folded ASCII (FoldedForm), and ScanFolded is the scan.
  ValueScan(std::string_view fragment, std::string_view sample, bool asciiFolded = false);

  // Calls `found` with the number (from 0) of each value of `texts` that holds
  // the fragment, once a value, in order, until it returns false; returns the
  // number of values ended, or none when `found` stopped the scan.
  std::optional<size_t> Scan(std::string_view texts, const std::function<bool(size_t value)>& found) const;
  // The same for the values whose case-folded form (FoldedForm) holds the
  // folded fragment. A value of ASCII alone folds to its ASCII lower case, so
  // it is matched here byte by byte; one with other bytes folds by Unicode's
  // rules (U+212A KELVIN SIGN to "k", a combining mark beside a letter), so
  // `holds` judges it whole.
  std::optional<size_t> ScanFolded(std::string_view texts, const std::function<bool(size_t value, std::string_view text)>& holds,
                                   const std::function<bool(size_t value)>& found) const;
  // The same with the values of some byte beyond ASCII alone, each judged whole
  // by `holds`: a fragment whose folded form goes beyond ASCII is in no value
  // of ASCII alone, which folds to ASCII.
  static std::optional<size_t> ScanBeyondAscii(std::string_view texts, const std::function<bool(size_t value, std::string_view text)>& holds,
                                               const std::function<bool(size_t value)>& found);

 private:
  std::string fragment_;
  size_t first_ = 0, second_ = 0;  // the places of the two rarest bytes, compared first, first_ < second_
  size_t third_ = 0;               // and of a third compared with them
};

}  // namespace metadata::sqlite
