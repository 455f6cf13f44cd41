#include "importers/format_family.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "importers/text_file.h"

namespace importers {

namespace {

std::int64_t Nanoseconds(const struct timespec& time) { return std::int64_t(time.tv_sec) * 1000000000 + time.tv_nsec; }

// A real experiment holds a few hundred entries; a folder of far more is no
// experiment, and summing it must not hold up a crawl.
constexpr size_t kMaxSummedEntries = 100000;

}  // namespace

std::string_view FileStart::First(size_t bytes) {
  if (bytes > read_) {
    head_ = ReadHead(file_, bytes);
    read_ = bytes;
  }
  return std::string_view(head_).substr(0, bytes);
}

bool FormatFamily::RecognisesFile(const std::filesystem::path&, FileStart&) const { return false; }

bool FormatFamily::RecognisesFolder(const std::filesystem::path&) const { return false; }

void FormatFamily::SumIdentity(const std::filesystem::path& folder, metadata::FileIdentity& identity) const {
  if (!IsFolderDocument()) return;
  const FolderSum sum = SumFolder(folder);
  identity.size = sum.bytes;
  identity.modifiedNs = std::max(identity.modifiedNs, sum.latestModifiedNs);
}

std::optional<std::string> FormatFamily::Explain(const std::filesystem::path&, FileStart&) const { return std::nullopt; }

FolderSum SumFolder(const std::filesystem::path& root) {
  FolderSum sum;
  std::vector<std::string> pending{root.string()};
  size_t entries = 0;
  while (!pending.empty() && entries < kMaxSummedEntries) {
    const std::string folder = pending.back();
    pending.pop_back();
    DIR* handle = opendir(folder.c_str());
    if (!handle) continue;
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(handle);
      if (!entry && errno != 0) {  // the listing broke off: no sum to compare, the size says so
        const int error = errno;
        closedir(handle);
        errno = error;
        return FolderSum{-1, sum.latestModifiedNs};
      }
      if (!entry) break;
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      ++entries;
      const std::string child = folder + "/" + entry->d_name;
      struct stat info {};
      if (lstat(child.c_str(), &info) != 0) continue;
      sum.latestModifiedNs = std::max(sum.latestModifiedNs, Nanoseconds(info.st_mtim));
      if (S_ISDIR(info.st_mode)) pending.push_back(child);
      else if (S_ISREG(info.st_mode)) sum.bytes += std::int64_t(info.st_size);
    }
    closedir(handle);
  }
  return sum;
}

std::string LowerExtension(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

std::string WithExtensions(std::string_view what, std::span<const std::string_view> extensions) {
  std::string text(what);
  for (size_t i = 0; i < extensions.size(); ++i) text += std::string(i ? ", " : " (") + std::string(extensions[i]);
  return extensions.empty() ? text : text + ")";
}

}  // namespace importers
