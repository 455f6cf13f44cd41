// Layout: a version byte, then for each attribute: its id (varint), its type
// (one byte), and its value. Strings are a varint length and the bytes;
// numbers and dates 8 bytes (little-endian IEEE 754); arrays a varint count
// then their elements. Scaled numbers (NumberLayout::Scaled) are a byte of
// decimal places k, then each number's mantissa m as a zigzag varint: the
// number is m / 10^k, a division that gives back the very double written
// (the writer checks it, and keeps the 8 bytes where it does not).
#include "platform/metadata/encoding.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace metadata {

namespace {

constexpr char kVersion = 1;
enum Type : unsigned char {
  kString = 1,
  kNumber = 2,
  kDate = 3,
  kStringArray = 4,
  kNumberArray = 5,
  kScaledNumber = 6,
  kScaledNumberArray = 7
};

// Powers of ten that doubles hold exactly, so that m / 10^k is one rounding.
constexpr std::array<double, 10> kPowersOfTen = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
constexpr double kExactIntegers = 9007199254740992.0;  // 2^53: every integer below is a double

void PutVarint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(char((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(char(value));
}

void PutDouble(std::string& out, double value) {
  char bytes[8];
  std::memcpy(bytes, &value, 8);
  out.append(bytes, 8);
}

void PutString(std::string& out, const std::string& text) {
  PutVarint(out, text.size());
  out += text;
}

double Unscaled(std::int64_t mantissa, unsigned places) { return double(mantissa) / kPowersOfTen[places]; }

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The fewest decimal places that give back every number exactly, if any do.
template <typename Numbers>
std::optional<unsigned> DecimalPlaces(const Numbers& numbers) {
  for (unsigned places = 0; places < kPowersOfTen.size(); ++places) {
    const bool exact = std::all_of(std::begin(numbers), std::end(numbers), [&](double number) {
      const double scaled = number * kPowersOfTen[places];
      if (!(std::fabs(scaled) < kExactIntegers)) return false;  // also NaN
      return SameBits(Unscaled(std::llround(scaled), places), number);
    });
    if (exact) return places;
  }
  return std::nullopt;
}

void PutScaled(std::string& out, double number, unsigned places) {
  const std::int64_t mantissa = std::llround(number * kPowersOfTen[places]);
  PutVarint(out, (std::uint64_t(mantissa) << 1) ^ std::uint64_t(mantissa >> 63));  // zigzag: small either side of 0
}

class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  bool AtEnd() const { return at_ >= data_.size(); }
  bool Varint(uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at_ >= data_.size()) return false;
      const unsigned char byte = static_cast<unsigned char>(data_[at_++]);
      value |= uint64_t(byte & 0x7F) << shift;
      if (!(byte & 0x80)) return true;
    }
    return false;
  }
  bool Byte(unsigned char& value) {
    if (at_ >= data_.size()) return false;
    value = static_cast<unsigned char>(data_[at_++]);
    return true;
  }
  bool Double(double& value) {
    if (data_.size() - at_ < 8) return false;
    std::memcpy(&value, data_.data() + at_, 8);
    at_ += 8;
    return true;
  }
  bool Places(unsigned& places) {
    unsigned char byte;
    if (!Byte(byte) || byte >= kPowersOfTen.size()) return false;
    places = byte;
    return true;
  }
  bool Scaled(unsigned places, double& value) {
    uint64_t zigzag;
    if (!Varint(zigzag)) return false;
    value = Unscaled(std::int64_t(zigzag >> 1) ^ -std::int64_t(zigzag & 1), places);
    return true;
  }
  bool String(std::string& value) {
    uint64_t length;
    if (!Varint(length) || length > data_.size() - at_) return false;
    value.assign(data_.data() + at_, length);
    at_ += length;
    return true;
  }
  bool Skip(unsigned char type) {
    uint64_t count = 1;
    if ((type == kStringArray || type == kNumberArray || type == kScaledNumberArray) && !Varint(count)) return false;
    unsigned places;
    if ((type == kScaledNumber || type == kScaledNumberArray) && !Places(places)) return false;
    for (uint64_t i = 0; i < count; ++i) {
      if (type == kScaledNumber || type == kScaledNumberArray) {
        uint64_t ignored;
        if (!Varint(ignored)) return false;
      } else if (type == kString || type == kStringArray) {
        uint64_t length;
        if (!Varint(length) || length > data_.size() - at_) return false;
        at_ += length;
      } else {
        if (data_.size() - at_ < 8) return false;
        at_ += 8;
      }
    }
    return true;
  }
  // Counts are checked against what is left, so a damaged count cannot make
  // a huge allocation.
  bool Count(uint64_t& count, size_t minimumElementSize) {
    return Varint(count) && count <= (data_.size() - at_) / minimumElementSize;
  }

