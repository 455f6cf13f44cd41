// Naming a file system so that the name survives a remount or a reboot: the
// device number (st_dev) of a removable disk changes with the order disks
// are attached, and its files would look changed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace metadata {

// A number for the file system that `path` (on device `device`) lies on:
// drawn from the file system's UUID where udev lists it
// (/dev/disk/by-uuid), else from the file system id statfs reports (most
// file systems derive it from their UUID), else the device number itself.
// Stored where the index keeps a document's device.
std::uint64_t FileSystemId(const std::string& path, dev_t device);

// Forgets the answers kept so far: disks may have been mounted or unmounted since.
void ForgetFileSystemIds();

// Documents indexed before file systems were named by FileSystemId hold
// the device number. Read so, they are the same files as before as long as
// the device number is the same, and are not imported again.
struct OldDeviceNumber {
  std::uint64_t number = 0, id = 0;  // the device number of a file system and its FileSystemId
  std::uint64_t Read(std::uint64_t held) const { return number != 0 && held == number ? id : held; }
};
OldDeviceNumber OldDeviceNumberAt(const std::string& path);  // nothing to read when the path is not there

// Whether what lay in `folder` on file system `device` (a FileSystemId, or
// the device number of an older index) is on a disk not mounted there now:
// the nearest folder at or above it that is there lies on another file
// system (an unmounted disk leaves its mount point, on the file system
// below). Never so for an unknown device (0), nor where the nearest path
// that is there is no folder: a file stands where the folder was, so what
// lay there is gone, not away (no disk is mounted on a file's path and
// leaves it behind). The one rule for the indexer, its status and searches.
bool DiskNotMountedAt(std::string folder, std::uint64_t device);
// The same for a document: what is not mounted is the folder holding it.
bool DocumentOnDiskNotMounted(const std::string& document, std::uint64_t device);

}  // namespace metadata
