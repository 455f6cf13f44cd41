#include "platform/metadata/sqlite/value_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ORVANE_SCAN_AVX2 1
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

unsigned char FoldedAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c; }
bool IsLowerAscii(char c) { return c >= 'a' && c <= 'z'; }

bool IsAscii(std::string_view text) {
  size_t at = 0;
  const char* data = text.data();
#if defined(__SSE2__)
  __m128i any = _mm_setzero_si128();
  for (; at + 16 <= text.size(); at += 16) any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)));
  if (_mm_movemask_epi8(any) != 0) return false;
#endif
  for (; at < text.size(); ++at)
    if (static_cast<unsigned char>(data[at]) >= 0x80) return false;
  return true;
}

#if defined(ORVANE_SCAN_AVX2)
bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return has;
}

// ScanFolded's blocks 32 bytes at a time where the processor can: a long
// column's scan spends its time here. `decide` as there; false when it stopped.
template <class Decide>
__attribute__((target("avx2,popcnt"))) bool FoldedBlocksAvx2(std::string_view texts, std::string_view fragment, size_t first, size_t second,
                                                             size_t third, size_t& at, size_t& value, Decide& decide) {
  const char* data = texts.data();
  const __m256i firstByte = _mm256_set1_epi8(fragment[first]), firstCase = _mm256_set1_epi8(IsLowerAscii(fragment[first]) ? 0x20 : 0);
  const __m256i secondByte = _mm256_set1_epi8(fragment[second]), secondCase = _mm256_set1_epi8(IsLowerAscii(fragment[second]) ? 0x20 : 0);
  const __m256i thirdByte = _mm256_set1_epi8(fragment[third]), thirdCase = _mm256_set1_epi8(IsLowerAscii(fragment[third]) ? 0x20 : 0);
  const __m256i zero = _mm256_setzero_si256();
  const size_t last = std::max(second, third);
  for (; at + last + 32 <= texts.size(); at += 32) {
    const char* block = data + at;
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    const auto ends = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(here, zero)));
    const auto beyondAscii = unsigned(_mm256_movemask_epi8(here));
    const __m256i atFirst = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + first));
    const __m256i atSecond = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + second));
    const __m256i atThird = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + third));
    const __m256i both = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(atFirst, firstCase), firstByte),
                                          _mm256_cmpeq_epi8(_mm256_or_si256(atSecond, secondCase), secondByte));
    auto events = beyondAscii | unsigned(_mm256_movemask_epi8(_mm256_and_si256(both, _mm256_cmpeq_epi8(_mm256_or_si256(atThird, thirdCase), thirdByte))));
    for (; events; events &= events - 1) {
      const int bit = __builtin_ctz(events);
      const unsigned before = ends & ((1u << bit) - 1);
      if (!decide(at + size_t(bit), value + size_t(__builtin_popcount(before)), ((beyondAscii >> bit) & 1) != 0)) return false;
    }
    value += size_t(__builtin_popcount(ends));
  }
  return true;
}
#endif

}  // namespace

