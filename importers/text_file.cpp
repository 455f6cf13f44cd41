#include "importers/text_file.h"

#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace importers {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool TakeLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t end = text.find('\n');
  line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    if (length == 2 && c < 0xC2) return false;  // overlong
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

std::string Latin1ToUtf8(std::string_view text) {
  // Sized first: growing while copying would hold three copies at once.
  size_t high = 0;
  for (char ch : text) high += static_cast<unsigned char>(ch) >= 0x80;
  std::string out;
  out.reserve(text.size() + high);
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string NumberText(double number) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, number);
  return std::string(text, result.ptr);
}

std::optional<std::string> ReadTextFile(const std::filesystem::path& file, std::string& error, std::uintmax_t limit) {
  std::error_code sizeError;
  const std::uintmax_t size = std::filesystem::file_size(file, sizeError);
  if (sizeError) {
    error = sizeError.message();
    return std::nullopt;
  }
  if (size > limit) {
    error = "the file is larger than " + std::to_string(limit >> 20) + " MiB";
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  std::string text(size, '\0');
  in.read(text.data(), std::streamsize(size));
  text.resize(size_t(in.gcount()));
  if (IsValidUtf8(text)) return text;
  return Latin1ToUtf8(text);
}

std::string ReadHead(const std::filesystem::path& file, size_t bytes) {
  std::ifstream in(file, std::ios::binary);
  std::string head(bytes, '\0');
  in.read(head.data(), std::streamsize(bytes));
  head.resize(size_t(in.gcount()));
  return head;
}

}  // namespace importers
