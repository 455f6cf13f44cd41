#include "platform/metadata/mounts.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace metadata {

namespace {

std::string Unescape(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string_view::npos) {
        out.push_back(char(std::stoi(std::string(digits), nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

}  // namespace

std::vector<Mount> ParseMountInfo(std::string_view text) {
  std::vector<Mount> mounts;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream fields(line);
    std::vector<std::string> parts;
    std::string part;
    while (fields >> part) parts.push_back(part);
    size_t separator = 0;
    while (separator < parts.size() && parts[separator] != "-") ++separator;
    if (parts.size() < 5 || separator + 1 >= parts.size()) continue;
    mounts.push_back({Unescape(parts[4]), parts[separator + 1]});
  }
  return mounts;
}

bool IsNetworkFileSystemType(std::string_view type) {
  static const char* const kNetwork[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "9p", "ceph",
                                         "glusterfs", "lustre", "gpfs", "davfs", "fuse.sshfs", "sshfs", "fuse.rclone",
                                         "fuse.davfs2", "fuse.s3fs", "fuse.glusterfs", "fuse.cephfs", "coda", "ocfs2"};
  for (const char* network : kNetwork)
    if (type == network) return true;
  return false;
}

bool IsOnNetworkFileSystem(const std::string& path, const std::vector<Mount>& mounts) {
  const Mount* deepest = nullptr;
  for (const Mount& mount : mounts) {
    const std::string& point = mount.mountPoint;
    const bool above = point == "/" || (path.compare(0, point.size(), point) == 0 &&
                                        (path.size() == point.size() || path[point.size()] == '/'));
    if (above && (!deepest || point.size() >= deepest->mountPoint.size())) deepest = &mount;
  }
  return deepest && IsNetworkFileSystemType(deepest->type);
}

std::string ResolvedPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string resolved(real);
  std::free(real);
  return resolved;
}

std::vector<Mount> CurrentMounts() {
  std::ifstream in("/proc/self/mountinfo");
  std::stringstream text;
  text << in.rdbuf();
  return ParseMountInfo(text.str());
}

}  // namespace metadata