ValueScan::ValueScan(std::string_view fragment, std::string_view sample, bool asciiFolded)
    : fragment_(fragment) {
  if (fragment_.size() < 2) return;
  std::array<size_t, 256> counts{};
  for (unsigned char c : sample.substr(0, 1 << 16)) ++counts[asciiFolded ? FoldedAscii(c) : c];
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

std::optional<size_t> ValueScan::ScanFolded(std::string_view texts, const std::function<bool(size_t, std::string_view)>& holds,
                                            const std::function<bool(size_t)>& found) const {
  const size_t size = texts.size(), length = fragment_.size();
  const char* data = texts.data();
  size_t value = 0;            // values ended before `at`
  size_t decided = SIZE_MAX;   // the value last found or not: the first sign of it decides it whole
  size_t at = 0;
  auto matchesAt = [&](size_t start) {
    if (start + length > size) return false;
    for (size_t i = 0; i < length; ++i)
      if (FoldedAscii(static_cast<unsigned char>(data[start + i])) != static_cast<unsigned char>(fragment_[i])) return false;
    return true;
  };
  // Most texts are ASCII alone: then a match needs no look at the rest of its value.
  const bool allAscii = IsAscii(texts);
  // A match, or a byte beyond ASCII, at `place` in the value `in`.
  auto decide = [&](size_t place, size_t in, bool beyondAscii) {
    if (in == decided || (!beyondAscii && !matchesAt(place))) return true;
    decided = in;
    if (allAscii) return found(in);
    const void* zero = place ? memrchr(data, '\0', place) : nullptr;
    const size_t start = zero ? size_t(static_cast<const char*>(zero) - data) + 1 : 0;
    const void* end = std::memchr(data + place, '\0', size - place);
    const std::string_view text(data + start, (end ? size_t(static_cast<const char*>(end) - data) : size) - start);
    const bool ascii = !beyondAscii && std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return !(ascii || holds(in, text)) || found(in);
  };
#if defined(ORVANE_SCAN_AVX2)
  if (length >= 2 && HasAvx2() && !FoldedBlocksAvx2(texts, fragment_, first_, second_, third_, at, value, decide)) return std::nullopt;
#endif
#if defined(__SSE2__)
  if (length >= 2) {
    // Letters compare with their case bit set: a candidate, which matchesAt tells.
    const auto foldedBytes = [&](size_t place) {
      return std::pair{_mm_set1_epi8(fragment_[place]), _mm_set1_epi8(IsLowerAscii(fragment_[place]) ? 0x20 : 0)};
    };
    const auto [firstByte, firstCase] = foldedBytes(first_);
    const auto [secondByte, secondCase] = foldedBytes(second_);
    const auto [thirdByte, thirdCase] = foldedBytes(third_);
    const __m128i zero = _mm_setzero_si128();
    const size_t last = std::max(second_, third_);
    for (; at + last + 16 <= size; at += 16) {
      const auto bytesAt = [&](size_t offset) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + offset)); };
      const auto equal = [&](size_t offset, __m128i byte, __m128i caseBit) {
        return _mm_cmpeq_epi8(_mm_or_si128(bytesAt(offset), caseBit), byte);
      };
      const __m128i here = bytesAt(0);
      const auto ends = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(here, zero)));
      const auto beyondAscii = unsigned(_mm_movemask_epi8(here));
      const __m128i both = _mm_and_si128(equal(first_, firstByte, firstCase), equal(second_, secondByte, secondCase));
      auto events = beyondAscii | unsigned(_mm_movemask_epi8(_mm_and_si128(both, equal(third_, thirdByte, thirdCase))));
      for (; events; events &= events - 1) {
        const int bit = std::countr_zero(events);
        if (!decide(at + size_t(bit), value + BitsSet(ends & ((1u << bit) - 1)), (beyondAscii >> bit) & 1)) return std::nullopt;
      }
      value += BitsSet(ends);
    }
  }
#endif
  for (; at < size; ++at) {
    if (!decide(at, value, static_cast<unsigned char>(data[at]) >= 0x80)) return std::nullopt;
    if (data[at] == '\0') ++value;
  }
  return value;
}

std::optional<size_t> ValueScan::ScanBeyondAscii(std::string_view texts, const std::function<bool(size_t, std::string_view)>& holds,
                                                 const std::function<bool(size_t)>& found) {
  const char* data = texts.data();
  size_t value = 0;
  for (size_t at = 0; at < texts.size(); ++value) {
    const void* zero = std::memchr(data + at, '\0', texts.size() - at);
    const size_t end = zero ? size_t(static_cast<const char*>(zero) - data) : texts.size();
    const std::string_view text(data + at, end - at);
    if (!IsAscii(text) && holds(value, text) && !found(value)) return std::nullopt;
    if (!zero) return value;  // the last value, not ended
    at = end + 1;
  }
  return value;
}

}  // namespace metadata::sqlite
