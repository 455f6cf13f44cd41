// Every attribute Orvane writes or reads, in one list: its name, the type of
// its values, their unit, how the panel's summary shows it and which
// importer families fill it. Code names attributes only through the
// constants below, so that a name is spelled once.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace metadata {

namespace attributes {

// Of every document, from its file.
inline constexpr const char* kPath = "kMDItemPath";
inline constexpr const char* kDisplayName = "kMDItemDisplayName";
inline constexpr const char* kSize = "kMDItemFSSize";
inline constexpr const char* kModificationDate = "kMDItemContentModificationDate";
inline constexpr const char* kCreationDate = "kMDItemContentCreationDate";  // the format's own date wins over the file's

inline constexpr const char* kTitle = "kMDItemTitle";
inline constexpr const char* kNotes = "Tormalin_Notes";

// Of spectra.
inline constexpr const char* kDimensions = "Tormalin_nD";
inline constexpr const char* kNucleus = "Tormalin_Nucleus";  // direct dimension first
inline constexpr const char* kObserveFrequency = "Tormalin_ObserveFrequency";
inline constexpr const char* kPeaks = "Tormalin_Peaks";
inline constexpr const char* kSpins = "Tormalin_Spins";
// A small drawing of the spectrum made at import (spectrum_preview.h), kept
// with the document for the summary; never looked up or matched.
inline constexpr const char* kPreview = "Tormalin_Preview";

// Of molecules, one value per record.
inline constexpr const char* kFormula = "Molvane_Formula";
inline constexpr const char* kDisplayFormula = "Molvane_DisplayFormula";
inline constexpr const char* kMass = "Molvane_Mass";
inline constexpr const char* kSmiles = "Molvane_SMILES";

// Of every imported document: the version of its family's importer that
// made its values, so that an update re-imports what an older one made.
inline constexpr const char* kImportVersion = "Orvane_ImportVersion";

}  // namespace attributes

// The names store users have always known them by.
inline constexpr const char* kPathAttribute = attributes::kPath;
inline constexpr const char* kDisplayNameAttribute = attributes::kDisplayName;

enum class AttributeType { String, Strings, Number, Numbers, Date };

struct AttributeInfo {
  std::string_view name;
  AttributeType type;
  std::string_view unit;     // of its numbers; empty when they have none
  std::string_view summary;  // the panel's summary line, "%1" standing for the values; empty: not shown
  std::vector<std::string_view> families;  // the importer families that fill it; "file": every document
};

// The catalog, in the order the panel's summary shows its lines.
std::span<const AttributeInfo> AllAttributes();
// Null for a name the program does not know (imported JSON may carry any).
const AttributeInfo* FindAttribute(std::string_view name);

// Whether the attribute is only kept with the document, for display: it has
// no entries in the index's look-up tables and no query matches it.
bool IsStoredOnly(std::string_view name);

// Whether the panel searches the attribute's values for fragments with case
// kept (SMILES, formulas): an index may keep its values together for a fast
// scan, since a common fragment's trigrams are in most of its values.
bool IsSearchedByFragment(std::string_view name);

// Whether the attribute's values are searched for words and fragments without
// case (titles, notes, and display names by users of the tools): an index may
// keep them together too, for a scan that folds case as it reads, since a
// common word is in many of them.
bool IsSearchedByTextFragment(std::string_view name);

// Whether a string value of this attribute is a date: those of the catalog
// say so, and so does any other whose name ends in "Date".
bool HoldsDates(std::string_view name);

// The name shown for a document: the last component of its path.
std::string DisplayNameOf(const std::string& path);

}  // namespace metadata
