// The indexer names file systems as the query service does (see
// platform/metadata/filesystem_id.h), which leaves out documents of disks
// that are not mounted.
#pragma once

#include "platform/metadata/filesystem_id.h"

namespace indexer {
using metadata::FileSystemId;
using metadata::ForgetFileSystemIds;
using metadata::OldDeviceNumber;
using metadata::OldDeviceNumberAt;
}  // namespace indexer
