#include "importers/spectrometer/folder_importer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>

#include <libxml/xmlreader.h>

#include "importers/nuclei.h"
#include "importers/peaks/peak_picking.h"
#include "importers/spectrometer/parameters.h"
#include "importers/text_file.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/spectrum_preview.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace importers::spectrometer {

namespace {

constexpr std::uintmax_t kMaxParameterBytes = 16u << 20;
constexpr std::uintmax_t kMaxPeakListBytes = 16u << 20;
constexpr size_t kMaxListedPeaks = 100000;

std::optional<Parameters> ReadParameters(const fs::path& file) {
  std::error_code exists;
  if (!fs::is_regular_file(file, exists)) return std::nullopt;
  std::string error;
  std::optional<std::string> text = ReadTextFile(file, error, kMaxParameterBytes);
  if (!text) return std::nullopt;
  return Parameters::Parse(*text);
}

// The processing folder with the lowest number.
std::optional<fs::path> FirstProcessing(const fs::path& folder) {
  std::optional<std::pair<long, fs::path>> lowest;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder / "pdata", error)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit) || name.size() > 9) continue;
    const long number = std::stol(name);
    if (!lowest || number < lowest->first) lowest = std::make_pair(number, entry.path());
  }
  if (!lowest) return std::nullopt;
  return lowest->second;
}

// The title file's first non-empty line is the title, the rest the notes.
void AddTitle(const fs::path& processing, Attributes& attributes) {
  std::string error;
  std::optional<std::string> text = ReadTextFile(processing / "title", error, 1 << 20);
  if (!text) return;
  std::replace(text->begin(), text->end(), '\r', '\n');  // old Mac line breaks too
  std::vector<std::string> lines;
  std::string_view rest = *text, line;
  while (TakeLine(rest, line)) {
    line = TrimBlanks(line);
    if (!line.empty() || !lines.empty()) lines.emplace_back(line);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return;
  attributes[attributes::kTitle] = lines.front();
  std::string notes;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    if (!notes.empty()) notes += ' ';
    notes += lines[i];
  }
  if (!notes.empty()) attributes[attributes::kNotes] = notes;
}

// A dimension is a pseudo one, not a frequency, when its axis is a list or
// time: its processing parameters say it was not Fourier transformed, or a
// list of delays, powers or gradients drives it.
bool IsPseudoDimension(const fs::path& folder, const std::optional<fs::path>& processing, int dimension) {
  if (processing) {
    const std::string suffix = dimension == 2 ? "proc2s" : "proc3s";
    if (auto proc = ReadParameters(*processing / suffix)) {
      if (proc->Number("FT_mod").value_or(1) == 0) return true;
      if (auto nucleus = proc->Text("AXNUC"); nucleus && !ParseNucleus(*nucleus)) return true;
      return false;
    }
  }
  for (const char* list : {"vdlist", "vclist", "vplist", "vtlist", "difflist", "valist", "gradlist"}) {
    std::error_code error;
    if (fs::exists(folder / list, error)) return true;
  }
  return false;
}

// Options for reading a file that may be hostile: no network, no entities
// expanded, no DTD loaded, and libxml2's own limits on names and text kept
// (XML_PARSE_HUGE would lift them).
constexpr int kSafeXmlOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;

struct XmlReaderDeleter {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};

// The F1 attribute of each Peak1D element, in ppm; none with a note when the
// file is no well-formed XML (what was read before the damage is not trusted).
std::optional<std::vector<double>> ReadPeakList(const std::string& xml, std::vector<std::string>& notes) {
  std::unique_ptr<xmlTextReader, XmlReaderDeleter> reader(
      xmlReaderForMemory(xml.data(), int(xml.size()), "peaklist.xml", nullptr, kSafeXmlOptions));
  if (!reader) return std::nullopt;
  std::vector<double> peaks;
  int status = 0;
  while ((status = xmlTextReaderRead(reader.get())) == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    if (xmlStrcmp(xmlTextReaderConstLocalName(reader.get()), BAD_CAST "Peak1D") != 0) continue;
    std::unique_ptr<xmlChar, decltype(xmlFree)> value(xmlTextReaderGetAttribute(reader.get(), BAD_CAST "F1"), xmlFree);
    if (!value || peaks.size() >= kMaxListedPeaks) continue;
    const char* text = reinterpret_cast<const char*>(value.get());
    char* end = nullptr;
    const double ppm = std::strtod(text, &end);
    if (end != text && std::isfinite(ppm)) peaks.push_back(ppm);
  }
  if (status != 0) {
    notes.push_back("pdata peaklist.xml is not well-formed XML; it is not used");
    return std::nullopt;
  }
  return peaks;
}

