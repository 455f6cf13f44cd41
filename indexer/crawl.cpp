#include "indexer/crawl.h"

#include "indexer/filesystem_id.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>

namespace indexer {

namespace {

std::int64_t Nanoseconds(const struct timespec& time) { return std::int64_t(time.tv_sec) * 1000000000 + time.tv_nsec; }

std::string Join(const std::string& folder, const char* name) {
  return folder == "/" ? "/" + std::string(name) : folder + "/" + name;
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsLink(int folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_LNK;
  struct stat info {};
  return fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// Names compared as the ASCII letters' case may differ on a file system
// that ignores it (a folder copied onto a FAT disk), where "ACQUS" is acqus.
bool SameName(const std::string& name, std::string_view marker) {
  return name.size() == marker.size() &&
         std::equal(name.begin(), name.end(), marker.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); });
}

struct Entry {
  std::string name;
  bool link = false;
};

// A folder being walked: what its entries are looked up relative to.
struct Folder {
  int handle = AT_FDCWD;    // AT_FDCWD: none, the root is reached by its whole path
  const std::string& real;  // where it really lies, for the network flag
  dev_t device = 0;
  bool network = false;
};

// The folder `name` relative to the open folder `parent`, for listing;
// null with errno set when it cannot be opened.
DIR* OpenFolder(int parent, const char* name) {
  const int handle = openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0) return nullptr;
  DIR* folder = fdopendir(handle);
  if (!folder) {
    const int error = errno;
    close(handle);
    errno = error;
  }
  return folder;
}

class Walker {
 public:
  Walker(const CrawlOptions& options, CrawlResult& result) : options_(options), result_(result) {}

