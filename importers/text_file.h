// Reading text files whose encoding is not declared: UTF-8 when they are
// valid UTF-8, otherwise Latin-1, as spectrometer software writes them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace importers {

// The file's text as UTF-8; none with `error` set when it cannot be read or
// is larger than `limit` bytes.
std::optional<std::string> ReadTextFile(const std::filesystem::path& file, std::string& error,
                                        std::uintmax_t limit = 256u << 20);
// The first bytes of a file, for recognising it.
std::string ReadHead(const std::filesystem::path& file, size_t bytes);

bool IsValidUtf8(std::string_view text);
// Takes the first line off `text`: what comes before the first "\n", less a
// "\r" before it, or all of `text` when it holds no "\n". False, with nothing
// taken, once `text` is empty: a final line break ends the last line and
// starts no empty one.
bool TakeLine(std::string_view& text, std::string_view& line);
// The text without blanks at either end.
std::string_view TrimBlanks(std::string_view text);
std::string Latin1ToUtf8(std::string_view text);
// A number as notes show it ("1e+308", "4000"), the same in every locale.
std::string NumberText(double number);

}  // namespace importers