// The file's bytes go to libxml2 as they are: it follows the encoding the
// file declares.
std::vector<double> PeakList(const fs::path& processing, std::vector<std::string>& notes) {
  const fs::path file = processing / "peaklist.xml";
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return {};
  const std::uintmax_t size = fs::file_size(file, error);
  if (error || size > kMaxPeakListBytes) {
    notes.push_back("pdata peaklist.xml is not used: " + (error ? error.message() : "it is larger than 16 MiB"));
    return {};
  }
  std::vector<double> peaks = ReadPeakList(ReadHead(file, size_t(size)), notes).value_or(std::vector<double>{});
  std::sort(peaks.begin(), peaks.end());
  return peaks;
}

// A processed data file's values: int32 ($DTYPP 0) or float64 (2),
// big-endian when $BYTORDP is 1, scaled by 2^$NC_proc; at most kMaxPoints.
std::vector<double> ReadProcessedValues(const fs::path& file, const Parameters& procs) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  const double type = procs.Number("DTYPP").value_or(0);
  const bool bigEndian = procs.Number("BYTORDP").value_or(0) == 1;
  const size_t width = type == 2 ? 8 : 4;
  std::error_code sizeError;
  const std::uintmax_t bytes = fs::file_size(file, sizeError);
  const size_t points = sizeError ? 0 : size_t(std::min<std::uintmax_t>(bytes / width, kMaxPoints));
  std::vector<unsigned char> raw(points * width);
  in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
  const double scale = std::pow(2.0, procs.Number("NC_proc").value_or(0));
  std::vector<double> values(points);
  for (size_t i = 0; i < points; ++i) {
    unsigned char* p = raw.data() + i * width;
    const bool swap = bigEndian != (std::endian::native == std::endian::big);
    if (swap) std::reverse(p, p + width);
    if (width == 8) {
      double v;
      std::memcpy(&v, p, 8);
      values[i] = v * scale;
    } else {
      std::int32_t v;
      std::memcpy(&v, p, 4);
      values[i] = double(v) * scale;
    }
  }
  return values;
}

// The shifts of the first and last of a dimension's points: point 0 lies at
// $OFFSET and point SI-1 at $OFFSET - $SW_p/$SF. None without $SW_p and $SF.
std::optional<std::pair<double, double>> ShiftSpan(const Parameters& procs) {
  const double offset = procs.Number("OFFSET").value_or(0);
  const double sf = procs.Number("SF").value_or(0);
  const double width = sf > 0 ? procs.Number("SW_p").value_or(0) / sf : 0;
  if (!(width > 0) || !std::isfinite(offset + width)) return std::nullopt;
  return std::make_pair(offset, offset - width);
}

// The real processed 1D spectrum (pdata/N/1r): its peaks and its preview.
std::vector<double> PickedPeaksAndPreview(const fs::path& processing, const std::string& nucleus, bool pick, Imported& out) {
  auto procs = ReadParameters(processing / "procs");
  if (!procs) return {};
  const std::vector<double> values = ReadProcessedValues(processing / "1r", *procs);
  const size_t points = values.size();
  const double si = procs->Number("SI").value_or(double(points));
  if (points < 3 || si != double(points)) {
    if (points >= 3) out.notes.push_back("pdata 1r holds " + std::to_string(points) + " points and procs says " + NumberText(si));
    if (points < 3) return {};
  }
  const auto span = ShiftSpan(*procs);
  if (!span) {
    if (pick) out.notes.push_back("procs has no SW_p and SF to place the peaks; none are picked");
    return {};
  }
  if (auto preview = OneDimensionalPreview(values, span->first, span->second, nucleus))
    out.attributes[attributes::kPreview] = EncodePreview(*preview);
  if (!pick) return {};
  const double step = (span->first - span->second) / double(points - 1);
  return peaks::PickPeaks(values, [&](double index) { return span->first - index * step; });
}

