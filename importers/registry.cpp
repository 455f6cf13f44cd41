#include "importers/registry.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace metadata;

namespace importers {

namespace {

// The file's size, modification time and birth time (where the file system
// keeps one).
struct FileTimes {
  std::int64_t size = 0;
  std::optional<Date> modified, born;
};

FileTimes TimesOf(const fs::path& path) {
  FileTimes times;
  struct statx info {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_SIZE | STATX_MTIME | STATX_BTIME, &info) != 0) return times;
  times.size = std::int64_t(info.stx_size);
  times.modified = DateFromUnixSeconds(double(info.stx_mtime.tv_sec) + info.stx_mtime.tv_nsec / 1e9);
  if (info.stx_mask & STATX_BTIME) times.born = DateFromUnixSeconds(double(info.stx_btime.tv_sec) + info.stx_btime.tv_nsec / 1e9);
  return times;
}

// A title or note longer than this is cut: no one reads more, and the index
// would carry it in every table.
constexpr size_t kMaxTextBytes = 65536;

void LimitTexts(Imported& imported) {
  for (auto& [name, value] : imported.attributes) {
    auto* text = std::get_if<std::string>(&value);
    if (!text || text->size() <= kMaxTextBytes) continue;
    size_t cut = kMaxTextBytes;
    while (cut > 0 && (static_cast<unsigned char>((*text)[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    text->resize(cut);
    imported.notes.push_back(name + " is cut to its first " + std::to_string(cut) + " bytes");
  }
}

}  // namespace

std::string_view FamilyName(Family family) { return family ? family->name() : "none"; }

bool IsSkippedFolder(const fs::path& folder) {
  const std::string name = folder.filename().string();
  return (!name.empty() && name[0] == '.' && name != "." && name != "..") || name == "__MACOSX";
}

Family Recognise(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) return nullptr;
  if (fs::is_directory(status)) {
    for (Family family : Families())
      if (family->RecognisesFolder(path)) return family;
    return nullptr;
  }
  if (!fs::is_regular_file(status)) return nullptr;
  const std::string name = path.filename().string();
  if (name.starts_with("._") || name == ".DS_Store") return nullptr;
  FileStart start(path);
  for (Family family : Families())
    if (family->RecognisesFile(path, start)) return family;
  return nullptr;
}

bool MayBeFolderDocument(const std::function<bool(std::string_view name)>& holds) {
  for (Family family : Families())
    if (family->IsFolderDocument() && (family->FolderMarker().empty() || holds(family->FolderMarker()))) return true;
  return false;
}

Attributes FileAttributes(const fs::path& path) {
  Attributes own;
  own[attributes::kDisplayName] = DisplayNameOf(path.string());
  const FileTimes times = TimesOf(path);
  std::error_code error;
  // A folder's size is what its files hold (an experiment folder is one document).
  own[attributes::kSize] = double(fs::is_directory(path, error) ? SumFolder(path).bytes : times.size);
  if (times.modified) own[attributes::kModificationDate] = *times.modified;
  if (times.born || times.modified) own[attributes::kCreationDate] = times.born ? *times.born : *times.modified;
  return own;
}

ImportOutcome ImportDocument(const fs::path& path, Family family) {
  ImportOutcome outcome = ImportError{"not a document Orvane reads"};
  try {
    if (family) outcome = family->Import(path);
  } catch (const std::exception& failure) {
    outcome = ImportError{std::string("the importer failed: ") + failure.what()};
  }
  if (auto* imported = std::get_if<Imported>(&outcome)) {
    LimitTexts(*imported);
    // The format's own date, where it has one, wins over the file's.
    for (auto& [name, value] : FileAttributes(path)) imported->attributes.try_emplace(name, std::move(value));
  }
  return outcome;
}

}  // namespace importers
