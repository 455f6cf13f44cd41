#include "results/summary_pictures.h"

#include "panel/panel_info.h"
#include "platform/chemistry/structure_drawing.h"
#include "platform/metadata/attributes.h"
#include "platform/metadata/spectrum_preview.h"
#include "results/spectrum_picture.h"

using namespace metadata;

namespace {

// The proportions of the structure drawing; it scales with the pane.
constexpr int kDrawingWidth = 320;
constexpr int kDrawingHeight = 220;

// The attributes that hold one value per record of a molecule file.
constexpr const char* kPerRecord[] = {attributes::kSmiles, attributes::kFormula, attributes::kDisplayFormula, attributes::kMass};

std::optional<SpectrumPicture> PictureOf(MDItemRef item) {
  const std::optional<Value> stored = MDItemCopyAttribute(item, attributes::kPreview);
  const auto* text = stored ? std::get_if<std::string>(&*stored) : nullptr;
  const std::optional<SpectrumPreview> preview = text ? DecodePreview(*text) : std::nullopt;
  if (!preview) return std::nullopt;
  SpectrumPicture picture = PictureOfPreview(*preview);
  if (std::optional<Value> peaks = MDItemCopyAttribute(item, attributes::kPeaks))
    if (const auto* numbers = std::get_if<NumberArray>(&*peaks)) picture.peaks = *numbers;
  if (sInfo) picture.shaded = MDQueryRangesOf(sInfo->query, attributes::kPeaks);
  return picture;
}

// A document's values split into those of the whole file and those kept
// one per record, so that each record's own set is made without copying
// every record's values each time.
struct RecordValues {
  Attributes shared;
  Attributes perRecord;

  explicit RecordValues(Attributes document) : shared(std::move(document)) {
    for (const char* name : kPerRecord)
      if (auto found = shared.find(name); found != shared.end()) perRecord.insert(shared.extract(found));
  }
  // The document's values as if it held only record `record`.
  Attributes Of(size_t record) const {
    Attributes one = shared;
    for (const auto& [name, value] : perRecord) {
      if (const auto* texts = std::get_if<StringArray>(&value))
        one[name] = record < texts->size() ? StringArray{(*texts)[record]} : StringArray{};
      else if (const auto* numbers = std::get_if<NumberArray>(&value))
        one[name] = record < numbers->size() ? NumberArray{(*numbers)[record]} : NumberArray{};
      else
        one[name] = value;
    }
    return one;
  }
};

StringArray Smiles(MDItemRef item) {
  const std::optional<Value> value = MDItemCopyAttribute(item, attributes::kSmiles);
  if (const auto* texts = value ? std::get_if<StringArray>(&*value) : nullptr) return *texts;
  if (const auto* text = value ? std::get_if<std::string>(&*value) : nullptr) return {*text};
  return {};
}

QString FormulaOf(const Attributes& record) {
  for (const char* name : {attributes::kDisplayFormula, attributes::kFormula}) {
    auto found = record.find(name);
    if (const auto* texts = found != record.end() ? std::get_if<StringArray>(&found->second) : nullptr; texts && !texts->empty())
      return QString::fromStdString(texts->front());
  }
  return QString();
}

void DisplayStructure(MDItemRef item) {
  const StringArray smiles = Smiles(item);
  const std::optional<size_t> record = MatchingRecord(item, sInfo->query);
  std::optional<chemistry::StructureDrawing> drawing;
  if (record && *record < smiles.size()) drawing = chemistry::DrawStructure(smiles[*record], kDrawingWidth, kDrawingHeight);
  if (!drawing) {
    SetStructurePicture(sInfo->structureView, nullptr, QString(), QString());
    return;
  }
  const QString caption = smiles.size() > 1 ? QStringLiteral("record %1 of %2").arg(*record + 1).arg(smiles.size()) : QString();
  const QString formula = FormulaOf(RecordValues(MDItemCopyAttributes(item)).Of(*record));
  QString description = QStringLiteral("Structure drawing");
  if (!caption.isEmpty()) description += QStringLiteral(" of ") + caption;
  if (!formula.isEmpty()) description += QStringLiteral(", ") + formula;
  description += QStringLiteral(": %1 atoms, %2 bonds; SMILES %3")
                     .arg(drawing->atoms)
                     .arg(drawing->bonds)
                     .arg(QString::fromStdString(smiles[*record]));
  SetStructurePicture(sInfo->structureView, &drawing->svg, caption, description);
}

}  // namespace

std::optional<size_t> MatchingRecord(MDItemRef item, const MDQueryRef& query) {
  const size_t records = Smiles(item).size();
  if (records == 0) return std::nullopt;
  if (records == 1 || !query) return 0;
  const RecordValues values(MDItemCopyAttributes(item));
  for (size_t record = 0; record < records; ++record)
    if (MDQueryExpressionMatches(query, values.Of(record))) return record;
  return 0;
}

void DisplayPictures(MDItemRef item) {
  if (!sInfo || !sInfo->spectrumView || !sInfo->structureView) return;
  const std::optional<SpectrumPicture> picture = item ? PictureOf(item) : std::nullopt;
  SetSpectrumPicture(sInfo->spectrumView, picture ? &*picture : nullptr);
  if (item)
    DisplayStructure(item);
  else
    SetStructurePicture(sInfo->structureView, nullptr, QString(), QString());
}

void HidePictures() { DisplayPictures(nullptr); }
