#include "platform/metadata/filesystem_id.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

namespace metadata {

namespace {

std::uint64_t Hashed(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const unsigned char byte : text) hash = (hash ^ byte) * 1099511628211ull;
  return hash == 0 ? 1 : hash;
}

// The UUID udev names for the block device, if any.
std::optional<std::string> UuidOf(dev_t device) {
  static const std::map<dev_t, std::string> uuids = [] {
    std::map<dev_t, std::string> found;
    DIR* folder = opendir("/dev/disk/by-uuid");
    if (!folder) return found;
    while (const dirent* entry = readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      struct stat info {};
      if (fstatat(dirfd(folder), entry->d_name, &info, 0) == 0 && S_ISBLK(info.st_mode)) found.emplace(info.st_rdev, entry->d_name);
    }
    closedir(folder);
    return found;
  }();
  const auto found = uuids.find(device);
  if (found == uuids.end()) return std::nullopt;
  return found->second;
}

// One answer per device until forgotten: asked once a file otherwise.
std::map<dev_t, std::uint64_t>& Known() {
  static std::map<dev_t, std::uint64_t> known;
  return known;
}

}  // namespace

void ForgetFileSystemIds() { Known().clear(); }

OldDeviceNumber OldDeviceNumberAt(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return {std::uint64_t(info.st_dev), FileSystemId(path, info.st_dev)};
}

bool DiskNotMountedAt(std::string folder, std::uint64_t device) {
  if (device == 0) return false;
  for (;;) {
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0)
      return S_ISDIR(info.st_mode) && device != FileSystemId(folder, info.st_dev) && device != std::uint64_t(info.st_dev);
    const size_t slash = folder.rfind('/');
    if (slash == std::string::npos || folder == "/") return false;
    folder.resize(std::max<size_t>(slash, 1));
  }
}

bool DocumentOnDiskNotMounted(const std::string& document, std::uint64_t device) {
  const size_t slash = document.rfind('/');
  return slash != std::string::npos && DiskNotMountedAt(document.substr(0, std::max<size_t>(slash, 1)), device);
}

std::uint64_t FileSystemId(const std::string& path, dev_t device) {
  std::map<dev_t, std::uint64_t>& known = Known();
  if (const auto found = known.find(device); found != known.end()) return found->second;
  std::uint64_t id = std::uint64_t(device);
  struct statfs info {};
  if (const auto uuid = UuidOf(device)) {
    id = Hashed("uuid " + *uuid);
  } else if (statfs(path.c_str(), &info) == 0) {
    int words[2];
    std::memcpy(words, &info.f_fsid, sizeof words);
    if (words[0] != 0 || words[1] != 0) id = Hashed("fsid " + std::to_string(words[0]) + " " + std::to_string(words[1]) + " " +
                                                   std::to_string(info.f_type));
    else return id;  // not cached: a file system mounted later on this device may have one
  }
  known.emplace(device, id);
  return id;
}

}  // namespace metadata
