#include "platform/metadata/sqlite/value_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace metadata::sqlite {

namespace {

// Bits set in a 16-bit mask, from a table: without a target that has the
// instruction, std::popcount is a call.
constexpr std::array<std::uint8_t, 256> kBitsSet = [] {
  std::array<std::uint8_t, 256> bits{};
  for (unsigned byte = 0; byte < 256; ++byte) bits[byte] = std::uint8_t(std::popcount(byte));
  return bits;
}();

size_t BitsSet(unsigned mask) { return size_t(kBitsSet[mask & 0xFF]) + kBitsSet[(mask >> 8) & 0xFF]; }

}  // namespace

ValueScan::ValueScan(std::string_view fragment, std::string_view sample) : fragment_(fragment) {
  if (fragment_.size() < 2) return;
  std::array<size_t, 256> counts{};
  for (unsigned char c : sample.substr(0, 1 << 16)) ++counts[c];
  std::array<size_t, 2> rarest{0, 1};
  const auto count = [&](size_t at) { return counts[static_cast<unsigned char>(fragment_[at])]; };
  if (count(1) < count(0)) std::swap(rarest[0], rarest[1]);
  for (size_t at = 2; at < fragment_.size(); ++at) {
    if (count(at) < count(rarest[0])) {
      rarest = {at, rarest[0]};
    } else if (count(at) < count(rarest[1])) {
      rarest[1] = at;
    }
  }
  first_ = std::min(rarest[0], rarest[1]);
  second_ = std::max(rarest[0], rarest[1]);
  // A third place as far from both as can be: neighbouring bytes go together
  // ("c1" and "cc" in SMILES), distant ones tell more.
  size_t farthest = 0;
  for (size_t at = 0; at < fragment_.size(); ++at) {
    const size_t distance = std::min(at > first_ ? at - first_ : first_ - at, at > second_ ? at - second_ : second_ - at);
    if (distance > farthest) {
      farthest = distance;
      third_ = at;
    }
  }
  if (farthest == 0) third_ = first_;  // two bytes long
}

std::optional<size_t> ValueScan::Scan(std::string_view texts, const std::function<bool(size_t)>& found) const {
  const size_t size = texts.size(), length = fragment_.size();
  const char* data = texts.data();
  size_t value = 0;              // values ended before `at`
  size_t lastFound = SIZE_MAX;   // the value last handed over
  size_t at = 0;
  // A match starting at `start`, in the value `in`: handed over once a value.
  auto match = [&](size_t start, size_t in) {
    if (in == lastFound || start + length > size || std::memcmp(data + start, fragment_.data(), length) != 0) return true;
    lastFound = in;
    return found(in);
  };
#if defined(__SSE2__)
  if (length >= 2) {
    const __m128i firstByte = _mm_set1_epi8(fragment_[first_]), secondByte = _mm_set1_epi8(fragment_[second_]);
    const __m128i thirdByte = _mm_set1_epi8(fragment_[third_]);
    const __m128i zero = _mm_setzero_si128();
    const size_t last = std::max(second_, third_);
    for (; at + last + 16 <= size; at += 16) {
      const auto bytesAt = [&](size_t offset) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + offset)); };
      const auto ends = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bytesAt(0), zero)));
      const __m128i both = _mm_and_si128(_mm_cmpeq_epi8(bytesAt(first_), firstByte), _mm_cmpeq_epi8(bytesAt(second_), secondByte));
      auto candidates = unsigned(_mm_movemask_epi8(_mm_and_si128(both, _mm_cmpeq_epi8(bytesAt(third_), thirdByte))));
      for (; candidates; candidates &= candidates - 1) {
        const int bit = std::countr_zero(candidates);
        if (!match(at + size_t(bit), value + BitsSet(ends & ((1u << bit) - 1)))) return std::nullopt;
      }
      value += BitsSet(ends);
    }
  }
#endif
  for (; at < size; ++at) {
    if (!match(at, value)) return std::nullopt;
    if (data[at] == '\0') ++value;
  }
  return value;
}

}  // namespace metadata::sqlite