  void Visit(const std::string& path, int depth) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) Unreadable(path, std::strerror(errno));
      return;
    }
    const std::string real = metadata::ResolvedPath(path);
    Take(path, {AT_FDCWD, real, dev_t(-1), false}, {path, false}, info, depth);
  }

 private:
  // One path with its status: a folder to walk, a file to recognise. `entry`
  // is how `parent` reaches it; `path` is what the user knows.
  void Take(const std::string& path, const Folder& parent, const Entry& entry, const struct stat& info, int depth) {
    if (options_.stopped && options_.stopped()) return;
    if (IsExcluded(path, options_.excludes)) return;
    ++result_.filesSeen;
    if (result_.filesSeen % 2048 == 0 && options_.progress) options_.progress(result_);
    if (S_ISDIR(info.st_mode)) return VisitFolder(path, parent, entry, info, depth);
    if (!S_ISREG(info.st_mode)) return;
    const metadata::FileIdentity identity{FileSystemId(path, info.st_dev), std::uint64_t(info.st_ino), std::int64_t(info.st_size),
                                          Nanoseconds(info.st_mtim)};
    importers::Family family = options_.known ? options_.known(path, identity) : nullptr;
    const bool known = family != nullptr;
    if (!family) family = importers::Recognise(path);
    if (!family) return;
    Add(path, family, identity, IsOnNetwork(path, parent, entry, info));
    result_.documents.back().known = known;
  }

  // Whether `entry` of `parent` lies on a network file system. Asked of the
  // mount table once a folder: an entry is where its folder is unless it is
  // a link or lies on another file system (a file mounted there).
  bool IsOnNetwork(const std::string& path, const Folder& parent, const Entry& entry, const struct stat& info) {
    if (parent.handle == AT_FDCWD) return metadata::IsOnNetworkFileSystem(parent.real, options_.mounts);  // the root itself
    if (entry.link) return metadata::IsOnNetworkFileSystem(metadata::ResolvedPath(path), options_.mounts);
    if (info.st_dev != parent.device) return metadata::IsOnNetworkFileSystem(Join(parent.real, entry.name.c_str()), options_.mounts);
    return parent.network;
  }

  void VisitFolder(const std::string& path, const Folder& parent, const Entry& entry, const struct stat& info, int depth) {
    if (depth > 0 && importers::IsSkippedFolder(path)) return;
    if (!walked_.insert({info.st_dev, info.st_ino}).second) return;  // walked already: a link back, or twice linked
    if (depth > 256) return Unreadable(path, "folders nested more than 256 deep are not walked");
    if (parent.handle != AT_FDCWD && info.st_dev != parent.device) result_.mountFolders.push_back({path, FileSystemId(path, info.st_dev)});
    const std::string real = parent.handle == AT_FDCWD ? parent.real
                             : entry.link                  ? metadata::ResolvedPath(path)
                                                           : Join(parent.real, entry.name.c_str());
    DIR* folder = OpenFolder(parent.handle, entry.name.c_str());
    const int openError = errno;
    std::vector<Entry> entries;
    const int listingError = folder ? List(path, folder, entries) : openError;
    // A folder document is recognised by what it holds: only a folder whose
    // listing names a family's marker (or could not be read) is asked.
    const bool mayBeDocument = listingError != 0 || importers::MayBeFolderDocument([&](std::string_view marker) {
      return std::any_of(entries.begin(), entries.end(), [&](const Entry& listed) { return SameName(listed.name, marker); });
    });
    if (mayBeDocument) {
      if (const importers::Family family = importers::Recognise(path); family && family->IsFolderDocument()) {
        if (folder) closedir(folder);
        if (auto identity = IdentityOf(path, family))
          Add(path, family, *identity, metadata::IsOnNetworkFileSystem(real, options_.mounts));
        else
          Unreadable(path, "cannot read the " + std::string(family->name()) + ": " + std::strerror(errno));
        return;
      }
    }
    if (!folder) return Unreadable(path, std::string("cannot read the folder: ") + std::strerror(listingError));
    const Folder here{dirfd(folder), real, info.st_dev, metadata::IsOnNetworkFileSystem(real, options_.mounts)};
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    // Each entry looked up relative to the open folder: no walk down the whole path a file.
    std::vector<std::pair<std::string, int>> failed;  // path, errno
    for (const Entry& listed : entries) {
      const std::string child = Join(path, listed.name.c_str());
      struct stat childInfo {};
      if (fstatat(here.handle, listed.name.c_str(), &childInfo, 0) != 0) {
        // Vanished since it was listed, or a dangling link: no document, no error.
        if (errno != ENOENT && errno != ENOTDIR) failed.emplace_back(child, errno);
        continue;
      }
      Take(child, here, listed, childInfo, depth + 1);
    }
    closedir(folder);
    // A listing that broke off is no proof the entries not listed are gone.
    if (listingError != 0) Unreadable(path, std::string("cannot read the whole folder: ") + std::strerror(listingError));
    ReportFailed(path, entries.size(), failed);
  }

  // The folder's entries but "." and ".."; the error that ended the listing
  // early, 0 when it was read to the end.
  int List(const std::string& path, DIR* folder, std::vector<Entry>& entries) {
    for (;;) {
      errno = 0;
      const dirent* entry = options_.readEntry ? options_.readEntry(path, folder) : readdir(folder);
      if (!entry) return errno;
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      entries.push_back({entry->d_name, IsLink(dirfd(folder), *entry)});
    }
  }

  // A folder listed but none of its entries looked at cannot be entered (no
  // search permission): named once, not entry by entry.
  void ReportFailed(const std::string& folder, size_t entries, const std::vector<std::pair<std::string, int>>& failed) {
    if (failed.empty()) return;
    if (failed.size() == entries) return Unreadable(folder, std::string("cannot enter the folder: ") + std::strerror(failed.front().second));
    for (const auto& [child, error] : failed) Unreadable(child, std::strerror(error));
  }

  void Unreadable(const std::string& path, const std::string& why) {
    result_.problems.emplace_back(path, why + "; the documents indexed there are kept");
    result_.unreadable.push_back(path);
  }

  void Add(const std::string& path, importers::Family family, const metadata::FileIdentity& identity, bool network) {
    result_.documents.push_back({path, family, identity, network});
  }

  const CrawlOptions& options_;
  CrawlResult& result_;
  std::set<std::pair<dev_t, ino_t>> walked_;
};

}  // namespace

bool IsExcluded(const std::string& path, const std::vector<std::string>& excludes) {
  if (excludes.empty()) return false;
  const std::string name = NameOf(path);
  for (const std::string& pattern : excludes)
    if (fnmatch(pattern.c_str(), path.c_str(), 0) == 0 || fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
  return false;
}

std::optional<metadata::FileIdentity> IdentityOf(const std::string& path, importers::Family family) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  metadata::FileIdentity identity{FileSystemId(path, info.st_dev), std::uint64_t(info.st_ino), std::int64_t(info.st_size),
                                  Nanoseconds(info.st_mtim)};
  if (family) family->SumIdentity(path, identity);
  if (identity.size < 0) return std::nullopt;  // a folder below it could not be listed; errno says why
  return identity;
}

void Crawl(const std::string& root, const CrawlOptions& options, CrawlResult& result) {
  Walker(options, result).Visit(root, 0);
}

}  // namespace indexer
