#include "importers/registry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "importers/jcamp/jcamp_importer.h"
#include "importers/molecules/molecule_importer.h"
#include "importers/nmredata/nmredata_importer.h"
#include "importers/spectrometer/folder_importer.h"
#include "importers/text_file.h"
#include "platform/metadata/json_documents.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace importers {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool StartsLikeJcamp(const fs::path& file) {
  std::string head = ReadHead(file, 4096);
  if (head.rfind("\xEF\xBB\xBF", 0) == 0) head.erase(0, 3);
  const size_t start = head.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return false;
  const std::string first = Lower(head.substr(start, 9));
  return first.rfind("##title", 0) == 0 || first.rfind("##jcamp", 0) == 0;
}

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

const char* FamilyName(Family family) {
  switch (family) {
    case Family::Jcamp: return "jcamp";
    case Family::ExperimentFolder: return "experiment folder";
    case Family::NmreData: return "nmredata";
    case Family::Molecules: return "molecules";
    case Family::None: break;
  }
  return "none";
}

bool IsSkippedFolder(const fs::path& folder) {
  const std::string name = folder.filename().string();
  return (!name.empty() && name[0] == '.' && name != "." && name != "..") || name == "__MACOSX";
}

Family Recognise(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) return Family::None;
  if (fs::is_directory(status)) return spectrometer::IsExperimentFolder(path) ? Family::ExperimentFolder : Family::None;
  if (!fs::is_regular_file(status)) return Family::None;
  const std::string name = path.filename().string();
  if (name.rfind("._", 0) == 0 || name == ".DS_Store") return Family::None;
  const std::string lower = Lower(name);
  const std::string extension = Lower(path.extension().string());
  if (extension == ".jdx" || extension == ".dx" || extension == ".jcamp" || extension == ".jcm")
    return StartsLikeJcamp(path) ? Family::Jcamp : Family::None;
  if (EndsWith(lower, ".nmredata.sdf")) return Family::NmreData;
  if ((extension == ".sdf" || extension == ".sd") && nmredata::HasNmredataTags(path)) return Family::NmreData;
  if (molecules::IsMoleculeExtension(extension)) return Family::Molecules;
  return Family::None;
}

// A folder's size is what its files hold (an experiment folder is one document).
std::int64_t FolderBytes(const fs::path& folder) {
  std::int64_t total = 0;
  size_t entries = 0;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator() && ++entries < 100000; it.increment(error)) {
    std::error_code ignored;
    if (it->is_regular_file(ignored)) total += std::int64_t(it->file_size(ignored));
  }
  return total;
}

Attributes FileAttributes(const fs::path& path) {
  Attributes attributes;
  attributes[kDisplayNameAttribute] = DisplayNameOf(path.string());
  const FileTimes times = TimesOf(path);
  std::error_code error;
  attributes["kMDItemFSSize"] = double(fs::is_directory(path, error) ? FolderBytes(path) : times.size);
  if (times.modified) attributes["kMDItemContentModificationDate"] = *times.modified;
  if (times.born || times.modified) attributes["kMDItemContentCreationDate"] = times.born ? *times.born : *times.modified;
  return attributes;
}

ImportOutcome ImportDocument(const fs::path& path, Family family) {
  ImportOutcome outcome = ImportError{"not a document Orvane reads"};
  try {
    switch (family) {
      case Family::Jcamp: outcome = jcamp::ImportJcamp(path); break;
      case Family::ExperimentFolder: outcome = spectrometer::ImportExperimentFolder(path); break;
      case Family::NmreData: outcome = nmredata::ImportNmredata(path); break;
      case Family::Molecules: outcome = molecules::ImportMolecules(path); break;
      case Family::None: break;
    }
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