// The processed 2D spectrum (pdata/N/2rr) as a preview grid. The file holds
// the plane in tiles of $XDIM points of each dimension, tile by tile.
void AddPlanePreview(const fs::path& processing, const StringArray& nuclei, Imported& out) {
  auto procs = ReadParameters(processing / "procs");
  auto proc2s = ReadParameters(processing / "proc2s");
  if (!procs || !proc2s || nuclei.size() < 2) return;
  const auto span = ShiftSpan(*procs), rowSpan = ShiftSpan(*proc2s);
  const double si = procs->Number("SI").value_or(0), si2 = proc2s->Number("SI").value_or(0);
  const double xdim = procs->Number("XDIM").value_or(si), xdim2 = proc2s->Number("XDIM").value_or(si2);
  if (!span || !rowSpan || !(si >= 2 && si2 >= 2 && si * si2 <= double(kMaxPoints)) || !(xdim >= 1 && xdim <= si) ||
      !(xdim2 >= 1 && xdim2 <= si2))
    return;
  const size_t columns = size_t(si), rows = size_t(si2), tileColumns = size_t(xdim), tileRows = size_t(xdim2);
  if (columns % tileColumns != 0 || rows % tileRows != 0) return;
  const std::vector<double> values = ReadProcessedValues(processing / "2rr", *procs);
  if (values.size() != columns * rows) return;
  const size_t tilesAcross = columns / tileColumns;
  PreviewGrid grid(columns, rows);
  std::vector<double> row(columns);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < columns; ++c) {
      const size_t tile = (r / tileRows) * tilesAcross + c / tileColumns;
      row[c] = values[tile * tileRows * tileColumns + (r % tileRows) * tileColumns + c % tileColumns];
    }
    grid.AddRow(r, row);
  }
  if (auto preview = grid.Finish(span->first, span->second, rowSpan->first, rowSpan->second, nuclei[0], nuclei[1]))
    out.attributes[attributes::kPreview] = EncodePreview(*preview);
}

}  // namespace

bool IsExperimentFolder(const fs::path& folder) {
  std::error_code error;
  return fs::is_regular_file(folder / "acqus", error) &&
         (fs::exists(folder / "fid", error) || fs::exists(folder / "ser", error) || fs::is_directory(folder / "pdata", error));
}

ImportOutcome ImportExperimentFolder(const fs::path& folder) {
  std::optional<Parameters> acqus = ReadParameters(folder / "acqus");
  if (!acqus) return ImportError{"acqus cannot be read"};
  if (!acqus->Has("NUC1") && !acqus->Has("SFO1")) return ImportError{"acqus holds neither $NUC1 nor $SFO1: not an acquisition parameter file"};
  Imported out;
  Attributes& a = out.attributes;
  const std::optional<fs::path> processing = FirstProcessing(folder);
  if (processing) AddTitle(*processing, a);

  // $PARMODE + 1 dimensions, less the pseudo ones; the direct one first.
  const int declared = int(std::clamp(acqus->Number("PARMODE").value_or(0), 0.0, 2.0)) + 1;
  StringArray nuclei;
  NumberArray frequencies;
  int dimensions = 0;
  for (int dimension = 1; dimension <= declared; ++dimension) {
    const std::optional<Parameters> parameters = dimension == 1 ? acqus : ReadParameters(folder / (dimension == 2 ? "acqu2s" : "acqu3s"));
    if (dimension > 1 && IsPseudoDimension(folder, processing, dimension)) continue;
    ++dimensions;
    if (!parameters) continue;
    if (auto nucleus = ParseNucleus(parameters->Text("NUC1").value_or(""))) nuclei.push_back(*nucleus);
    if (auto frequency = parameters->Number("SFO1")) frequencies.push_back(*frequency);
  }
  a[attributes::kDimensions] = double(dimensions);
  if (!nuclei.empty()) a[attributes::kNucleus] = nuclei;
  if (!frequencies.empty()) a[attributes::kObserveFrequency] = frequencies;
  if (auto date = acqus->Number("DATE"); date && *date > 0) a[attributes::kCreationDate] = DateFromUnixSeconds(*date);

  if (processing && dimensions == 1) {
    std::vector<double> peaks = PeakList(*processing, out.notes);
    const std::vector<double> picked = PickedPeaksAndPreview(*processing, nuclei.empty() ? "" : nuclei.front(), peaks.empty(), out);
    if (peaks.empty()) peaks = picked;
    if (!peaks.empty()) a[attributes::kPeaks] = NumberArray(peaks);
  } else if (processing && dimensions == 2) {
    AddPlanePreview(*processing, nuclei, out);
  }
  return out;
}

}  // namespace importers::spectrometer
