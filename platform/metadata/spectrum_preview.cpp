#include "platform/metadata/spectrum_preview.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "platform/metadata/value.h"

namespace metadata {

namespace {

constexpr std::uint8_t kFormat = 1;  // the layout below; a later layout gets another number
constexpr size_t kMostNucleusBytes = 15;

// From the shifts of the first and last of `count` points to those of the
// outer edges of the first and last point.
std::pair<double, double> Edges(double first, double last, size_t count) {
  const double half = count > 1 ? (last - first) / double(count - 1) / 2 : 0;
  return {first - half, last + half};
}

// --- bytes -----------------------------------------------------------------

void PutFloat(std::string& out, double value) {
  const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
  for (int shift = 0; shift < 32; shift += 8) out.push_back(char((bits >> shift) & 0xff));
}

void PutText(std::string& out, const std::string& text) {
  const std::string cut = text.substr(0, kMostNucleusBytes);
  out.push_back(char(cut.size()));
  out += cut;
}

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  bool Byte(std::uint8_t& out) {
    if (at_ >= bytes_.size()) return false;
    out = std::uint8_t(bytes_[at_++]);
    return true;
  }
  bool Float(double& out) {
    if (bytes_.size() - at_ < 4) return false;
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= std::uint32_t(std::uint8_t(bytes_[at_++])) << (8 * i);
    const float value = std::bit_cast<float>(bits);
    out = value;
    return std::isfinite(value);
  }
  bool Text(std::string& out) {
    std::uint8_t size = 0;
    if (!Byte(size) || size > kMostNucleusBytes || bytes_.size() - at_ < size) return false;
    out = std::string(bytes_.substr(at_, size));
    at_ += size;
    return true;
  }
  bool Bytes(size_t count, std::vector<std::uint8_t>& out) {
    if (bytes_.size() - at_ < count) return false;
    out.assign(bytes_.begin() + std::ptrdiff_t(at_), bytes_.begin() + std::ptrdiff_t(at_ + count));
    at_ += count;
    return true;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t at_ = 0;
};

// --- base64 (RFC 4648), so that the preview is text like any other value ---

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t count = std::min<size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) group = (group << 8) | (k < count ? std::uint8_t(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) text.push_back(k <= count ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=');
  }
  return text;
}

std::optional<std::string> FromBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t group = 0;
    int padding = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      std::uint32_t digit = 0;
      if (c == '=' && k >= 2 && i + 4 == text.size()) {
        ++padding;
      } else {
        const size_t found = kAlphabet.find(c);
        if (found == std::string_view::npos || padding) return std::nullopt;
        digit = std::uint32_t(found);
      }
      group = (group << 6) | digit;
    }
    bytes.push_back(char((group >> 16) & 0xff));
    if (padding < 2) bytes.push_back(char((group >> 8) & 0xff));
    if (padding < 1) bytes.push_back(char(group & 0xff));
  }
  return bytes;
}

std::uint8_t Quantized(double value, double low, double high) {
  if (!(high > low)) return 128;
  // Values near the ends of the double range make the span itself infinite.
  const double ratio = (value - low) / (high - low);
  if (!std::isfinite(ratio)) return value >= high ? 255 : 0;
  return std::uint8_t(std::clamp(std::lround(ratio * 255.0), 0L, 255L));
}

}  // namespace

std::optional<SpectrumPreview> OneDimensionalPreview(std::span<const double> values, double firstPpm, double lastPpm,
                                                     std::string nucleus) {
  if (values.size() < 2 || !std::isfinite(firstPpm) || !std::isfinite(lastPpm)) return std::nullopt;
  double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
  for (double value : values)
    if (std::isfinite(value)) lowest = std::min(lowest, value), highest = std::max(highest, value);
  if (!std::isfinite(lowest)) return std::nullopt;

  SpectrumPreview preview;
  preview.dimensions = 1;
  preview.nucleus = std::move(nucleus);
  std::tie(preview.firstPpm, preview.lastPpm) = Edges(firstPpm, lastPpm, values.size());
  const size_t bins = std::min(kPreviewBins, values.size());
  for (size_t bin = 0; bin < bins; ++bin) {
    const size_t begin = bin * values.size() / bins, end = (bin + 1) * values.size() / bins;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (size_t i = begin; i < end; ++i)
      if (std::isfinite(values[i])) low = std::min(low, values[i]), high = std::max(high, values[i]);
    if (!std::isfinite(low)) low = high = lowest;  // a bin with no value lies on the floor
    preview.low.push_back(Quantized(low, lowest, highest));
    preview.high.push_back(Quantized(high, lowest, highest));
  }
  return preview;
}

PreviewGrid::PreviewGrid(size_t columns, size_t rows)
    : columns_(columns),
      rows_(rows),
      cellColumns_(std::min(columns, kPreviewGridSide)),
      cellRows_(std::min(rows, kPreviewGridSide)),
      largest_(cellColumns_ * cellRows_, -1.0) {}

void PreviewGrid::AddRow(size_t row, std::span<const double> values) {
  if (row >= rows_ || cellColumns_ == 0) return;
  const size_t cellRow = row * cellRows_ / rows_;
  const size_t count = std::min(values.size(), columns_);
  for (size_t column = 0; column < count; ++column) {
    if (!std::isfinite(values[column])) continue;
    double& cell = largest_[cellRow * cellColumns_ + column * cellColumns_ / columns_];
    cell = std::max(cell, std::fabs(values[column]));
  }
}

