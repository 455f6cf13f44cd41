#include "platform/metadata/sqlite/mapped_vfs.h"

#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace metadata::sqlite {
namespace {

// Address space only: the pages a search touches are what it costs.
constexpr sqlite3_int64 kLargestMap = sqlite3_int64(1) << 42;
// SQLite may read a few bytes past a damaged page; a page handed out from
// the map has this many mapped bytes after it, as SQLite's own layer keeps.
// The file's last page therefore comes through a read.
constexpr sqlite3_int64 kReadableBeyondPage = 256;

// SQLite's Unix layer keeps its file descriptor to itself. It opens through
// a call that can be replaced, so the descriptor it opens for the database
// file being opened on this thread is noted there.
using OpenCall = int (*)(const char*, int, int);
OpenCall unixOpen = nullptr;
thread_local const char* watchedName = nullptr;
thread_local int watchedDescriptor = -1;

int WatchedOpen(const char* name, int flags, int mode) {
  const int descriptor = unixOpen(name, flags, mode);
  if (descriptor >= 0 && watchedName && std::strcmp(name, watchedName) == 0) watchedDescriptor = descriptor;
  return descriptor;
}

// A main database file: SQLite's own file lies after this, and serves every
// call but the mapped reads.
struct MappedFile {
  sqlite3_file base;
  sqlite3_file* unix;
  int descriptor;              // the Unix layer's; -1 (it reused one): its own, smaller map serves
  sqlite3_int64 limit;         // the connection's mmap_size
  unsigned char* map;
  sqlite3_int64 mapped;        // bytes mapped
  sqlite3_int64 usable;        // of them, within the file
  int fetched;                 // pages handed out and not yet given back
};
constexpr size_t kUnixOffset = (sizeof(MappedFile) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

MappedFile& Mapped(sqlite3_file* file) { return *reinterpret_cast<MappedFile*>(file); }
sqlite3_file* Unix(sqlite3_file* file) { return Mapped(file).unix; }
const sqlite3_io_methods& UnixMethods(sqlite3_file* file) { return *Unix(file)->pMethods; }

void Unmap(MappedFile& file) {
  if (file.map) ::munmap(file.map, size_t(file.mapped));
  file.map = nullptr;
  file.mapped = file.usable = 0;
}

// Maps the file as it is now, up to the limit. Pages added later come through
// reads until SQLite, seeing the database changed, gives the map back.
void Map(MappedFile& file) {
  struct stat status {};
  if (::fstat(file.descriptor, &status) != 0) return;
  const sqlite3_int64 size = std::min<sqlite3_int64>(status.st_size, file.limit);
  if (size <= 0) return;
  void* map = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, file.descriptor, 0);
  if (map == MAP_FAILED) {
    file.limit = 0;  // as SQLite does: reads from now on, not a failed map a page
    return;
  }
  file.map = static_cast<unsigned char*>(map);
  file.mapped = file.usable = size;
}

int Fetch(sqlite3_file* handle, sqlite3_int64 offset, int amount, void** page) {
  MappedFile& file = Mapped(handle);
  if (file.descriptor < 0) return UnixMethods(handle).xFetch(Unix(handle), offset, amount, page);
  *page = nullptr;
  if (file.limit <= 0) return SQLITE_OK;
  if (!file.map) Map(file);
  if (file.map && offset >= 0 && offset + amount + kReadableBeyondPage <= file.usable) {
    *page = file.map + offset;
    ++file.fetched;
  }
  return SQLITE_OK;
}

// No page: SQLite saw the database change, and has given every page back.
int Unfetch(sqlite3_file* handle, sqlite3_int64 offset, void* page) {
  MappedFile& file = Mapped(handle);
  if (file.descriptor < 0) return UnixMethods(handle).xUnfetch(Unix(handle), offset, page);
  if (page)
    --file.fetched;
  else
    Unmap(file);
  return SQLITE_OK;
}

int SetLimit(MappedFile& file, sqlite3_int64* limit) {
  const sqlite3_int64 wanted = std::min(*limit, kLargestMap);
  *limit = file.limit;
  if (wanted >= 0 && wanted != file.limit && file.fetched == 0) {
    file.limit = wanted;
    Unmap(file);
  }
  return SQLITE_OK;
}

int FileControl(sqlite3_file* handle, int op, void* argument) {
  MappedFile& file = Mapped(handle);
  if (file.descriptor >= 0 && op == SQLITE_FCNTL_MMAP_SIZE) return SetLimit(file, static_cast<sqlite3_int64*>(argument));
  const int code = UnixMethods(handle).xFileControl(Unix(handle), op, argument);
  // A writer about to grow the file: map it anew at the next read.
  if (file.descriptor >= 0 && op == SQLITE_FCNTL_SIZE_HINT && file.fetched == 0 && *static_cast<sqlite3_int64*>(argument) > file.mapped)
    Unmap(file);
  return code;
}

int Truncate(sqlite3_file* handle, sqlite3_int64 size) {
  const int code = UnixMethods(handle).xTruncate(Unix(handle), size);
  MappedFile& file = Mapped(handle);
  file.usable = std::min(file.usable, size);
  return code;
}

int Close(sqlite3_file* handle) {
  Unmap(Mapped(handle));
  return UnixMethods(handle).xClose(Unix(handle));
}

int Read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) { return UnixMethods(f).xRead(Unix(f), buffer, amount, offset); }
int Write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  return UnixMethods(f).xWrite(Unix(f), data, amount, offset);
}
int Sync(sqlite3_file* f, int flags) { return UnixMethods(f).xSync(Unix(f), flags); }
int FileSize(sqlite3_file* f, sqlite3_int64* size) { return UnixMethods(f).xFileSize(Unix(f), size); }
int Lock(sqlite3_file* f, int level) { return UnixMethods(f).xLock(Unix(f), level); }
int Unlock(sqlite3_file* f, int level) { return UnixMethods(f).xUnlock(Unix(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) { return UnixMethods(f).xCheckReservedLock(Unix(f), out); }
int SectorSize(sqlite3_file* f) { return UnixMethods(f).xSectorSize(Unix(f)); }
int DeviceCharacteristics(sqlite3_file* f) { return UnixMethods(f).xDeviceCharacteristics(Unix(f)); }
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return UnixMethods(f).xShmMap(Unix(f), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) { return UnixMethods(f).xShmLock(Unix(f), offset, n, flags); }
void ShmBarrier(sqlite3_file* f) { UnixMethods(f).xShmBarrier(Unix(f)); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) { return UnixMethods(f).xShmUnmap(Unix(f), deleteFlag); }

const sqlite3_io_methods kMappedMethods = {
    3,  // with xFetch and xUnfetch
    Close, Read, Write, Truncate, Sync, FileSize, Lock, Unlock, CheckReservedLock, FileControl, SectorSize, DeviceCharacteristics,
    ShmMap, ShmLock, ShmBarrier, ShmUnmap, Fetch, Unfetch,
};

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* handle, int flags, int* outFlags) {
  auto* unix = static_cast<sqlite3_vfs*>(vfs->pAppData);
  // Journals, logs and temporary files are SQLite's own, in place.
  if (!(flags & SQLITE_OPEN_MAIN_DB) || !name) return unix->xOpen(unix, name, handle, flags, outFlags);
  auto* file = new (handle) MappedFile{};
  file->unix = reinterpret_cast<sqlite3_file*>(reinterpret_cast<unsigned char*>(handle) + kUnixOffset);
  file->descriptor = -1;
  watchedName = name;
  watchedDescriptor = -1;
  const int code = unix->xOpen(unix, name, file->unix, flags, outFlags);
  watchedName = nullptr;
  if (code != SQLITE_OK || !file->unix->pMethods || file->unix->pMethods->iVersion < 3) {
    if (code == SQLITE_OK && file->unix->pMethods) file->unix->pMethods->xClose(file->unix);
    handle->pMethods = nullptr;
    return code == SQLITE_OK ? SQLITE_CANTOPEN : code;
  }
  file->descriptor = watchedDescriptor;
  file->base.pMethods = &kMappedMethods;
  return SQLITE_OK;
}

const char* Register() {
  sqlite3_vfs* unix = sqlite3_vfs_find("unix");
  if (!unix || unix->iVersion < 3 || !unix->xGetSystemCall || !unix->xSetSystemCall) return nullptr;
  unixOpen = reinterpret_cast<OpenCall>(unix->xGetSystemCall(unix, "open"));
  if (!unixOpen || unix->xSetSystemCall(unix, "open", reinterpret_cast<sqlite3_syscall_ptr>(&WatchedOpen)) != SQLITE_OK) return nullptr;
  static sqlite3_vfs vfs = *unix;
  vfs.zName = "orvane-mapped";
  vfs.szOsFile = int(kUnixOffset) + unix->szOsFile;
  vfs.xOpen = &Open;
  vfs.pAppData = unix;
  vfs.pNext = nullptr;
  return sqlite3_vfs_register(&vfs, /*makeDflt=*/0) == SQLITE_OK ? vfs.zName : nullptr;
}

}  // namespace

const char* MappedVfsName() {
  static const char* const name = Register();
  return name;
}

}  // namespace metadata::sqlite
