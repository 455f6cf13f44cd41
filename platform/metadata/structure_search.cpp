#include "platform/metadata/structure_search.h"

#include "platform/metadata/document_checks.h"
#include "platform/metadata/encoding.h"

#include <GraphMol/Fingerprints/Fingerprints.h>
#include <GraphMol/Fingerprints/MorganFingerprints.h>
#include <GraphMol/MolOps.h>
#include <GraphMol/MolPickler.h>
#include <GraphMol/QueryAtom.h>
#include <GraphMol/QueryBond.h>
#include <GraphMol/QueryOps.h>
#include <GraphMol/SmilesParse/SmartsWrite.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <GraphMol/Substruct/SubstructMatch.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <limits>
#include <istream>
#include <optional>
#include <set>
#include <streambuf>
#include <tuple>

namespace metadata {

class StructureQuery {
 public:
  bool similar = false;
  double threshold = 1;
  std::shared_ptr<RDKit::ROMol> pattern;  // Substructure: the query molecule
  std::vector<std::uint64_t> screen;      // Substructure: the pattern's screen bits
  std::vector<std::uint64_t> olderDistances;  // its distance facts as a screen stored before their features holds them
  std::vector<std::uint64_t> similarity;  // Similar: the molecule's Morgan bits
  unsigned similarityCount = 0;           // its bits set
  bool useChirality = false;
  // Substructure: the query in RDKit's binary form, for an engine that
  // searches with RDKit itself; empty when that form loses some of the query.
  std::string pickle;
};

namespace {

using Clock = std::chrono::steady_clock;

StructureSearchStats& Stats() {
  thread_local StructureSearchStats stats;  // of the calling thread's last search
  return stats;
}

std::unique_ptr<RDKit::RWMol> ReadSmiles(const std::string& smiles, bool removeHs = true) {
  RDKit::SmilesParserParams params;
  params.removeHs = removeHs;
  try {
    return std::unique_ptr<RDKit::RWMol>(RDKit::SmilesToMol(smiles, params));
  } catch (...) {  // RDKit throws for valences and rings it cannot make sense of
    return nullptr;
  }
}

std::unique_ptr<RDKit::RWMol> ReadSmarts(const std::string& smarts) {
  try {
    return std::unique_ptr<RDKit::RWMol>(RDKit::SmartsToMol(smarts));
  } catch (...) {
    return nullptr;
  }
}

std::vector<std::uint64_t> Words(const ExplicitBitVect& bits, size_t words) {
  std::vector<std::uint64_t> out(words, 0);
  for (unsigned i = 0; i < bits.getNumBits() && i / 64 < words; ++i)
    if (bits.getBit(i)) out[i / 64] |= std::uint64_t(1) << (i % 64);
  return out;
}

std::string Bytes(const std::vector<std::uint64_t>& words) {
  std::string bytes(words.size() * 8, '\0');
  for (size_t i = 0; i < words.size() * 64; ++i)
    if (words[i / 64] >> (i % 64) & 1) bytes[i / 8] = char(static_cast<unsigned char>(bytes[i / 8]) | (1u << (i % 8)));
  return bytes;
}

constexpr size_t kFactsWord = kPatternBits / 64;
constexpr size_t kMoreFactsWord = kFactsWord + 1;
constexpr std::uint64_t kFactsStored = std::uint64_t(1) << 63;

// A fact's bit (0 to 62) from its key.
std::uint64_t FactBit(std::uint64_t key) { return std::uint64_t(1) << ((key * 0x9E3779B97F4A7C15ull) >> 32) % 63; }

// The facts' bit of an atom of element `number` with `charge` (not 0).
std::uint64_t ChargeFact(int number, int charge) { return FactBit(std::uint64_t(unsigned(number)) * 31 + std::uint64_t(unsigned(charge + 8) & 15u)); }

// The more facts: an element that few molecules hold, so that [Si] or [Se]
// does not pass every molecule with a carbon; a charged atom with its
// hydrogens, so that [NH3+] does not pass every nitro group.
bool IsElementFact(int number) { return number > 1 && number != 6 && number != 7 && number != 8; }
std::uint64_t ElementFact(int number) { return FactBit(std::uint64_t(unsigned(number)) * 131 + 7); }
std::uint64_t ChargedHydrogensFact(int number, int charge, unsigned hydrogens) {
  return FactBit((std::uint64_t(unsigned(number)) * 31 + std::uint64_t(unsigned(charge + 8) & 15u)) * 17 + std::min(hydrogens, 15u) + 1000003);
}

// The distance facts, which the pattern fingerprint misses for selective
// patterns ([NH3+] three bonds from a sulfur; a fluorine ortho rather than
// meta to a carbonyl): for two heteroatoms (atoms of any element but carbon
// and hydrogen) at most kFarthestDistance bonds apart, that atoms of their
// types lie within d bonds of each other, for every d from their distance to
// kFarthestDistance. Two pattern atoms that fix their types and lie dq bonds
// apart in the pattern ask for the bit of dq alone: a match maps the
// pattern's bonds onto bonds of the molecule, so the matched atoms lie at
// most dq bonds apart there.
//
// An atom's types are its element and, when charged, its element with its
// charge, which every pair of types gets; and its features, which a pair
// gets beside the other atom's element or feature: aromatic; holding a
// double bond (a carbonyl's oxygen, a sulfonyl's, an imine's nitrogen);
// aliphatic beside an aromatic atom (an aryl fluoride, a phenol's oxygen).
// A pattern asks for a feature where SMARTS guarantees it in every match: an
// atom written aromatic (n, [#7;a]); a bond written "=" and nothing else;
// an atom written aliphatic bonded to one written aromatic. An atom left
// open (by a list, "~", [#7], a recursive SMARTS) asks for its element only.
//
// Each fact sets one bit of the kDistanceFactWords words. A screen stored
// before the features holds its facts in the first kOlderDistanceWords
// words, and a pattern asks for them there so.
constexpr size_t kDistanceWord = kMoreFactsWord + 1;
static_assert(kScreenWords - kDistanceWord == kDistanceFactWords);
constexpr size_t kOlderDistanceWords = 4;
constexpr size_t kTypedMarkWord = kDistanceWord + kOlderDistanceWords;  // its stored bit tells the layout
constexpr unsigned kFarthestDistance = 6;
enum class DistanceLayout { Older, Typed };

using AtomType = std::uint64_t;
bool IsHeteroatom(int number) { return number > 1 && number != 6; }
AtomType ElementType(int number) { return std::uint64_t(unsigned(number)) << 8; }
AtomType ChargedType(int number, int charge) { return ElementType(number) | (unsigned(charge) & 0xffu); }
constexpr AtomType kAromatic = AtomType(1) << 16, kDoubleBonded = AtomType(2) << 16, kBesideAromatic = AtomType(3) << 16;

void SetDistanceFact(std::uint64_t* words, DistanceLayout layout, AtomType a, AtomType b, unsigned distance) {
  if (b < a) std::swap(a, b);
  std::uint64_t key = ((a << 24) ^ b) * 16 + distance;
  key = (key ^ (key >> 31)) * 0xBF58476D1CE4E5B9ull;  // spread the keys over the words
  key = (key ^ (key >> 27)) * 0x94D049BB133111EBull;
  const size_t bits = layout == DistanceLayout::Older ? kOlderDistanceWords * 63 : kDistanceFactBits;
  const size_t position = size_t((key ^ (key >> 31)) % bits);
  words[position / 63] |= std::uint64_t(1) << (position % 63);
}

// The types of an atom: its element, its element with its charge (0 when
// not charged or left open) and up to two features, each with its element.
struct AtomTypes {
  AtomType element = 0, charged = 0;
  AtomType features[2] = {};
  unsigned featureCount = 0;
  void Add(AtomType feature) { features[featureCount++] = element | feature; }
  AtomType Narrowest() const { return charged ? charged : element; }
};

// Calls `set` with each pair of types of two atoms that a feature is in.
template <typename Set>
void ForEachFeaturePair(const AtomTypes& a, const AtomTypes& b, Set&& set) {
  for (unsigned i = 0; i < a.featureCount; ++i) {
    set(a.features[i], b.element);
    for (unsigned j = 0; j < b.featureCount; ++j) set(a.features[i], b.features[j]);
  }
  for (unsigned j = 0; j < b.featureCount; ++j) set(a.element, b.features[j]);
}

AtomTypes MoleculeAtomTypes(const RDKit::ROMol& mol, const RDKit::Atom& atom) {
  AtomTypes types;
  types.element = ElementType(atom.getAtomicNum());
  if (atom.getFormalCharge() != 0) types.charged = ChargedType(atom.getAtomicNum(), atom.getFormalCharge());
  if (atom.getIsAromatic()) {
    types.Add(kAromatic);
  } else {
    for (const RDKit::Atom* neighbor : mol.atomNeighbors(&atom))
      if (neighbor->getIsAromatic()) {
        types.Add(kBesideAromatic);
        break;
      }
  }
  for (const RDKit::Bond* bond : mol.atomBonds(&atom))
    if (bond->getBondType() == RDKit::Bond::DOUBLE) {
      types.Add(kDoubleBonded);
      break;
    }
  return types;
}

// The atoms within kFarthestDistance bonds of `from`, with their distances,
// by a breadth-first walk; `distance` holds kUnreached for every atom before
// and after.
constexpr unsigned kUnreached = UINT_MAX;
void WalkFrom(const RDKit::ROMol& mol, unsigned from, std::vector<unsigned>& distance, std::vector<unsigned>& reached) {
  reached.assign(1, from);
  distance[from] = 0;
  for (size_t next = 0; next < reached.size(); ++next) {
    const unsigned at = reached[next];
    if (distance[at] == kFarthestDistance) continue;
    for (const RDKit::Atom* neighbor : mol.atomNeighbors(mol.getAtomWithIdx(at))) {
      const unsigned index = neighbor->getIdx();
      if (distance[index] != kUnreached) continue;
      distance[index] = distance[at] + 1;
      reached.push_back(index);
    }
  }
}

// Calls `visit(a, b, distance)` once for each pair of the atoms that `typed`
// tells (a < b) at most kFarthestDistance bonds apart.
template <typename Visit>
void ForEachNearPair(const RDKit::ROMol& mol, const std::vector<bool>& typed, Visit&& visit) {
  std::vector<unsigned> distance(mol.getNumAtoms(), kUnreached), reached;
  for (unsigned a = 0; a < mol.getNumAtoms(); ++a) {
    if (!typed[a]) continue;
    WalkFrom(mol, a, distance, reached);
    for (unsigned b : reached)
      if (b > a && typed[b]) visit(a, b, distance[b]);
    for (unsigned b : reached) distance[b] = kUnreached;
  }
}

void AddDistanceFacts(const RDKit::ROMol& mol, std::uint64_t* words) {
  std::vector<bool> typed(mol.getNumAtoms());
  std::vector<AtomTypes> types(mol.getNumAtoms());
  for (const RDKit::Atom* atom : mol.atoms()) {
    typed[atom->getIdx()] = IsHeteroatom(atom->getAtomicNum());
    if (typed[atom->getIdx()]) types[atom->getIdx()] = MoleculeAtomTypes(mol, *atom);
  }
  ForEachNearPair(mol, typed, [&](unsigned a, unsigned b, unsigned nearest) {
    const AtomTypes &typesA = types[a], &typesB = types[b];
    for (unsigned d = nearest; d <= kFarthestDistance; ++d) {
      auto set = [&](AtomType typeA, AtomType typeB) { SetDistanceFact(words, DistanceLayout::Typed, typeA, typeB, d); };
      for (AtomType typeA : {typesA.element, typesA.charged})
        for (AtomType typeB : {typesB.element, typesB.charged})
          if (typeA && typeB) set(typeA, typeB);
      ForEachFeaturePair(typesA, typesB, set);
    }
  });
}

// The pattern fingerprint of a query molecule (or of a pattern's SMILES reading).
std::vector<std::uint64_t> PatternScreenOf(const RDKit::ROMol& mol) {
  std::unique_ptr<ExplicitBitVect> bits(RDKit::PatternFingerprintMol(mol, kPatternBits));
  return Words(*bits, kScreenWords);
}

// A stored molecule's screen: the pattern fingerprint and the facts.
std::vector<std::uint64_t> ScreenOf(const RDKit::ROMol& mol) {
  std::vector<std::uint64_t> screen = PatternScreenOf(mol);
  for (size_t word = kFactsWord; word < kScreenWords; ++word) screen[word] = kFactsStored;
  AddDistanceFacts(mol, screen.data() + kDistanceWord);
  for (const RDKit::Atom* atom : mol.atoms()) {
    const int number = atom->getAtomicNum(), charge = atom->getFormalCharge();
    if (IsElementFact(number)) screen[kMoreFactsWord] |= ElementFact(number);
    if (charge == 0) continue;
    screen[kFactsWord] |= ChargeFact(number, charge);
    screen[kMoreFactsWord] |= ChargedHydrogensFact(number, charge, atom->getTotalNumHs(true));
  }
  return screen;
}

// What an atom query asks for surely: the element, charge, hydrogen count
// (as SMARTS H counts them) and aromaticity (1 aromatic, 0 aliphatic) that
// every atom it matches has (0 or -1 where it leaves them open). Only the
// plain conjunctions of SMARTS ("[NH3+]", "[#7;+]", "n") are read; anything
// negated, listed or recursive asks for nothing here.
struct RequiredAtom {
  int number = 0, charge = 0, hydrogens = -1, aromatic = -1;
};
void ReadRequirements(const RDKit::QueryAtom::QUERYATOM_QUERY* query, RequiredAtom& required) {
  if (!query || query->getNegation()) return;
  const std::string& what = query->getDescription();
  if (what == "AtomAnd") {
    for (auto child = query->beginChildren(); child != query->endChildren(); ++child) ReadRequirements(child->get(), required);
    return;
  }
  const auto* equals = dynamic_cast<const RDKit::ATOM_EQUALS_QUERY*>(query);
  if (!equals) return;
  if (what == "AtomType") {
    bool aromatic = false;
    RDKit::parseAtomType(equals->getVal(), required.number, aromatic);
    required.aromatic = aromatic ? 1 : 0;
  } else if (what == "AtomIsAromatic" && equals->getVal() == 1) {
    required.aromatic = 1;
  } else if (what == "AtomIsAliphatic" && equals->getVal() == 1) {
    required.aromatic = 0;
  } else if (what == "AtomAtomicNum") {
    required.number = equals->getVal();
  } else if (what == "AtomFormalCharge") {
    required.charge = equals->getVal();
  } else if (what == "AtomNegativeFormalCharge") {
    required.charge = -equals->getVal();
  } else if (what == "AtomHCount") {
    required.hydrogens = equals->getVal();
  }
}

// The facts every molecule that holds the pattern has: its two words.
std::pair<std::uint64_t, std::uint64_t> FactsOfPattern(const RDKit::ROMol& query) {
  std::uint64_t facts = 0, more = 0;
  for (const RDKit::Atom* atom : query.atoms()) {
    const auto* queryAtom = dynamic_cast<const RDKit::QueryAtom*>(atom);
    if (!queryAtom) continue;
    RequiredAtom required;
    ReadRequirements(queryAtom->getQuery(), required);
    if (IsElementFact(required.number)) more |= ElementFact(required.number);
    if (required.number <= 1 || required.charge == 0) continue;
    facts |= ChargeFact(required.number, required.charge);
    if (required.hydrogens >= 0) more |= ChargedHydrogensFact(required.number, required.charge, unsigned(required.hydrogens));
  }
  return {facts, more};
}

// Whether a bond query matches double bonds alone: "=", also with more
// asked of it ("=@"), but not "=,:" nor "~".
bool AsksDoubleBond(const RDKit::QueryBond::QUERYBOND_QUERY* query) {
  if (!query || query->getNegation()) return false;
  const std::string& what = query->getDescription();
  if (what == "BondAnd") {
    for (auto child = query->beginChildren(); child != query->endChildren(); ++child)
      if (AsksDoubleBond(child->get())) return true;
    return false;
  }
  const auto* equals = dynamic_cast<const RDKit::BOND_EQUALS_QUERY*>(query);
  return what == "BondOrder" && equals && equals->getVal() == int(RDKit::Bond::DOUBLE);
}

// The types that every atom matching a pattern atom has, of those the
// distance facts know; its features only for the layout that has them.
AtomTypes PatternAtomTypes(const RDKit::ROMol& query, const RDKit::Atom& atom, const std::vector<RequiredAtom>& required,
                           DistanceLayout layout) {
  const RequiredAtom& asked = required[atom.getIdx()];
  AtomTypes types;
  types.element = ElementType(asked.number);
  if (asked.charge != 0) types.charged = ChargedType(asked.number, asked.charge);
  if (layout == DistanceLayout::Older) return types;
  if (asked.aromatic == 1) types.Add(kAromatic);
  if (asked.aromatic == 0)
    for (const RDKit::Atom* neighbor : query.atomNeighbors(&atom))
      if (required[neighbor->getIdx()].aromatic == 1) {
        types.Add(kBesideAromatic);
        break;
      }
  for (const RDKit::Bond* bond : query.atomBonds(&atom)) {
    const auto* queryBond = dynamic_cast<const RDKit::QueryBond*>(bond);
    if (queryBond && AsksDoubleBond(queryBond->getQuery())) {
      types.Add(kDoubleBonded);
      break;
    }
  }
  return types;
}

// The distance facts that every molecule holding the pattern has, from the
// pattern atoms whose element (and charge, when charged) their queries fix.
void AddDistanceFactsOfPattern(const RDKit::ROMol& query, DistanceLayout layout, std::uint64_t* words) {
  std::vector<RequiredAtom> required(query.getNumAtoms());
  for (const RDKit::Atom* atom : query.atoms())
    if (const auto* queryAtom = dynamic_cast<const RDKit::QueryAtom*>(atom)) ReadRequirements(queryAtom->getQuery(), required[atom->getIdx()]);
  std::vector<bool> typed(query.getNumAtoms());
  std::vector<AtomTypes> types(query.getNumAtoms());
  for (const RDKit::Atom* atom : query.atoms()) {
    typed[atom->getIdx()] = IsHeteroatom(required[atom->getIdx()].number);
    if (typed[atom->getIdx()]) types[atom->getIdx()] = PatternAtomTypes(query, *atom, required, layout);
  }
  ForEachNearPair(query, typed, [&](unsigned a, unsigned b, unsigned distance) {
    auto set = [&](AtomType typeA, AtomType typeB) { SetDistanceFact(words, layout, typeA, typeB, distance); };
    set(types[a].Narrowest(), types[b].Narrowest());
    ForEachFeaturePair(types[a], types[b], set);
  });
}

std::vector<std::uint64_t> MorganOf(const RDKit::ROMol& mol) {
  std::unique_ptr<ExplicitBitVect> bits(RDKit::MorganFingerprints::getFingerprintAsBitVect(mol, 2, kSimilarityBits));
  return Words(*bits, kSimilarityWords);
}

unsigned CountBits(const std::uint64_t* words, size_t count) {
  unsigned n = 0;
  for (size_t i = 0; i < count; ++i) n += unsigned(std::popcount(words[i]));
  return n;
}

// The package runs on any x86-64, whose baseline has no popcnt instruction:
// the bit-counting loops are built twice, and the loader picks the popcnt
// build where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ORVANE_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define ORVANE_POPCOUNT_CLONES
#endif

inline double Tanimoto(const std::uint64_t* a, unsigned countA, const std::uint64_t* b, size_t words) {
  unsigned both = 0, countB = 0;
  for (size_t i = 0; i < words; ++i) {
    both += unsigned(std::popcount(a[i] & b[i]));
    countB += unsigned(std::popcount(b[i]));
  }
  const unsigned either = countA + countB - both;
  return either == 0 ? 0.0 : double(both) / double(either);
}

// Whether documents, asked in ascending order, are among `within` (all are when null).
class AscendingMembership {
 public:
  explicit AscendingMembership(const DocSet* within) : within_(within) {
    if (within) at_ = within->begin();
  }
  bool Holds(std::int64_t doc) {
    if (!within_) return true;
    at_ = std::lower_bound(at_, within_->end(), doc);
    return at_ != within_->end() && *at_ == doc;
  }

