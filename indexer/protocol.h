// What orvane-index says to other processes, written and read only here so
// both ends agree: the messages between the indexer and its worker processes,
// and the progress lines of `orvane-index --progress-lines`, which the panel's
// "Add Folder to Index…" reads. No importer code here: the panel links this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/metadata/store.h"
#include "platform/metadata/value.h"

namespace indexer {

// Worker messages travel framed over pipes: a 4-byte length in the machine's
// byte order (both ends are this program on this machine), then the bytes.
constexpr std::uint32_t kMaxMessage = 256u << 20;
std::string Frame(std::string_view message);
// The length a frame's 4-byte header announces; nothing for an empty or
// oversized message, or a header that is not 4 bytes.
std::optional<std::uint32_t> FrameLength(std::string_view header);
// Takes the first whole message off the front of `received` into `message`,
// if it is all there. A header FrameLength refuses makes the stream bad: what
// follows it cannot be told apart from stray bytes, so nothing is taken.
enum class FrameState { kIncomplete, kWhole, kBad };
FrameState TakeFrame(std::string& received, std::string& message);

// The indexer asks a worker to import one document.
struct WorkRequest {
  std::string path;          // bytes as the file system spells them
  std::uint8_t family = 0;   // the family's number in the importers' table
  bool screens = true;       // make the molecules' substructure screens (the index keeps them)
  bool operator==(const WorkRequest&) const = default;
};
std::string FormatWorkRequest(const WorkRequest& request);
std::optional<WorkRequest> ParseWorkRequest(std::string_view message);

// The worker's answer: the attributes and notes, or why the import failed.
// The molecules of the SMILES values travel ready to store, so that the one
// writer does none of the chemistry: as bytes after the JSON text and a NUL,
// which JSON text never holds.
struct WorkAnswer {
  std::optional<std::string> error;
  metadata::Attributes attributes;
  std::vector<std::string> notes;  // what the importer noticed
  std::optional<std::vector<metadata::MoleculeEntry>> molecules;
  bool operator==(const WorkAnswer&) const = default;
};
std::string FormatWorkAnswer(const WorkAnswer& answer);
// An answer that cannot be read comes back as a failed import saying so
// (kUnreadableAnswer, or that the attributes could not be read).
constexpr const char* kUnreadableAnswer = "the importer's answer could not be read";
WorkAnswer ParseWorkAnswer(std::string_view message);

// How far a run got: "progress SEEN IMPORTED FAILED", one line each time it
// moves on. Any other line the indexer writes is a message for the user.
struct ProgressLine {
  std::size_t seen = 0, imported = 0, failed = 0;
  bool operator==(const ProgressLine&) const = default;
};
std::string FormatProgressLine(const ProgressLine& progress);  // without the newline
std::optional<ProgressLine> ParseProgressLine(std::string_view line);

}  // namespace indexer
