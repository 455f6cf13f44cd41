#include "importers/jcamp/jcamp_importer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>

#include "importers/finite_numbers.h"
#include "importers/jcamp/asdf.h"
#include "importers/jcamp/labelled_records.h"
#include "importers/molecules/formula.h"
#include "importers/molecules/molecule_importer.h"
#include "importers/nuclei.h"
#include "importers/peaks/peak_picking.h"
#include "importers/text_file.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/spectrum_preview.h"

using namespace metadata;

namespace importers::jcamp {

namespace {

std::string Trim(std::string_view text) { return std::string(TrimBlanks(text)); }

std::string Upper(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    items.push_back(Trim(std::string_view(text).substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return items;
}

// A declared number of points as a count; none when it is no count of
// points a spectrum could hold (negative, or past kMaxPoints), so that no
// absurd value is ever converted to an integer.
std::optional<size_t> PointCount(double declared) {
  if (!(declared >= 0) || declared > double(kMaxPoints)) return std::nullopt;
  return size_t(declared);
}

std::optional<double> Number(std::string text) {
  text = Trim(text);
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Records are looked up in the spectrum's block first, then in the file's
// outermost block (a LINK file keeps some of them there).
struct Labels {
  const Block* spectrum;
  const Block* root;
  const Record* Find(std::string_view label) const {
    if (const Record* record = spectrum->Find(label)) return record;
    return root->Find(label);
  }
  std::optional<std::string> Text(std::string_view label) const {
    if (auto text = spectrum->Text(label)) return text;
    return root->Text(label);
  }
  std::optional<double> Value(std::string_view label) const {
    auto text = Text(label);
    return text ? Number(*text) : std::nullopt;
  }
};

const Block* FindSpectrumBlock(const Block& block) {
  if (auto type = block.Text("DATATYPE"); type && Upper(*type).find("NMR") != std::string::npos) return &block;
  for (const auto& child : block.children)
    if (const Block* found = FindSpectrumBlock(*child)) return found;
  return nullptr;
}

std::string FirstTitle(const Block& root) {
  if (auto title = root.Text("TITLE"); title && !title->empty()) return *title;
  for (const auto& child : root.children) {
    std::string title = FirstTitle(*child);
    if (!title.empty()) return title;
  }
  return {};
}

// LONG DATE in its layouts (2006/01/31 09:24:52+0000, 2016/12/27 10:59:51.000,
// 2019-05-07T16:15:00Z), else DATE with TIME, else Bruker's $DATE.
std::optional<Date> AcquisitionDate(const Labels& labels) {
  if (auto longDate = labels.Text("LONGDATE")) {
    std::string text = Trim(*longDate);
    if (text.size() >= 10) {
      std::replace(text.begin(), text.begin() + 10, '/', '-');
      if (auto date = ParseIsoDate(text)) return date;
      if (auto date = ParseIsoDate(text.substr(0, 10))) return date;
    }
  }
  if (auto date = labels.Text("DATE")) {
    std::string text = Trim(*date);
    std::replace(text.begin(), text.end(), '/', '-');
    if (text.size() == 8 && text[2] == '-' && text[5] == '-') {  // YY-MM-DD
      const int year = std::atoi(text.substr(0, 2).c_str());
      text = std::to_string(year < 70 ? 2000 + year : 1900 + year) + text.substr(2);
    }
    if (auto time = labels.Text("TIME"); time && !Trim(*time).empty())
      if (auto combined = ParseIsoDate(text + "T" + Trim(*time))) return combined;
    if (auto day = ParseIsoDate(text)) return day;
  }
  if (auto seconds = labels.Value("$DATE"); seconds && *seconds > 0) return DateFromUnixSeconds(*seconds);
  return std::nullopt;
}

// The axis of a spectrum: its points' abscissas and how they become ppm.
struct Axis {
  double first = 0, last = 0;
  size_t points = 0;
  std::function<double(double)> toPpm;
  double At(double index) const { return points > 1 ? first + index * (last - first) / double(points - 1) : first; }
};

// From Hz to ppm: ppm(x) = δref + (x − X(p_ref)) / SF, with the reference
// point and shift from .SHIFT REFERENCE (first, last or fractional point) or
// $OFFSET (the first point's shift); without a reference, ppm = x / SF.
std::optional<std::function<double(double)>> PpmConversion(const Labels& labels, const std::string& units, double first,
                                                             double last, size_t points, std::string& problem) {
  if (Upper(units).find("PPM") != std::string::npos) return [](double x) { return x; };
  if (Upper(units).find("HZ") == std::string::npos) {
    problem = "the X axis is in " + (units.empty() ? std::string("unknown units") : units) + ", not in Hz or ppm";
    return std::nullopt;
  }
  const double frequency = labels.Value(".OBSERVEFREQUENCY").value_or(0);
  if (frequency <= 0) {
    problem = "the X axis is in Hz and there is no .OBSERVE FREQUENCY to turn it into ppm";
    return std::nullopt;
  }
  if (auto reference = labels.Text(".SHIFTREFERENCE")) {
    const auto fields = SplitList(*reference);
    if (fields.size() >= 4) {
      auto point = Number(fields[2]);
      auto shift = Number(fields[3]);
      if (point && shift && points > 1) {
        const double at = first + (*point - 1) * (last - first) / double(points - 1);
        return [=](double x) { return *shift + (x - at) / frequency; };
      }
    }
  }
  if (auto offset = labels.Value("$OFFSET")) return [=](double x) { return *offset + (x - first) / frequency; };
  return [=](double x) { return x / frequency; };
}

// The real part of a one-dimensional spectrum: XYDATA, or the NTUPLES page
// whose data table holds the real symbol.
struct RealData {
  const Record* table = nullptr;
  Axis axis;
  std::string units;
  double declaredPoints = 0;  // 0 when the file does not say
};

std::optional<RealData> FindRealData(const Labels& labels, const Block& block) {
  RealData data;
  if (const Record* xy = block.Find("XYDATA")) {
    data.table = xy;
    data.axis.first = labels.Value("FIRSTX").value_or(0);
    data.axis.last = labels.Value("LASTX").value_or(0);
    data.declaredPoints = labels.Value("NPOINTS").value_or(0);
    data.units = labels.Text("XUNITS").value_or("");
    return data;
  }
  if (!block.Find("NTUPLES")) return std::nullopt;
  const auto names = SplitList(block.Text("VARNAME").value_or(""));
  const auto symbols = SplitList(block.Text("SYMBOL").value_or(""));
  const auto units = SplitList(block.Text("UNITS").value_or(""));
  const auto firsts = SplitList(block.Text("FIRST").value_or(""));
  const auto lasts = SplitList(block.Text("LAST").value_or(""));
  const auto dims = SplitList(block.Text("VARDIM").value_or(""));
  size_t xColumn = 0, realColumn = std::string::npos;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string name = Upper(names[i]);
    if (name.find("IMAG") != std::string::npos) continue;
    if (name.find("REAL") != std::string::npos || (name.find("SPECTRUM") != std::string::npos && realColumn == std::string::npos))
      realColumn = i;
  }
  for (size_t i = 0; i < symbols.size(); ++i)
    if (Upper(symbols[i]) == "X") xColumn = i;
  if (realColumn == std::string::npos || realColumn >= symbols.size()) return std::nullopt;
  const std::string wanted = "(" + Upper(symbols[realColumn]) + ".." + Upper(symbols[realColumn]) + ")";
  for (const Record& record : block.records) {
    if (record.label == "DATATABLE" && Upper(record.value).find(wanted) != std::string::npos) {
      data.table = &record;
      break;
    }
  }
  if (!data.table) return std::nullopt;
  auto at = [](const std::vector<std::string>& list, size_t i) { return i < list.size() ? Number(list[i]) : std::nullopt; };
  data.axis.first = at(firsts, xColumn).value_or(0);
  data.axis.last = at(lasts, xColumn).value_or(0);
  data.declaredPoints = at(dims, xColumn).value_or(0);
  data.units = xColumn < units.size() ? units[xColumn] : "";
  return data;
}

size_t Dimensions(const Labels& labels, const Block& block) {
  if (auto numDim = labels.Value("NUMDIM"); numDim && *numDim >= 1 && *numDim <= 8) return size_t(*numDim);
  if (!block.Find("NTUPLES")) return 1;
  const auto types = SplitList(block.Text("VARTYPE").value_or(""));
  const auto names = SplitList(block.Text("VARNAME").value_or(""));
  const auto units = SplitList(block.Text("UNITS").value_or(""));
  size_t count = 0;
  for (size_t i = 0; i < types.size(); ++i) {
    if (Upper(types[i]) != "INDEPENDENT") continue;
    const std::string name = i < names.size() ? Upper(names[i]) : "";
    const std::string unit = i < units.size() ? Upper(units[i]) : "";
    if (name.find("PAGE") != std::string::npos) continue;
    if (name.find("FREQ") != std::string::npos || unit == "HZ" || unit == "PPM") ++count;
  }
  return std::max<size_t>(count, 1);
}

// Nuclei, direct dimension first: .NUCLEUS lists the indirect one first.
StringArray Nuclei(const Labels& labels) {
  StringArray nuclei;
  if (auto list = labels.Text(".NUCLEUS")) {
    for (const std::string& item : SplitList(*list))
      if (auto nucleus = ParseNucleus(item)) nuclei.push_back(*nucleus);
    std::reverse(nuclei.begin(), nuclei.end());
  }
  if (nuclei.empty())
    if (auto observed = labels.Text(".OBSERVENUCLEUS"))
      if (auto nucleus = ParseNucleus(*observed)) nuclei.push_back(*nucleus);
  return nuclei;
}

NumberArray Frequencies(const Labels& labels, const StringArray& nuclei) {
  NumberArray frequencies;
  const std::optional<double> direct = labels.Value(".OBSERVEFREQUENCY");
  if (!direct) return frequencies;
  frequencies.push_back(*direct);
  const auto directRatio = nuclei.empty() ? std::nullopt : FrequencyRatio(nuclei[0]);
  for (size_t i = 1; i < nuclei.size(); ++i) {
    const auto ratio = FrequencyRatio(nuclei[i]);
    if (!ratio || !directRatio) break;
    frequencies.push_back(*direct * *ratio / *directRatio);
  }
  return frequencies;
}

// A peak list someone made, in ppm, as the document's peaks; false when the
// file has none (then peaks may be picked instead).
bool AddTablePeaks(const Labels& labels, Imported& out) {
  const Record* table = labels.Find("PEAKTABLE");
  if (!table) return false;
  const std::string format = Upper(table->value);
  const size_t perGroup = format.find("XYW") != std::string::npos || format.find("XYM") != std::string::npos ? 3 : 2;
  std::string problem;
  const double first = labels.Value("FIRSTX").value_or(0), last = labels.Value("LASTX").value_or(0);
  // Without a count it can use, the reference point of .SHIFT REFERENCE cannot be placed.
  const size_t points = PointCount(labels.Value("NPOINTS").value_or(0)).value_or(0);
  auto toPpm = PpmConversion(labels, labels.Text("XUNITS").value_or("PPM"), first, last, points, problem);
  if (!toPpm) {
    out.notes.push_back("line " + std::to_string(table->line) + ": the peak table is not used: " + problem);
    out.attributes[attributes::kPeaks] = NumberArray{};
    return true;
  }
  NumberArray peaks;
  for (const auto& [x, y] : DecodePairs(table->lines, perGroup, kMaxPoints)) peaks.push_back((*toPpm)(x));
  // Sorting with a NaN among the values is undefined behaviour: even the
  // finite peaks could come out of order. So they are left out before, and
  // the note says so.
  const LeftOut leftOut = DropNonFinite(peaks);
  if (leftOut.count) out.notes.push_back(LeftOutNote(attributes::kPeaks, leftOut));
  if (leftOut.nothingLeft) return true;
  std::sort(peaks.begin(), peaks.end());
  out.attributes[attributes::kPeaks] = peaks;
  return true;
}

// The real part of a processed 1D spectrum as values and the ppm of each
// point; none (with a note saying why, where there is a reason to tell) when
// it cannot be read or placed.
struct Trace {
  std::vector<double> values;
  Axis axis;
};

std::optional<Trace> ReadRealTrace(const Labels& labels, const Block& block, Imported& out) {
  std::optional<RealData> data = FindRealData(labels, block);
  if (!data) return std::nullopt;
  const std::optional<size_t> declared = PointCount(data->declaredPoints);
  if (!declared) {
    out.notes.push_back("line " + std::to_string(data->table->line) + ": the spectrum declares " + NumberText(data->declaredPoints) +
                        " points, which is no count of points Orvane reads (at most " + std::to_string(kMaxPoints) +
                        "); no peaks are picked");
    return std::nullopt;
  }
  Trace trace;
  const size_t limit = std::min(kMaxPoints, *declared ? *declared + 1 : kMaxPoints);
  if (auto problem = DecodeYValues(data->table->lines, limit, trace.values)) {
    out.notes.push_back("line " + std::to_string(data->table->line + problem->line) + ": " + problem->message + "; no peaks are picked");
    return std::nullopt;
  }
  data->axis.points = *declared ? *declared : trace.values.size();
  if (trace.values.size() != data->axis.points)
    out.notes.push_back("the spectrum declares " + std::to_string(data->axis.points) + " points and holds " +
                        std::to_string(trace.values.size()));
  std::string problem;
  auto toPpm = PpmConversion(labels, data->units, data->axis.first, data->axis.last, data->axis.points, problem);
  if (!toPpm) {
    out.notes.push_back("no peaks are picked: " + problem);
    return std::nullopt;
  }
  trace.axis = data->axis;
  trace.axis.toPpm = *toPpm;
  return trace;
}

NumberArray PickedPeaks(const Trace& trace) {
  return peaks::PickPeaks(trace.values, [&](double index) { return trace.axis.toPpm(trace.axis.At(index)); });
}

void AddTracePreview(const Trace& trace, const StringArray& nuclei, Attributes& a) {
  const size_t count = trace.values.size();
  if (count < 2) return;
  const double first = trace.axis.toPpm(trace.axis.At(0)), last = trace.axis.toPpm(trace.axis.At(double(count - 1)));
  if (auto preview = OneDimensionalPreview(trace.values, first, last, nuclei.empty() ? "" : nuclei.front()))
    a[attributes::kPreview] = EncodePreview(*preview);
}

// The pages of a 2D NTUPLES spectrum (one row of the direct dimension each,
// "##PAGE= F1=..."), taken row by row into a preview grid. Shifts are x / SF
// of each dimension's frequency, or as written when the units are ppm.
void AddPlanePreview(const Block& block, const StringArray& nuclei, const NumberArray& frequencies,
                     Attributes& a) {
  if (!block.Find("NTUPLES") || nuclei.size() < 2) return;
  const auto units = SplitList(block.Text("UNITS").value_or(""));
  const auto firsts = SplitList(block.Text("FIRST").value_or(""));
  const auto lasts = SplitList(block.Text("LAST").value_or(""));
  const auto dims = SplitList(block.Text("VARDIM").value_or(""));
  if (firsts.size() < 2 || lasts.size() < 2 || dims.size() < 2 || units.size() < 2) return;
  // Listed indirect dimension first, as .NUCLEUS lists it.
  const auto rowFirst = Number(firsts[0]), rowLast = Number(lasts[0]), first = Number(firsts[1]), last = Number(lasts[1]);
  const auto rowCount = PointCount(Number(dims[0]).value_or(-1)), columnCount = PointCount(Number(dims[1]).value_or(-1));
  if (!rowFirst || !rowLast || !first || !last || !rowCount || !columnCount || *rowCount < 2 || *columnCount < 2) return;
  auto shift = [&](double x, size_t unit, size_t dimension) {
    if (Upper(units[unit]).find("PPM") != std::string::npos) return x;
    const double frequency = dimension < frequencies.size() ? frequencies[dimension] : 0;
    return frequency > 0 ? x / frequency : std::numeric_limits<double>::quiet_NaN();
  };
  PreviewGrid grid(*columnCount, *rowCount);
  std::optional<double> page;
  std::vector<double> values;
  for (const Record& record : block.records) {
    if (record.label == "PAGE") {
      const size_t equals = record.value.find('=');
      page = equals == std::string::npos ? std::nullopt : Number(record.value.substr(equals + 1));
    } else if (record.label == "DATATABLE" && page && *rowLast != *rowFirst) {
      values.clear();
      if (DecodeYValues(record.lines, *columnCount + 1, values)) continue;
      const double row = std::round((*page - *rowFirst) / (*rowLast - *rowFirst) * double(*rowCount - 1));
      if (row >= 0 && row < double(*rowCount)) grid.AddRow(size_t(row), values);
    }
  }
  if (auto preview = grid.Finish(shift(*first, 1, 0), shift(*last, 1, 0), shift(*rowFirst, 0, 1), shift(*rowLast, 0, 1), nuclei[0],
                                 nuclei[1]))
    a[attributes::kPreview] = EncodePreview(*preview);
}

void AddMolecule(const Labels& labels, Imported& out) {
  if (const Record* molfile = labels.Find("$MOLFILE")) {
    std::string block;
    std::string_view raw = molfile->raw, taken;
    bool firstLine = true;
    while (TakeLine(raw, taken)) {
      std::string line(taken);
      if (firstLine) {  // the rest of the ##$MOLFILE= line
        firstLine = false;
        if (Trim(line).empty()) continue;
      }
      if (Trim(line) == "$$ Empty String") line.clear();
      block += line + "\n";
    }
    std::string problem;
    if (auto molecule = molecules::MoleculeFromMolBlock(block, problem)) {
      molecules::AddMoleculeAttributes({*molecule}, out.attributes);
      return;
    }
    out.notes.push_back("line " + std::to_string(molfile->line) + ": " + problem);
  }
  if (auto formula = labels.Text("MOLFORM")) {
    if (auto counts = molecules::ParseFormula(*formula)) {
      out.attributes[attributes::kFormula] = StringArray{molecules::HillFormula(*counts, 0)};
      out.attributes[attributes::kDisplayFormula] = StringArray{molecules::DisplayFormula(*counts, 0)};
    }
  }
  if (auto mass = labels.Value("MW")) out.attributes[attributes::kMass] = NumberArray{*mass};
}

}  // namespace

ImportOutcome ImportJcampText(std::string_view text) {
  std::unique_ptr<Block> root = ReadBlocks(text);
  if (!root->Find("TITLE") && !root->Find("JCAMPDX")) return ImportError{"no ##TITLE or ##JCAMP-DX record: this is not a JCAMP-DX file"};
  Imported out;
  if (root->droppedRecords)
    out.notes.push_back("only the first " + std::to_string(kMaxRecords) + " records are read; " +
                        std::to_string(root->droppedRecords) + " more are not");
  Attributes& a = out.attributes;
  if (std::string title = FirstTitle(*root); !title.empty()) a[attributes::kTitle] = title;

  const Block* spectrum = FindSpectrumBlock(*root);
  const Labels labels{spectrum ? spectrum : root.get(), root.get()};
  if (auto comments = labels.Text("COMMENTS")) a[attributes::kNotes] = *comments;
  else if (auto dotComments = labels.Text(".COMMENTS")) a[attributes::kNotes] = *dotComments;
  if (auto date = AcquisitionDate(labels)) a[attributes::kCreationDate] = *date;
  AddMolecule(labels, out);
  if (!spectrum) return out;

  const StringArray nuclei = Nuclei(labels);
  if (!nuclei.empty()) a[attributes::kNucleus] = nuclei;
  if (NumberArray frequencies = Frequencies(labels, nuclei); !frequencies.empty()) a[attributes::kObserveFrequency] = frequencies;
  const size_t dimensions = Dimensions(labels, *spectrum);
  a[attributes::kDimensions] = double(dimensions);

  // A peak list someone made is taken as it is; else peaks are picked on the
  // real part of a processed 1D spectrum, never on an FID.
  const std::string type = Upper(labels.Text("DATATYPE").value_or(""));
  const bool listed = AddTablePeaks(labels, out);
  if (dimensions == 1 && type.find("FID") == std::string::npos) {
    // With a listed peak table the trace is read for the preview alone, and
    // what keeps it from being read says nothing about the peaks.
    Imported unheard;
    if (std::optional<Trace> trace = ReadRealTrace(labels, *spectrum, listed ? unheard : out)) {
      if (!listed)
        if (NumberArray picked = PickedPeaks(*trace); !picked.empty()) a[attributes::kPeaks] = picked;
      AddTracePreview(*trace, nuclei, a);
    }
  } else if (dimensions == 2 && type.find("FID") == std::string::npos) {
    AddPlanePreview(*spectrum, nuclei, Frequencies(labels, nuclei), a);
  }
  return out;
}

ImportOutcome ImportJcamp(const std::filesystem::path& file) {
  std::string error;
  std::optional<std::string> text = ReadTextFile(file, error);
  if (!text) return ImportError{error};
  return ImportJcampText(*text);
}

}  // namespace importers::jcamp