std::optional<SpectrumPreview> PreviewGrid::Finish(double firstPpm, double lastPpm, double firstRowPpm, double lastRowPpm,
                                                   std::string nucleus, std::string indirectNucleus) const {
  const double largest = largest_.empty() ? -1 : *std::max_element(largest_.begin(), largest_.end());
  if (!(largest >= 0) || !std::isfinite(firstPpm + lastPpm + firstRowPpm + lastRowPpm)) return std::nullopt;
  SpectrumPreview preview;
  preview.dimensions = 2;
  preview.nucleus = std::move(nucleus);
  preview.indirectNucleus = std::move(indirectNucleus);
  std::tie(preview.firstPpm, preview.lastPpm) = Edges(firstPpm, lastPpm, columns_);
  std::tie(preview.firstRowPpm, preview.lastRowPpm) = Edges(firstRowPpm, lastRowPpm, rows_);
  preview.columns = cellColumns_;
  preview.rows = cellRows_;
  // Three decades of magnitude over the levels: contours of a 2D spectrum are
  // drawn on a logarithmic scale, or only the tallest cross peaks would show.
  for (double cell : largest_) {
    double level = 0;
    if (cell > 0 && largest > 0) level = (kPreviewLevels - 1) * (1.0 + std::log10(cell / largest) / 3.0);
    preview.levels.push_back(std::uint8_t(std::clamp(std::lround(level), 0L, long(kPreviewLevels - 1))));
  }
  return preview;
}

std::string EncodePreview(const SpectrumPreview& preview) {
  std::string bytes;
  bytes.push_back(char(kFormat));
  bytes.push_back(char(preview.dimensions));
  PutText(bytes, preview.nucleus);
  PutFloat(bytes, preview.firstPpm);
  PutFloat(bytes, preview.lastPpm);
  if (preview.dimensions == 2) {
    PutText(bytes, preview.indirectNucleus);
    PutFloat(bytes, preview.firstRowPpm);
    PutFloat(bytes, preview.lastRowPpm);
    bytes.push_back(char(preview.columns));
    bytes.push_back(char(preview.rows));
    for (size_t i = 0; i < preview.levels.size(); i += 2) {
      const std::uint8_t second = i + 1 < preview.levels.size() ? preview.levels[i + 1] : 0;
      bytes.push_back(char((preview.levels[i] << 4) | (second & 0x0f)));
    }
  } else {
    bytes.push_back(char(preview.low.size()));
    bytes.append(preview.low.begin(), preview.low.end());
    bytes.append(preview.high.begin(), preview.high.end());
  }
  return Base64(bytes);
}

std::optional<SpectrumPreview> DecodePreview(std::string_view text) {
  std::optional<std::string> bytes = FromBase64(text);
  if (!bytes || bytes->size() > kMostPreviewBytes) return std::nullopt;
  ByteReader reader(*bytes);
  SpectrumPreview preview;
  std::uint8_t format = 0, dimensions = 0;
  if (!reader.Byte(format) || format != kFormat || !reader.Byte(dimensions) || (dimensions != 1 && dimensions != 2)) return std::nullopt;
  preview.dimensions = dimensions;
  if (!reader.Text(preview.nucleus) || !reader.Float(preview.firstPpm) || !reader.Float(preview.lastPpm)) return std::nullopt;
  if (dimensions == 2) {
    std::uint8_t columns = 0, rows = 0;
    if (!reader.Text(preview.indirectNucleus) || !reader.Float(preview.firstRowPpm) || !reader.Float(preview.lastRowPpm) ||
        !reader.Byte(columns) || !reader.Byte(rows) || columns == 0 || rows == 0)
      return std::nullopt;
    preview.columns = columns;
    preview.rows = rows;
    std::vector<std::uint8_t> packed;
    if (!reader.Bytes((size_t(columns) * rows + 1) / 2, packed)) return std::nullopt;
    for (size_t i = 0; i < size_t(columns) * rows; ++i)
      preview.levels.push_back(i % 2 == 0 ? std::uint8_t(packed[i / 2] >> 4) : std::uint8_t(packed[i / 2] & 0x0f));
  } else {
    std::uint8_t bins = 0;
    if (!reader.Byte(bins) || bins < 2 || !reader.Bytes(bins, preview.low) || !reader.Bytes(bins, preview.high)) return std::nullopt;
  }
  if (!reader.AtEnd()) return std::nullopt;
  return preview;
}

std::string DescribePreview(const SpectrumPreview& preview) {
  std::string text = std::to_string(preview.dimensions) + "D " + preview.nucleus;
  if (preview.dimensions == 2) text += "–" + preview.indirectNucleus;
  text += preview.dimensions == 2 ? ", " + std::to_string(preview.columns) + "×" + std::to_string(preview.rows) + " cells"
                                  : ", " + std::to_string(preview.low.size()) + " bins";
  text += ", " + FormatNumber(std::round(preview.firstPpm * 100) / 100) + " to " + FormatNumber(std::round(preview.lastPpm * 100) / 100) +
          " ppm";
  return text;
}

}  // namespace metadata
