// Search by chemical structure: the query functions Substructure(A, "PATTERN")
// and Similar(A, "SMILES", 0.7) over the molecules that an attribute's SMILES
// strings describe (one molecule a value), with RDKit.
//
// A pattern is read as SMARTS, so that [OH] is a hydroxyl with one hydrogen and
// C(=O)[OH] finds acids, not esters. When the pattern also reads as SMILES,
// the rings that SMILES calls aromatic are aromatic in the pattern too, so a
// ring typed in Kekulé form finds what its aromatic form finds. Hydrogens
// written as atoms ([H]O) become hydrogen counts of their neighbours. Stereo
// counts only where the pattern gives it.
//
// Similarity is the Tanimoto coefficient of Morgan fingerprints (radius 2,
// kSimilarityBits bits); a document matches when one of its molecules reaches
// the threshold.
//
// The index keeps, per molecule, a pattern fingerprint for screening, the
// Morgan fingerprint and RDKit's binary molecule for the exact check; every
// molecule is made from the SMILES string itself, so the index's answer and
// the plain check on a document's values are the same. An engine with a
// chemistry cartridge (PostgreSQL's RDKit) narrows in its own index instead,
// given the very query molecule and Morgan bits, and the same exact check
// decides among what it finds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/metadata/ast.h"
#include "platform/metadata/store.h"
#include "platform/metadata/value.h"

namespace metadata {

// The screen: RDKit's pattern fingerprint, then two words of facts it leaves
// out: each charged atom's element and charge; then each element other than
// carbon, nitrogen and oxygen, and each charged atom's element, charge and
// hydrogens; then kDistanceFactWords words of the distances between
// heteroatoms (see structure_search.cpp). A bit of each word says its facts
// are there, so that a screen stored before them screens without them; a
// screen stored with the first four of those words alone holds the distances
// of elements and charges only, in the layout of its time.
constexpr unsigned kPatternBits = 1024;
constexpr unsigned kDistanceFactWords = 8;
constexpr unsigned kScreenBits = kPatternBits + 128 + 64 * kDistanceFactWords;
constexpr unsigned kSimilarityBits = 1024;
constexpr size_t kScreenWords = kScreenBits / 64;
constexpr size_t kSimilarityWords = kSimilarityBits / 64;

// A compiled Substructure or Similar; made once when the expression is parsed.
class StructureQuery;

// The query of Substructure(A, "pattern"); none, with the reason, when RDKit
// reads the pattern neither as SMARTS nor as SMILES.
std::shared_ptr<const StructureQuery> ReadSubstructure(const std::string& pattern, std::string& error);
// The query of Similar(A, "smiles", threshold); the molecule must read as SMILES
// and the threshold lie between 0 and 1.
std::shared_ptr<const StructureQuery> ReadSimilar(const std::string& smiles, double threshold, std::string& error);

// The molecules of a document's SMILES values (Molvane_SMILES), each distinct
// string that RDKit reads once. An index that screens with a chemistry
// cartridge of its own keeps no screen, and needs none made (left empty).
enum class ScreenPart { Made, Left };
std::vector<MoleculeEntry> MoleculeEntries(const Attributes& attributes, ScreenPart screen = ScreenPart::Made);
std::vector<std::uint64_t> PackedWords(std::string_view bytes, size_t words);

// The plain meaning of a Substructure or Similar node on one document.
bool StructureSatisfies(const Node& node, const Attributes& attributes);

// For whoever shows the first documents before the whole answer is known:
// `deliver` is called once with the answer's first `count` documents in
// document order (all of them when there are fewer).
struct FirstDocuments {
  size_t count = 0;
  std::function<void(const DocSet&)> deliver;
};

// The documents of the index (among `within`, when given) that satisfy a
// Substructure or Similar node: the screen over the packed fingerprints, and
// the exact check of each candidate on every core while the screen goes on.
// The first documents of the answer go to `first` as soon as every document
// before them is decided, and the checking goes on for the rest.
DocSet StructureDocuments(Index& index, const Node& node, const DocSet* within, const FirstDocuments* first = nullptr);

// How a structure search went, for the benchmark.
struct StructureSearchStats {
  size_t molecules = 0;       // looked at
  size_t candidates = 0;      // passed the screen
  size_t checked = 0;         // of those, checked (not in a document already found)
  size_t matches = 0;         // molecules that passed the check
  double screenSeconds = 0;  // the scan, without the candidates read and checked meanwhile (an engine
                             // that screens itself: its scan and the candidates it reads)
  double checkSeconds = 0;   // the rest of the search
  double firstSeconds = 0;   // until the first documents asked for were known
};
StructureSearchStats LastStructureSearchStats();  // of this thread

// Whether the molecule of a SMILES string satisfies the query; false when RDKit cannot read it.
bool SmilesSatisfies(const StructureQuery& query, const std::string& smiles);
// How many distance facts a stored screen holds, of kDistanceFactBits: how
// full that part of the screen is, for the benchmark.
constexpr unsigned kDistanceFactBits = kDistanceFactWords * 63;
unsigned DistanceFactsSet(std::string_view screen);
// The screen alone: whether a molecule's packed screen holds every bit of the pattern's.
bool PassesScreen(const StructureQuery& query, const std::uint64_t* screen);

}  // namespace metadata
