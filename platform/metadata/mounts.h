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
// decided by the deepest mount point above it.
bool IsOnNetworkFileSystem(const std::string& path, const std::vector<Mount>& mounts);
std::vector<Mount> CurrentMounts();

}  // namespace metadata