 private:
  std::string_view data_;
  size_t at_ = 0;
};

bool ReadValue(Reader& reader, unsigned char type, Value& out) {
  switch (type) {
    case kString: {
      std::string text;
      if (!reader.String(text)) return false;
      out = std::move(text);
      return true;
    }
    case kNumber:
    case kDate: {
      double number;
      if (!reader.Double(number)) return false;
      out = type == kNumber ? Value(number) : Value(Date{number});
      return true;
    }
    case kStringArray: {
      uint64_t count;
      if (!reader.Count(count, 1)) return false;
      StringArray strings(count);
      for (auto& text : strings)
        if (!reader.String(text)) return false;
      out = std::move(strings);
      return true;
    }
    case kNumberArray: {
      uint64_t count;
      if (!reader.Count(count, 8)) return false;
      NumberArray numbers(count);
      for (double& number : numbers)
        if (!reader.Double(number)) return false;
      out = std::move(numbers);
      return true;
    }
    case kScaledNumber: {
      unsigned places;
      double number;
      if (!reader.Places(places) || !reader.Scaled(places, number)) return false;
      out = number;
      return true;
    }
    case kScaledNumberArray: {
      uint64_t count;
      unsigned places;
      if (!reader.Count(count, 1) || !reader.Places(places)) return false;
      NumberArray numbers(count);
      for (double& number : numbers)
        if (!reader.Scaled(places, number)) return false;
      out = std::move(numbers);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

std::string EncodeAttributes(const Attributes& attributes, const std::function<int(const std::string&)>& idOf, NumberLayout layout) {
  std::string out(1, kVersion);
  const bool scale = layout == NumberLayout::Scaled;
  for (const auto& [name, value] : attributes) {
    PutVarint(out, uint64_t(idOf(name)));
    std::visit(
        [&out, scale](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string>) {
            out.push_back(char(kString));
            PutString(out, v);
          } else if constexpr (std::is_same_v<T, double>) {
            const std::optional<unsigned> places = scale ? DecimalPlaces(std::array<double, 1>{v}) : std::nullopt;
            out.push_back(char(places ? kScaledNumber : kNumber));
            if (places) {
              out.push_back(char(*places));
              PutScaled(out, v, *places);
            } else {
              PutDouble(out, v);
            }
          } else if constexpr (std::is_same_v<T, Date>) {
            out.push_back(char(kDate));
            PutDouble(out, v.seconds);
          } else if constexpr (std::is_same_v<T, StringArray>) {
            out.push_back(char(kStringArray));
            PutVarint(out, v.size());
            for (const auto& text : v) PutString(out, text);
          } else {
            const std::optional<unsigned> places = scale && !v.empty() ? DecimalPlaces(v) : std::nullopt;
            out.push_back(char(places ? kScaledNumberArray : kNumberArray));
            PutVarint(out, v.size());
            if (places) {
              out.push_back(char(*places));
              for (double number : v) PutScaled(out, number, *places);
            } else {
              for (double number : v) PutDouble(out, number);
            }
          }
        },
        value);
  }
  return out;
}

bool DecodeAttributes(std::string_view record, const std::function<void(int, Value&&)>& visit) {
  if (record.empty() || record[0] != kVersion) return false;
  Reader reader(record.substr(1));
  while (!reader.AtEnd()) {
    uint64_t id;
    unsigned char type;
    Value value;
    if (!reader.Varint(id) || !reader.Byte(type) || !ReadValue(reader, type, value)) return false;
    visit(int(id), std::move(value));
  }
  return true;
}

std::optional<Value> DecodeAttribute(std::string_view record, int id) {
  if (record.empty() || record[0] != kVersion) return std::nullopt;
  Reader reader(record.substr(1));
  while (!reader.AtEnd()) {
    uint64_t found;
    unsigned char type;
    if (!reader.Varint(found) || !reader.Byte(type)) return std::nullopt;
    if (int(found) == id) {
      Value value;
      if (!ReadValue(reader, type, value)) return std::nullopt;
      return value;
    }
    if (!reader.Skip(type)) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace metadata
