// Which files lie on network file systems, from the kernel's mount table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace metadata {

struct Mount {
  std::string mountPoint;
  std::string type;
};

// The mounts listed in a mountinfo text (/proc/self/mountinfo), with the
// octal escapes of mount points undone.
std::vector<Mount> ParseMountInfo(std::string_view text);
bool IsNetworkFileSystemType(std::string_view type);

// The file system holding `path` is a network one (NFS, SMB/CIFS, SSHFS, ...):
// decided by the deepest mount point above it. Mount points are real paths,
// so `path` must have its symbolic links resolved (see ResolvedPath), or a
// link into a network share is taken for a local file.
bool IsOnNetworkFileSystem(const std::string& path, const std::vector<Mount>& mounts);

// Where `path` really lies, every symbolic link resolved; `path` itself when
// it cannot be resolved (it vanished, or a folder on the way is closed).
std::string ResolvedPath(const std::string& path);
std::vector<Mount> CurrentMounts();

}  // namespace metadata
