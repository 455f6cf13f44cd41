// One family of documents Orvane reads: how its documents are recognised,
// what one document is (a file, or a whole folder), how it is imported and
// how it is told to users. Each family is one row of format_table.cpp; the
// registry, the crawl, the indexer and the tools' messages go through the
// table, never through a family by name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "importers/importer.h"
#include "platform/metadata/store.h"

namespace importers {

// The start of a file, read once and only as far as a family asks: most
// families decide by the name alone, and a file that none claims by name is
// never opened.
class FileStart {
 public:
  explicit FileStart(std::filesystem::path file) : file_(std::move(file)) {}
  // The first `bytes` bytes, fewer when the file is shorter or unreadable.
  std::string_view First(size_t bytes);

 private:
  std::filesystem::path file_;
  std::string head_;
  size_t read_ = 0;  // how many bytes were asked for: head_ is shorter only at the end of the file
};

class FormatFamily {
 public:
  virtual ~FormatFamily() = default;

  // The name the index keeps with each document ("jcamp"): never changed,
  // or documents indexed before would lose their family.
  virtual std::string_view name() const = 0;
  // What the family reads, as users are told: "JCAMP-DX spectra (.jdx, .dx, .jcamp, .jcm)".
  virtual std::string_view description() const = 0;

  // A regular file, by its name and its first bytes. AppleDouble and
  // .DS_Store files never come here.
  virtual bool RecognisesFile(const std::filesystem::path& file, FileStart& start) const;
  virtual bool RecognisesFolder(const std::filesystem::path& folder) const;
  // True when a whole folder is one document: the crawl does not walk into
  // it, and its identity sums what it holds.
  virtual bool IsFolderDocument() const { return false; }
  // For a folder document: a name every one of its documents holds (an
  // experiment folder's "acqus"), so that a walk that has listed a folder
  // asks RecognisesFolder only of the folders holding it. Empty: any folder
  // may be one, and each is asked.
  virtual std::string_view FolderMarker() const { return {}; }
  // For a folder document, `identity` (the folder's own) becomes the sum of
  // its files' sizes with the latest modification among them, so that a
  // change to any file shows. A file's identity stays as it is.
  virtual void SumIdentity(const std::filesystem::path& folder, metadata::FileIdentity& identity) const;

  // Neither throws nor prints: what goes wrong is an ImportError or a note.
  virtual ImportOutcome Import(const std::filesystem::path& path) const = 0;
  // Why a path this family does not take looks as if it might be one of its
  // documents ("the file does not start with ##TITLE= or ##JCAMP-DX="), for
  // `orvane-index --explain`; none when the path has nothing of the family.
  virtual std::optional<std::string> Explain(const std::filesystem::path& path, FileStart& start) const;
};

// What the files below a folder hold, links not followed: their sizes
// summed and the latest modification among them and their folders, at most
// 100000 entries deep into the walk.
struct FolderSum {
  std::int64_t bytes = 0;
  std::int64_t latestModifiedNs = 0;
};
FolderSum SumFolder(const std::filesystem::path& folder);

// The file's extension, lower-cased, with its dot (".jdx").
std::string LowerExtension(const std::filesystem::path& file);
// A description with the extensions that go with it: "what (.a, .b)".
std::string WithExtensions(std::string_view what, std::span<const std::string_view> extensions);

}  // namespace importers
