#include "indexer/protocol.h"

#include <charconv>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/metadata/json_documents.h"

namespace indexer {

namespace {

constexpr std::string_view kProgressWord = "progress";

// A whole field of decimal digits; no sign, no blanks.
std::optional<std::size_t> Count(std::string_view field) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (field.empty() || error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string Frame(std::string_view message) {
  const std::uint32_t length = std::uint32_t(message.size());
  std::string frame(reinterpret_cast<const char*>(&length), 4);
  frame.append(message);
  return frame;
}

std::optional<std::uint32_t> FrameLength(std::string_view header) {
  if (header.size() != 4) return std::nullopt;
  std::uint32_t length = 0;
  std::memcpy(&length, header.data(), 4);
  if (length == 0 || length > kMaxMessage) return std::nullopt;
  return length;
}

FrameState TakeFrame(std::string& received, std::string& message) {
  if (received.size() < 4) return FrameState::kIncomplete;
  const std::optional<std::uint32_t> length = FrameLength(std::string_view(received).substr(0, 4));
  if (!length) return FrameState::kBad;
  if (received.size() < 4 + std::size_t(*length)) return FrameState::kIncomplete;
  message = received.substr(4, *length);
  received.erase(0, 4 + std::size_t(*length));
  return FrameState::kWhole;
}

// The family's number goes last, as one byte: a path never holds a NUL, but
// may hold any other byte, so nothing can be put after it unambiguously.
std::string FormatWorkRequest(const WorkRequest& request) {
  std::string message = request.path;
  message.push_back(char(request.family));
  message.push_back(request.screens ? '\1' : '\0');
  return message;
}

std::optional<WorkRequest> ParseWorkRequest(std::string_view message) {
  if (message.size() < 3 || static_cast<unsigned char>(message.back()) > 1) return std::nullopt;
  return WorkRequest{std::string(message.substr(0, message.size() - 2)), static_cast<std::uint8_t>(message[message.size() - 2]),
                     message.back() == '\1'};
}

namespace {

void AppendBytes(std::string& out, std::string_view bytes) {
  const std::uint32_t length = std::uint32_t(bytes.size());
  out.append(reinterpret_cast<const char*>(&length), 4);
  out.append(bytes);
}

bool TakeBytes(std::string_view& in, std::string& bytes) {
  std::uint32_t length = 0;
  if (in.size() < 4) return false;
  std::memcpy(&length, in.data(), 4);
  if (in.size() - 4 < length) return false;
  bytes.assign(in.substr(4, length));
  in.remove_prefix(4 + std::size_t(length));
  return true;
}

std::optional<std::vector<metadata::MoleculeEntry>> ReadMolecules(std::string_view in) {
  std::vector<metadata::MoleculeEntry> molecules;
  while (!in.empty()) {
    metadata::MoleculeEntry entry;
    if (!TakeBytes(in, entry.screen) || !TakeBytes(in, entry.similarity) || !TakeBytes(in, entry.molecule)) return std::nullopt;
    molecules.push_back(std::move(entry));
  }
  return molecules;
}

}  // namespace

std::string FormatWorkAnswer(const WorkAnswer& answer) {
  nlohmann::json json;
  if (answer.error)
    json = {{"ok", false}, {"error", *answer.error}};
  else
    json = {{"ok", true}, {"attributes", metadata::AttributesToTypedJson(answer.attributes)}, {"notes", answer.notes}};
  std::string message = metadata::DumpJson(json);
  if (answer.error || !answer.molecules) return message;
  message.push_back('\0');
  for (const metadata::MoleculeEntry& entry : *answer.molecules) {
    AppendBytes(message, entry.screen);
    AppendBytes(message, entry.similarity);
    AppendBytes(message, entry.molecule);
  }
  return message;
}

namespace {

// The answer as the worker wrote it; throws nlohmann::json::exception where
// it is not what FormatWorkAnswer writes.
WorkAnswer ReadAnswer(const nlohmann::json& json) {
  WorkAnswer answer;
  const auto ok = json.find("ok");
  if (ok == json.end() || !ok->is_boolean()) {
    answer.error = kUnreadableAnswer;
  } else if (!ok->get<bool>()) {
    const auto error = json.find("error");
    answer.error = error == json.end() ? std::string("the import failed") : error->get<std::string>();
  } else if (const auto attributes = json.find("attributes"); attributes == json.end()) {
    answer.error = "the importer gave unreadable attributes";
  } else if (auto read = metadata::AttributesFromTypedJson(*attributes)) {
    answer.attributes = std::move(*read);
    if (const auto notes = json.find("notes"); notes != json.end() && notes->is_array())
      for (const auto& note : *notes) answer.notes.push_back(note.is_string() ? note.get<std::string>() : "");
  } else {
    answer.error = "the importer gave unreadable attributes";
  }
  return answer;
}

}  // namespace

WorkAnswer ParseWorkAnswer(std::string_view message) {
  const std::size_t end = message.find('\0');
  const nlohmann::json json = nlohmann::json::parse(message.substr(0, end), nullptr, false);
  if (!json.is_object()) return WorkAnswer{kUnreadableAnswer, {}, {}, {}};
  WorkAnswer answer;
  try {
    answer = ReadAnswer(json);
  } catch (const nlohmann::json::exception&) {
    return WorkAnswer{kUnreadableAnswer, {}, {}, {}};
  }
  if (answer.error || end == std::string_view::npos) return answer;
  answer.molecules = ReadMolecules(message.substr(end + 1));
  if (!answer.molecules) return WorkAnswer{kUnreadableAnswer, {}, {}, {}};
  return answer;
}

std::string FormatProgressLine(const ProgressLine& progress) {
  return std::string(kProgressWord) + " " + std::to_string(progress.seen) + " " + std::to_string(progress.imported) + " " +
         std::to_string(progress.failed);
}

std::optional<ProgressLine> ParseProgressLine(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  if (fields.size() != 4 || fields[0] != kProgressWord) return std::nullopt;
  const auto seen = Count(fields[1]), imported = Count(fields[2]), failed = Count(fields[3]);
  if (!seen || !imported || !failed) return std::nullopt;
  return ProgressLine{*seen, *imported, *failed};
}

}  // namespace indexer
