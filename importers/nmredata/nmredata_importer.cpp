#include "importers/nmredata/nmredata_importer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <cmath>
#include <map>
#include <set>

#include "importers/molecules/molecule_importer.h"
#include "importers/nuclei.h"
#include "importers/spectrometer/folder_importer.h"
#include "importers/spectrometer/parameters.h"
#include "importers/text_file.h"
#include "platform/metadata/attributes.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace importers::nmredata {

namespace {

struct SdRecord {
  std::string molBlock;
  std::vector<std::pair<std::string, std::vector<std::string>>> tags;  // name, lines
};

std::string Trim(std::string_view text) { return std::string(TrimBlanks(text)); }

// Far more tags than any record carries; past them, a record's tags are
// dropped, so that a file of nothing but tag lines stays cheap.
constexpr size_t kMaxTags = 1000;

// Splits SD text into records: the molfile up to "M  END", then tags
// ">  <NAME>" followed by value lines up to a blank line.
std::vector<SdRecord> ReadSdRecords(std::string_view text) {
  std::vector<SdRecord> records(1);
  bool inMolecule = true;
  std::vector<std::string>* value = nullptr;
  std::string_view taken;
  while (TakeLine(text, taken)) {
    const std::string line(taken);
    if (line == "$$$$") {
      if (records.size() > molecules::kMaxRecords) break;  // no more are read
      records.emplace_back();
      inMolecule = true;
      value = nullptr;
      continue;
    }
    if (inMolecule) {
      records.back().molBlock += line + "\n";
      if (line.rfind("M  END", 0) == 0) inMolecule = false;
      continue;
    }
    if (line.rfind(">", 0) == 0) {
      const size_t open = line.find('<'), close = line.rfind('>');
      if (open != std::string::npos && close != std::string::npos && close > open) {
        value = nullptr;
        if (records.back().tags.size() == kMaxTags) continue;
        records.back().tags.emplace_back(line.substr(open + 1, close - open - 1), std::vector<std::string>{});
        value = &records.back().tags.back().second;
        continue;
      }
    }
    if (Trim(line).empty()) {
      value = nullptr;
      continue;
    }
    if (value && value->size() < 100000) value->push_back(line);
  }
  while (!records.empty() && records.back().tags.empty() && Trim(records.back().molBlock).empty()) records.pop_back();
  return records;
}

// A value line without its trailing "\" (the format's line separator) and
// its ";" comment.
std::string Content(const std::string& line, std::string* comment = nullptr) {
  std::string text = line;
  const size_t semicolon = text.find(';');
  if (semicolon != std::string::npos) {
    if (comment) *comment = Trim(text.substr(semicolon + 1));
    text.erase(semicolon);
  }
  while (!text.empty() && (text.back() == '\\' || std::isspace(static_cast<unsigned char>(text.back())))) text.pop_back();
  return Trim(text);
}

std::optional<double> Number(std::string text) {
  text = Trim(text);
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The shifts of a signal line: a number, or a range "a-b" counted by its
// centre and its two ends.
std::vector<double> Shifts(const std::string& field) {
  const size_t dash = field.find('-', 1);
  if (dash != std::string::npos && field[dash - 1] != 'e' && field[dash - 1] != 'E') {
    auto low = Number(field.substr(0, dash)), high = Number(field.substr(dash + 1));
    if (low && high) return {(*low + *high) / 2, *low, *high};
  }
  if (auto shift = Number(field)) return {*shift};
  return {};
}

// Sizes of the groups of nuclei joined by couplings, largest first.
NumberArray SpinSystems(const std::vector<std::string>& lines) {
  std::map<std::string, std::string> parent;
  std::function<std::string(const std::string&)> root = [&](const std::string& label) {
    std::string current = label;
    while (parent[current] != current) current = parent[current] = parent[parent[current]];
    return current;
  };
  auto add = [&](const std::string& label) {
    if (!parent.count(label)) parent[label] = label;
  };
  for (const std::string& line : lines) {
    const std::string text = Content(line);
    const size_t first = text.find(','), second = first == std::string::npos ? std::string::npos : text.find(',', first + 1);
    if (second == std::string::npos) continue;
    const std::string a = Trim(text.substr(0, first)), b = Trim(text.substr(first + 1, second - first - 1));
    if (a.empty() || b.empty()) continue;
    add(a);
    add(b);
    parent[root(a)] = root(b);
  }
  std::map<std::string, double> sizes;
  for (const auto& [label, unused] : parent) sizes[root(label)] += 1;
  NumberArray result;
  for (const auto& [group, size] : sizes) result.push_back(size);
  std::sort(result.rbegin(), result.rend());
  return result;
}

// True when `inner` is `outer` or lies in it, compared by components.
bool IsInside(const fs::path& inner, const fs::path& outer) {
  auto [outerEnd, innerAt] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
  return outerEnd == outer.end() || (std::next(outerEnd) == outer.end() && outerEnd->empty());
}

// The experiment folder a Spectrum_Location names ("file:AN-menthol/10/pdata/1/"),
// from pdata/N back to the experiment. A location is only followed inside the
// record's own folder: one that leaves it, through "..", an absolute path or
// a link, could make the index read any folder of the computer.
std::optional<fs::path> LinkedFolder(const fs::path& sdFile, const std::string& location, std::string& problem) {
  std::string relative = location;
  if (relative.rfind("file:", 0) == 0) relative.erase(0, 5);
  if (relative.empty()) return std::nullopt;
  std::error_code error;
  const fs::path base = fs::weakly_canonical(fs::absolute(sdFile.parent_path(), error), error);
  fs::path folder = fs::weakly_canonical(base / relative, error);
  if (error || relative.find("..") != std::string::npos || !IsInside(folder, base)) {
    problem = "Spectrum_Location=" + location + " lies outside the record's folder; it is not followed";
    return std::nullopt;
  }
  if (folder.filename().empty()) folder = folder.parent_path();
  if (folder.parent_path().filename() == "pdata") folder = folder.parent_path().parent_path();
  return folder;
}

// The acquisition date of the experiment a Spectrum_Location points to.
std::optional<Date> LinkedDate(const fs::path& sdFile, const std::string& location, std::vector<std::string>& notes) {
  std::string problem;
  const std::optional<fs::path> folder = LinkedFolder(sdFile, location, problem);
  if (!problem.empty()) notes.push_back(problem);
  if (!folder) return std::nullopt;
  std::string error;
  std::optional<std::string> text = ReadTextFile(*folder / "acqus", error, 16u << 20);
  if (!text) return std::nullopt;
  auto seconds = spectrometer::Parameters::Parse(*text).Number("DATE");
  if (!seconds || *seconds <= 0) return std::nullopt;
  return DateFromUnixSeconds(*seconds);
}

// The preview of the processed 1D spectrum in the experiment folder a
// Spectrum_Location points to, as the folder's own import makes it.
std::optional<std::string> LinkedPreview(const fs::path& folder) {
  if (!spectrometer::IsExperimentFolder(folder)) return std::nullopt;
  ImportOutcome outcome = spectrometer::ImportExperimentFolder(folder);
  const auto* imported = std::get_if<Imported>(&outcome);
  if (!imported) return std::nullopt;
  auto found = imported->attributes.find(attributes::kPreview);
  if (found == imported->attributes.end()) return std::nullopt;
  const auto* text = std::get_if<std::string>(&found->second);
  return text ? std::optional(*text) : std::nullopt;
}

struct Collected {
  StringArray nuclei;
  NumberArray frequencies, peaks, spins;
  int dimensions = 0;
  std::optional<Date> date;
  std::optional<std::string> preview;  // of the first 1D spectrum whose data can be read
  std::string title, notes;
  std::vector<std::string> problems;  // for the import's notes
};

void AddNucleus(StringArray& nuclei, std::string_view text) {
  const std::optional<std::string> nucleus = ParseNucleus(text);
  if (nucleus && std::find(nuclei.begin(), nuclei.end(), *nucleus) == nuclei.end()) nuclei.push_back(*nucleus);
}

void ReadSpectrumTag(const fs::path& file, const std::string& tag, const std::vector<std::string>& lines, Collected& out) {
  // NMREDATA_1D_13C, NMREDATA_2D_13C_1J_1H (indirect first, direct last); a
  // second spectrum of the same kind is told apart by a suffix, as in
  // NMREDATA_1D_13C#2, which names no nucleus.
  const std::string name = tag.substr(0, tag.find('#'));
  std::vector<std::string> parts;
  size_t start = 9;  // after "NMREDATA_"
  while (start <= name.size()) {
    const size_t underscore = name.find('_', start);
    parts.push_back(name.substr(start, underscore == std::string::npos ? std::string::npos : underscore - start));
    if (underscore == std::string::npos) break;
    start = underscore + 1;
  }
  if (parts.empty()) return;
  const bool twoD = parts[0] == "2D";
  out.dimensions = std::max(out.dimensions, twoD ? 2 : 1);
  if (twoD && parts.size() >= 2) {
    AddNucleus(out.nuclei, parts.back());
    AddNucleus(out.nuclei, parts[1]);
  } else if (parts.size() >= 2) {
    AddNucleus(out.nuclei, parts[1]);
  }
  for (const std::string& line : lines) {
    const std::string text = Content(line);
    const size_t equals = text.find('=');
    const size_t comma = text.find(',');
    if (equals != std::string::npos && (comma == std::string::npos || equals < comma)) {
      const std::string key = Trim(text.substr(0, equals)), value = Trim(text.substr(equals + 1));
      if (key == "Larmor" && !twoD)
        if (auto frequency = Number(value)) out.frequencies.push_back(*frequency);
      if (key == "Spectrum_Location" && !out.date) out.date = LinkedDate(file, value, out.problems);
      if (key == "Spectrum_Location" && !twoD && !out.preview) {
        std::string ignored;  // LinkedDate has told of a link that is not followed
        if (std::optional<fs::path> folder = LinkedFolder(file, value, ignored)) out.preview = LinkedPreview(*folder);
      }
      continue;
    }
    if (!twoD)
      for (double shift : Shifts(Trim(text.substr(0, comma)))) out.peaks.push_back(shift);
  }
}

}  // namespace

ImportOutcome ImportNmredata(const fs::path& file) {
  std::string error;
  std::optional<std::string> text = ReadTextFile(file, error, 64u << 20);
  if (!text) return ImportError{error};
  const std::vector<SdRecord> records = ReadSdRecords(*text);
  if (records.empty()) return ImportError{"no record"};
  Imported imported;
  Collected collected;
  std::vector<molecules::MoleculeRecord> molecules;
  for (size_t r = 0; r < records.size() && r < molecules::kMaxRecords; ++r) {
    std::string problem;
    if (auto molecule = molecules::MoleculeFromMolBlock(records[r].molBlock, problem))
      molecules.push_back(*molecule);
    else
      imported.notes.push_back("record " + std::to_string(r + 1) + ": " + problem);
    for (const auto& [name, lines] : records[r].tags) {
      if (name == "NMREDATA_ID") {
        for (const std::string& line : lines) {
          std::string comment;
          const std::string content = Content(line, &comment);
          if (content.rfind("Title=", 0) == 0 && collected.title.empty()) collected.title = Trim(content.substr(6));
          if (!comment.empty()) collected.notes += (collected.notes.empty() ? "" : " ") + comment;
        }
      } else if (name == "NMREDATA_J") {
        if (collected.spins.empty()) collected.spins = SpinSystems(lines);
      } else if (name.rfind("NMREDATA_1D_", 0) == 0 || name.rfind("NMREDATA_2D_", 0) == 0) {
        ReadSpectrumTag(file, name, lines, collected);
      }
    }
  }
  if (collected.dimensions == 0 && collected.nuclei.empty() && molecules.empty()) return ImportError{"no NMREDATA spectrum tag and no molecule"};
  imported.notes.insert(imported.notes.end(), collected.problems.begin(), collected.problems.end());
  Attributes& a = imported.attributes;
  molecules::AddMoleculeAttributes(molecules, a);
  std::string name = file.filename().string();
  for (const char* suffix : {".nmredata.sdf", ".sdf"})
    if (name.size() > std::strlen(suffix) && name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0) {
      name.erase(name.size() - std::strlen(suffix));
      break;
    }
  a[attributes::kTitle] = collected.title.empty() ? name : collected.title;
  if (!collected.notes.empty()) a[attributes::kNotes] = collected.notes;
  if (!collected.nuclei.empty()) a[attributes::kNucleus] = collected.nuclei;
  if (!collected.frequencies.empty()) a[attributes::kObserveFrequency] = collected.frequencies;
  if (collected.dimensions) a[attributes::kDimensions] = double(collected.dimensions);
  if (!collected.peaks.empty()) {
    std::sort(collected.peaks.begin(), collected.peaks.end());
    a[attributes::kPeaks] = collected.peaks;
  }
  if (!collected.spins.empty()) a[attributes::kSpins] = collected.spins;
  if (collected.date) a[attributes::kCreationDate] = *collected.date;
  if (collected.preview) a[attributes::kPreview] = *collected.preview;
  return imported;
}

}  // namespace importers::nmredata