 private:
  const DocSet* within_;
  DocSet::const_iterator at_;
};

// Adds the documents of a run's rows whose Morgan fingerprint reaches the
// threshold; rows come in document order.
ORVANE_POPCOUNT_CLONES
void AddSimilarDocuments(const StructureQuery& query, const FingerprintRun& run, AscendingMembership& within, std::vector<std::int64_t>& out,
                         size_t& looked) {
  const std::uint64_t* a = query.similarity.data();
  for (size_t row = 0; row < run.rows; ++row) {
    const std::int64_t doc = run.docs[row];
    if (!within.Holds(doc)) continue;
    ++looked;
    if (!out.empty() && out.back() == doc) continue;
    if (Tanimoto(a, query.similarityCount, run.words + row * kSimilarityWords, kSimilarityWords) >= query.threshold) out.push_back(doc);
  }
}

// An atom query of a ring atom that SMILES calls aromatic: its atom types ask
// for the aromatic form.
void MakeAtomTypesAromatic(RDKit::QueryAtom::QUERYATOM_QUERY* query) {
  if (!query) return;
  if (query->getDescription() == "AtomType")
    if (auto* equals = dynamic_cast<RDKit::ATOM_EQUALS_QUERY*>(query)) {
      int number = 0;
      bool aromatic = false;
      RDKit::parseAtomType(equals->getVal(), number, aromatic);
      equals->setVal(RDKit::makeAtomType(number, true));
    }
  for (auto child = query->beginChildren(); child != query->endChildren(); ++child) MakeAtomTypesAromatic(child->get());
}

// The SMARTS reading of `pattern` with the aromaticity of its SMILES reading,
// when it has one: atoms and bonds are numbered in the order written by both.
// Returns the SMILES reading, or none.
std::unique_ptr<RDKit::RWMol> AromatizeLikeSmiles(RDKit::RWMol& query, const std::string& pattern) {
  std::unique_ptr<RDKit::RWMol> molecule = ReadSmiles(pattern, /*removeHs=*/false);
  if (!molecule || molecule->getNumAtoms() != query.getNumAtoms()) return nullptr;
  for (const RDKit::Atom* atom : molecule->atoms()) {
    if (!atom->getIsAromatic()) continue;
    auto* queryAtom = dynamic_cast<RDKit::QueryAtom*>(query.getAtomWithIdx(atom->getIdx()));
    if (!queryAtom || queryAtom->getAtomicNum() != atom->getAtomicNum()) continue;
    MakeAtomTypesAromatic(queryAtom->getQuery());
    queryAtom->setIsAromatic(true);  // the screen's fingerprint reads the flags
  }
  for (const RDKit::Bond* bond : molecule->bonds()) {
    if (!bond->getIsAromatic()) continue;
    RDKit::Bond* queryBond = query.getBondBetweenAtoms(bond->getBeginAtomIdx(), bond->getEndAtomIdx());
    auto* q = dynamic_cast<RDKit::QueryBond*>(queryBond);
    if (!q) continue;
    q->setQuery(RDKit::makeBondOrderEqualsQuery(RDKit::Bond::AROMATIC));
    q->setBondType(RDKit::Bond::AROMATIC);
    q->setIsAromatic(true);
  }
  return molecule;
}

// The pattern fingerprint of a query leaves out every path through an atom
// with hydrogens, a charge or a list, which makes a weak screen. Where the
// pattern also reads as SMILES, the molecule it describes serves instead: the
// fingerprint sees only elements, aromaticity, bonds and rings, and those the
// query asks for exactly, unless a bond it leaves open (single or aromatic)
// joins two aromatic atoms, an atom is a wildcard or a hydrogen of its own, or
// the two readings differ in aromaticity or in a bond's order (SMARTS ":"
// between atoms SMILES calls aliphatic, "~" for any bond).
bool BondsAgree(const RDKit::Bond& bond, const RDKit::ROMol& query) {
  const RDKit::Bond* asked = query.getBondBetweenAtoms(bond.getBeginAtomIdx(), bond.getEndAtomIdx());
  const auto* queryBond = dynamic_cast<const RDKit::QueryBond*>(asked);
  if (!queryBond || !queryBond->getQuery() || queryBond->getBondType() != bond.getBondType()) return false;
  const std::string& what = queryBond->getQuery()->getDescription();
  if (what != "BondOrder" && what != "SingleOrAromaticBond") return false;
  const RDKit::Bond::BondType type = bond.getBondType();
  return type == RDKit::Bond::SINGLE || type == RDKit::Bond::DOUBLE || type == RDKit::Bond::TRIPLE || type == RDKit::Bond::AROMATIC;
}

// Whether a query atom asks for aromatic or aliphatic, as its SMILES reading
// is one or the other: "[#6]" reads as an aliphatic carbon in SMILES but
// matches an aromatic one too.
bool SettlesAromaticity(const RDKit::QueryAtom::QUERYATOM_QUERY* query) {
  if (!query || query->getNegation()) return false;
  const std::string& what = query->getDescription();
  if (what == "AtomType" || what == "AtomIsAromatic" || what == "AtomIsAliphatic") return true;
  if (what != "AtomAnd") return false;
  for (auto child = query->beginChildren(); child != query->endChildren(); ++child)
    if (SettlesAromaticity(child->get())) return true;
  return false;
}

bool ScreensLikeItsQuery(const RDKit::ROMol& molecule, const RDKit::ROMol& query) {
  for (const RDKit::Atom* atom : molecule.atoms()) {
    if (atom->getAtomicNum() <= 1) return false;
    const auto* asked = dynamic_cast<const RDKit::QueryAtom*>(query.getAtomWithIdx(atom->getIdx()));
    if (!asked || !SettlesAromaticity(asked->getQuery())) return false;
    if (atom->getIsAromatic() != query.getAtomWithIdx(atom->getIdx())->getIsAromatic()) return false;
  }
  for (const RDKit::Bond* bond : molecule.bonds()) {
    if (!BondsAgree(*bond, query)) return false;
    if (!bond->getIsAromatic() && bond->getBondType() == RDKit::Bond::SINGLE && bond->getBeginAtom()->getIsAromatic() &&
        bond->getEndAtom()->getIsAromatic())
      return false;
  }
  return true;
}

std::optional<std::vector<std::uint64_t>> ScreenOfSmilesReading(std::unique_ptr<RDKit::RWMol> molecule, const RDKit::ROMol& query) {
  if (!molecule) return std::nullopt;
  try {
    RDKit::MolOps::removeHs(*molecule);
    if (molecule->getNumAtoms() != query.getNumAtoms()) return std::nullopt;  // a hydrogen stayed in the query
    if (molecule->getNumAtoms() == 0 || !ScreensLikeItsQuery(*molecule, query)) return std::nullopt;
    return PatternScreenOf(*molecule);
  } catch (...) {
    return std::nullopt;
  }
}

bool HasStereo(const RDKit::ROMol& mol) {
  for (const RDKit::Atom* atom : mol.atoms())
    if (atom->getChiralTag() == RDKit::Atom::CHI_TETRAHEDRAL_CW || atom->getChiralTag() == RDKit::Atom::CHI_TETRAHEDRAL_CCW) return true;
  return false;
}

bool MoleculeSatisfies(const StructureQuery& query, const RDKit::ROMol& mol, const std::uint64_t* morgan = nullptr) {
  if (query.similar) {
    if (morgan) return Tanimoto(query.similarity.data(), query.similarityCount, morgan, kSimilarityWords) >= query.threshold;
    const std::vector<std::uint64_t> bits = MorganOf(mol);
    return Tanimoto(query.similarity.data(), query.similarityCount, bits.data(), kSimilarityWords) >= query.threshold;
  }
  RDKit::SubstructMatchParameters params;
  params.useChirality = query.useChirality;
  params.maxMatches = 1;
  try {
    return !RDKit::SubstructMatch(mol, *query.pattern, params).empty();
  } catch (...) {
    return false;
  }
}

void ForEachSmiles(const Value& value, const std::function<void(const std::string&)>& visit) {
  if (const auto* text = std::get_if<std::string>(&value)) visit(*text);
  if (const auto* texts = std::get_if<StringArray>(&value))
    for (const auto& text : *texts) visit(text);
}

// Checks each document of `docs` on its own values: for attributes the index
// keeps no molecules of.
DocSet CheckDocuments(Index& index, const Node& node, const DocSet& docs) {
  std::vector<std::int64_t> out;
  std::string path, record;
  for (std::int64_t doc : docs) {
    if (!index.ReadDocument(doc, path, record)) continue;
    Attributes attributes;
    const int id = index.AttributeId(node.attribute);
    if (id < 0) break;
    if (std::optional<Value> value = DecodeAttribute(record, id)) attributes.emplace(node.attribute, std::move(*value));
    if (StructureSatisfies(node, attributes)) out.push_back(doc);
  }
  return DocSet(std::move(out));
}

// The exact check of the molecules an engine's own structure index finds,
// on every core: `read` hands them to its argument in pieces, in document
// order (false: the engine finds none itself); `satisfies` tells from a
// candidate's data; each document of `within` (all when null) counts once.
// The first documents go to `first` as soon as every document before them is
// decided, not after the last check nor the last piece. None when `read`
// found nothing itself.
std::optional<DocSet> CheckCandidates(const std::function<bool(const Index::CandidatePieces&)>& read, const DocSet* within,
                                      const std::function<bool(const std::string&)>& satisfies, const FirstDocuments* first = nullptr) {
  const auto start = Clock::now();
  StructureSearchStats& stats = Stats();
  stats = {};
  std::function<void(const DocSet&)> deliverFirst;
  if (first)
    deliverFirst = [&](const DocSet& docs) {
      stats.firstSeconds = std::chrono::duration<double>(Clock::now() - start).count();
      first->deliver(docs);
    };
  std::optional<DocumentChecks> checks;
  AscendingMembership inWithin(within);
  std::int64_t lastDoc = std::numeric_limits<std::int64_t>::min();
  Clock::duration taking{};
  const auto take = [&](std::vector<MoleculeCandidate> candidates) {
    const auto began = Clock::now();
    if (!checks) checks.emplace(satisfies, first ? first->count : 0, std::move(deliverFirst));
    stats.molecules += candidates.size();
    stats.candidates += candidates.size();
    std::stable_sort(candidates.begin(), candidates.end(), [](const MoleculeCandidate& a, const MoleculeCandidate& b) { return a.doc < b.doc; });
    for (size_t at = 0; at < candidates.size();) {
      const std::int64_t doc = candidates[at].doc;
      std::vector<std::optional<std::string>> molecules;
      for (; at < candidates.size() && candidates[at].doc == doc; ++at) molecules.emplace_back(std::move(candidates[at].data));
      // A piece out of order would break the answer's order: the engine's fault, not the user's.
      if (doc <= lastDoc) throw StorageError("the index handed in structure candidates out of document order");
      lastDoc = doc;
      if (inWithin.Holds(doc)) checks->Add(doc, std::move(molecules));
    }
    checks->Settle();
    taking += Clock::now() - began;
  };
  if (!read(take)) return std::nullopt;
  // The engine's time: its screen and the candidates read, without the checks meanwhile.
  stats.screenSeconds = std::chrono::duration<double>(Clock::now() - start - taking).count();
  if (!checks) checks.emplace(satisfies, first ? first->count : 0, std::move(deliverFirst));
  DocSet found = checks->Finish();
  stats.checked = checks->checked();
  stats.matches = found.size();
  stats.checkSeconds = std::chrono::duration<double>(Clock::now() - start).count() - stats.screenSeconds;
  return found;
}

// Bytes read in place as a stream: RDKit's reading from a string copies it
// into a string stream first, which costs a tenth of the check.
class BytesBuffer : public std::streambuf {
 public:
  explicit BytesBuffer(const std::string& bytes) {
    char* begin = const_cast<char*>(bytes.data());  // only read: a get area
    setg(begin, begin, begin + bytes.size());
  }
};

bool PickleSatisfies(const StructureQuery& query, const std::string& pickle) {
  RDKit::ROMol mol;
  try {
    BytesBuffer buffer(pickle);
    std::istream in(&buffer);
    RDKit::MolPickler::molFromPickle(in, mol);
  } catch (...) {
    return false;  // a damaged row matches nothing
  }
  return MoleculeSatisfies(query, mol);
}

ORVANE_POPCOUNT_CLONES
bool BitsSatisfy(const StructureQuery& query, const std::string& bits) {
  const std::vector<std::uint64_t> words = PackedWords(bits, kSimilarityWords);
  return Tanimoto(query.similarity.data(), query.similarityCount, words.data(), kSimilarityWords) >= query.threshold;
}

// RDKit's binary form of a query, when reading it back gives the same query.
std::string FaithfulPickle(const RDKit::ROMol& query) {
  try {
    std::string pickle;
    RDKit::MolPickler::pickleMol(query, pickle);
    RDKit::ROMol back(pickle);
    return RDKit::MolToSmarts(back) == RDKit::MolToSmarts(query) ? pickle : std::string();
  } catch (...) {
    return {};
  }
}

DocSet SimilarDocuments(Index& index, const StructureQuery& query, const DocSet* within) {
  const auto read = [&](const Index::CandidatePieces& take) {
    auto candidates = index.SimilarCandidates(Bytes(query.similarity), query.threshold, within);
    if (candidates) take(std::move(*candidates));
    return candidates.has_value();
  };
  if (auto found = CheckCandidates(read, within, [&](const std::string& bits) { return BitsSatisfy(query, bits); })) return std::move(*found);
  const auto start = Clock::now();
  std::vector<std::int64_t> out;
  StructureSearchStats& stats = Stats();
  stats = {};
  AscendingMembership inWithin(within);
  index.ScanFingerprints(FingerprintKind::Similarity,
                         [&](const FingerprintRun& run) { AddSimilarDocuments(query, run, inWithin, out, stats.molecules); });
  stats.matches = out.size();
  stats.screenSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  return DocSet(std::move(out));
}

DocSet SubstructureDocuments(Index& index, const StructureQuery& query, const DocSet* within, const FirstDocuments* first) {
  // A first piece of the engine's candidates this many molecules a document
  // asked for first: where most molecules match, as in a search of a common
  // group, the first documents are among them or in the next piece, and
  // where few do, the piece costs a search little.
  constexpr size_t kFirstPieceMolecules = 8;
  const auto read = [&](const Index::CandidatePieces& take) {
    const size_t firstPiece = first ? std::min(first->count, size_t(1) << 40) * kFirstPieceMolecules : 0;
    return index.SubstructureCandidates(query.pickle, query.useChirality, query.screen, within, firstPiece, take);
  };
  if (auto found = CheckCandidates(read, within, [&](const std::string& pickle) { return PickleSatisfies(query, pickle); }, first))
    return std::move(*found);
  StructureSearchStats& stats = Stats();
  stats = {};
  const auto start = Clock::now();
  std::function<void(const DocSet&)> deliverFirst;
  if (first)
    deliverFirst = [&](const DocSet& docs) {
      stats.firstSeconds = std::chrono::duration<double>(Clock::now() - start).count();
      first->deliver(docs);
    };
  DocumentChecks checks([&](const std::string& pickle) { return PickleSatisfies(query, pickle); }, first ? first->count : 0,
                        std::move(deliverFirst));
  // The candidates of the document screened last: its molecules are handed
  // in together, when the screen has passed them all.
  std::int64_t pendingDoc = 0;
  std::vector<std::int64_t> pending;
  Clock::duration handingIn{};
  auto handIn = [&] {
    const auto began = Clock::now();
    std::vector<std::optional<std::string>> data;
    for (std::int64_t molecule : pending) data.push_back(index.MoleculeData(molecule));
    checks.Add(pendingDoc, std::move(data));
    pending.clear();
    handingIn += Clock::now() - began;
  };
  AscendingMembership inWithin(within);
  index.ScanFingerprints(FingerprintKind::Screen, [&](const FingerprintRun& run) {
    for (size_t row = 0; row < run.rows; ++row) {
      const std::int64_t doc = run.docs[row];
      if (!inWithin.Holds(doc)) continue;
      ++stats.molecules;
      if (!PassesScreen(query, run.words + row * kScreenWords)) continue;
      ++stats.candidates;
      if (!pending.empty() && doc != pendingDoc) handIn();
      pendingDoc = doc;
      pending.push_back(run.molecules[row]);
    }
  });
  if (!pending.empty()) handIn();
  // The screen's time is the scan's without the molecules read and checked meanwhile.
  stats.screenSeconds = std::chrono::duration<double>(Clock::now() - start - handingIn).count();
  DocSet found = checks.Finish();
  stats.checked = checks.checked();
  stats.matches = found.size();
  stats.checkSeconds = std::chrono::duration<double>(Clock::now() - start).count() - stats.screenSeconds;
  return found;
}

}  // namespace

std::shared_ptr<const StructureQuery> ReadSubstructure(const std::string& pattern, std::string& error) {
  std::unique_ptr<RDKit::RWMol> query = pattern.empty() ? nullptr : ReadSmarts(pattern);
  if (!query || query->getNumAtoms() == 0) {
    error = "RDKit cannot read \"" + pattern + "\" as SMARTS or SMILES";
    return nullptr;
  }
  try {
    std::unique_ptr<RDKit::RWMol> molecule = AromatizeLikeSmiles(*query, pattern);
    RDKit::MolOps::mergeQueryHs(*query);
    query->updatePropertyCache(false);
    if (!query->getRingInfo()->isInitialized()) RDKit::MolOps::fastFindRings(*query);
    auto compiled = std::make_shared<StructureQuery>();
    const auto smilesScreen = ScreenOfSmilesReading(std::move(molecule), *query);
    compiled->screen = smilesScreen ? *smilesScreen : PatternScreenOf(*query);
    std::tie(compiled->screen[kFactsWord], compiled->screen[kMoreFactsWord]) = FactsOfPattern(*query);
    std::fill(compiled->screen.begin() + kDistanceWord, compiled->screen.end(), 0);
    AddDistanceFactsOfPattern(*query, DistanceLayout::Typed, compiled->screen.data() + kDistanceWord);
    compiled->olderDistances.assign(kOlderDistanceWords, 0);
    AddDistanceFactsOfPattern(*query, DistanceLayout::Older, compiled->olderDistances.data());
    compiled->useChirality = HasStereo(*query);
    compiled->pickle = FaithfulPickle(*query);
    compiled->pattern = std::move(query);
    return compiled;
  } catch (...) {
    error = "RDKit cannot use \"" + pattern + "\" as a pattern";
    return nullptr;
  }
}

std::shared_ptr<const StructureQuery> ReadSimilar(const std::string& smiles, double threshold, std::string& error) {
  if (!(threshold >= 0 && threshold <= 1)) {
    error = "a similarity threshold between 0 and 1";
    return nullptr;
  }
  std::unique_ptr<RDKit::RWMol> mol = smiles.empty() ? nullptr : ReadSmiles(smiles);
  if (!mol) {
    error = "RDKit cannot read \"" + smiles + "\" as SMILES";
    return nullptr;
  }
  auto compiled = std::make_shared<StructureQuery>();
  compiled->similar = true;
  compiled->threshold = threshold;
  compiled->similarity = MorganOf(*mol);
  compiled->similarityCount = CountBits(compiled->similarity.data(), kSimilarityWords);
  return compiled;
}

std::vector<std::uint64_t> PackedWords(std::string_view bytes, size_t words) {
  std::vector<std::uint64_t> out(words, 0);
  for (size_t i = 0; i < std::min(bytes.size(), words * 8); ++i)
    out[i / 8] |= std::uint64_t(static_cast<unsigned char>(bytes[i])) << (8 * (i % 8));
  return out;
}

std::vector<MoleculeEntry> MoleculeEntries(const Attributes& attributes, ScreenPart screen) {
  std::vector<MoleculeEntry> entries;
  auto found = attributes.find(attributes::kSmiles);
  if (found == attributes.end()) return entries;
  std::set<std::string> seen;
  ForEachSmiles(found->second, [&](const std::string& smiles) {
    if (!seen.insert(smiles).second) return;
    std::unique_ptr<RDKit::RWMol> mol = ReadSmiles(smiles);
    if (!mol) return;
    MoleculeEntry entry;
    if (screen == ScreenPart::Made) entry.screen = Bytes(ScreenOf(*mol));
    entry.similarity = Bytes(MorganOf(*mol));
    RDKit::MolPickler::pickleMol(*mol, entry.molecule);
    entries.push_back(std::move(entry));
  });
  return entries;
}

bool PassesScreen(const StructureQuery& query, const std::uint64_t* screen) {
  for (size_t i = 0; i < kFactsWord; ++i)
    if ((query.screen[i] & ~screen[i]) != 0) return false;
  for (size_t word = kFactsWord; word < kDistanceWord; ++word)
    if ((screen[word] & kFactsStored) && (query.screen[word] & ~screen[word]) != 0) return false;
  if (screen[kTypedMarkWord] & kFactsStored) {
    for (size_t word = kDistanceWord; word < kScreenWords; ++word)
      if ((query.screen[word] & ~screen[word]) != 0) return false;
  } else if (screen[kDistanceWord] & kFactsStored) {
    for (size_t word = 0; word < kOlderDistanceWords; ++word)
      if ((query.olderDistances[word] & ~screen[kDistanceWord + word]) != 0) return false;
  }
  return true;
}

unsigned DistanceFactsSet(std::string_view screen) {
  const std::vector<std::uint64_t> words = PackedWords(screen, kScreenWords);
  unsigned set = 0;
  for (size_t word = kDistanceWord; word < kScreenWords; ++word) set += unsigned(std::popcount(words[word] & ~kFactsStored));
  return set;
}

bool SmilesSatisfies(const StructureQuery& query, const std::string& smiles) {
  std::unique_ptr<RDKit::RWMol> mol = ReadSmiles(smiles);
  return mol && MoleculeSatisfies(query, *mol);
}

bool StructureSatisfies(const Node& node, const Attributes& attributes) {
  if (!node.structure) return false;
  auto found = attributes.find(node.attribute);
  if (found == attributes.end()) return false;
  bool any = false;
  ForEachSmiles(found->second, [&](const std::string& smiles) { any = any || SmilesSatisfies(*node.structure, smiles); });
  return any;
}

DocSet StructureDocuments(Index& index, const Node& node, const DocSet* within, const FirstDocuments* first) {
  if (node.structure && node.attribute == attributes::kSmiles && !node.structure->similar)
    return SubstructureDocuments(index, *node.structure, within, first);
  DocSet found;
  if (node.structure && node.attribute != attributes::kSmiles) found = CheckDocuments(index, node, within ? *within : index.AllDocuments());
  if (node.structure && node.attribute == attributes::kSmiles) found = SimilarDocuments(index, *node.structure, within);
  if (first) first->deliver(DocSet(found.begin(), found.begin() + std::ptrdiff_t(std::min(found.size(), first->count))));
  return found;
}

StructureSearchStats LastStructureSearchStats() { return Stats(); }

}  // namespace metadata
