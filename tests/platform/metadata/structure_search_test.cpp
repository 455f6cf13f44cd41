// Substructure and Similar on the molecules of the test data's SD files, each
// record stored as a document of its own ("/cdk2/NN", numbered from 1 as in
// the file), through the writer and the query service.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <random>

#include <GraphMol/MolOps.h>
#include <GraphMol/QueryAtom.h>
#include <GraphMol/QueryBond.h>
#include <GraphMol/QueryOps.h>
#include <GraphMol/ROMol.h>
#include <GraphMol/SmilesParse/SmartsWrite.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <GraphMol/SmilesParse/SmilesWrite.h>

#include "importers/registry.h"
#include "platform/metadata/document_match.h"
#include "platform/metadata/parser.h"
#include "platform/metadata/structure_search.h"
#include "tests/support/index_fixture.h"
#include "tests/support/postgres_database.h"

namespace fs = std::filesystem;
using namespace metadata;

namespace {

const fs::path kData = ORVANE_TESTDATA_DIR;

std::vector<std::string> SmilesOf(const fs::path& file) {
  const auto outcome = importers::ImportDocument(file, importers::Recognise(file));
  const auto* imported = std::get_if<importers::Imported>(&outcome);
  if (!imported) return {};
  const auto found = imported->attributes.find(attributes::kSmiles);
  if (found == imported->attributes.end()) return {};
  return std::get<StringArray>(found->second);
}

std::string Numbered(size_t n) { return (n < 10 ? "/cdk2/0" : "/cdk2/") + std::to_string(n); }

Paths Records(std::initializer_list<size_t> numbers) {
  Paths paths;
  for (size_t n : numbers) paths.push_back(Numbered(n));
  return paths;
}

class StructureSearchTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    if (IsSkipped()) return;  // no index of the engine asked for
    cdk2_ = SmilesOf(kData / "molecules" / "cdk2.sdf");
    ASSERT_EQ(cdk2_.size(), 47u);
    menthol_ = SmilesOf(kData / "nmredata" / "compound1.nmredata.sdf");
    ASSERT_EQ(menthol_.size(), 1u);
    writer_->Begin();
    for (size_t i = 0; i < cdk2_.size(); ++i) writer_->Put(Document(Numbered(i + 1), {cdk2_[i]}));
    writer_->Put(Document("/menthol", menthol_));
    writer_->Commit();
  }

  static DocumentRecord Document(const std::string& path, const StringArray& smiles) {
    DocumentRecord record;
    record.path = path;
    record.attributes[attributes::kSmiles] = smiles;
    record.attributes[kPathAttribute] = path;
    return record;
  }

  Paths Substructure(const std::string& pattern) { return Find("Substructure(Molvane_SMILES, \"" + pattern + "\")"); }

  // What the first-results handler is given (asked for `count`) and all the
  // results. Documents were stored in path order, so that is document order too.
  std::pair<Paths, Paths> FirstAndAll(const std::string& expression, size_t count, const std::vector<SearchScope>& scopes = {}) {
    std::shared_ptr<Index> index = OpenIndex();
    MDQueryRef query = MDQueryCreate(index, expression);
    EXPECT_NE(query, nullptr) << expression;
    if (!query) return {};
    MDQuerySetSearchScope(query, scopes);
    Paths first;
    int calls = 0;
    MDQuerySetFirstResultsHandler(query, count, [&](const DocSet& docs) {
      ++calls;
      for (std::int64_t doc : docs) first.push_back(index->PathOf(doc).value_or("?"));
    });
    QueryError error;
    EXPECT_TRUE(MDQueryExecute(query, kMDQuerySynchronous, &error)) << expression << ": " << error.message;
    EXPECT_EQ(calls, 1) << expression;
    return {first, PathsOf(query)};
  }

  StringArray cdk2_, menthol_;
};

TEST_F(StructureSearchTest, FunctionalGroupsMeanWhatSmartsSays) {
  // Phenols: the hydroxyl has one hydrogen, so the aryl methyl ethers stay out.
  EXPECT_EQ(Substructure("[OH]c1ccccc1"), Records({42, 44}));
  EXPECT_EQ(Substructure("c[OH]"), Records({42, 44}));
  // Acids, esters, carboxylates: record 17 is a lactone, 36 a carboxylate.
  EXPECT_EQ(Substructure("C(=O)[OH]"), Paths{});
  EXPECT_EQ(Substructure("[#6]C(=O)O[#6]"), Records({17}));
  EXPECT_EQ(Substructure("C(=O)[O-]"), Records({36}));
  EXPECT_EQ(Substructure("C(=O)O"), Records({17, 36}));
  // Charges: the protonated primary amines.
  EXPECT_EQ(Substructure("[NH3+]"), Records({15, 37, 45}));
  EXPECT_EQ(Substructure("[NH3+]C1CCCCC1"), Records({37, 45}));
  // The screen knows charges: only molecules with a charged nitrogen reach the check.
  EXPECT_EQ(Substructure("[NH3+]CCS"), Records({15}));
  EXPECT_LE(LastStructureSearchStats().candidates, 4u);
  EXPECT_EQ(Substructure("[#7+;H3]"), Records({15, 37, 45}));
  // Menthol's hydroxyl is no phenol, but it is an alcohol on a ring.
  EXPECT_EQ(Find("Substructure(Molvane_SMILES, \"[OH]C1CCCCC1\")"), Paths{"/menthol"});
}

TEST_F(StructureSearchTest, RingClosuresAtomListsAndAromaticity) {
  // A thiazole or oxazole, fused or not: a five-membered aromatic ring with an atom list.
  EXPECT_EQ(Substructure("c1[s,o]ccn1"), Records({12, 13, 39, 40, 41, 46, 47}));
  EXPECT_EQ(Substructure("c1[s,o]c[cH]n1"), Records({12, 13, 39, 41}));  // 46 has no ring hydrogen
  // A ring typed in Kekulé form finds what its aromatic form finds.
  EXPECT_EQ(Substructure("C1=CC=CC=C1Cl"), Substructure("c1ccccc1Cl"));
  EXPECT_EQ(Substructure("c1ccccc1Cl"), Records({35, 36, 42}));
  EXPECT_EQ(Substructure("[OH]C1=CC=CC=C1"), Records({42, 44}));
  // Aliphatic written means aliphatic: cyclohexane is not benzene.
  EXPECT_EQ(Substructure("C1CCCCC1CO"), Records({4, 9, 29, 30, 38}));
  EXPECT_EQ(Substructure("C1=CCCCC1CO"), Paths{});
  // An atom by number alone is aromatic or not: the oxazole's ring carbon beside its ring oxygen.
  const Paths numbered = Substructure("[#6]([#8])-C");
  EXPECT_NE(std::find(numbered.begin(), numbered.end(), Numbered(12)), numbered.end());
  EXPECT_EQ(Substructure("[#6]([#8])-C"), Substructure("[#6;a,A]([#8])-C"));
}

TEST_F(StructureSearchTest, HydrogensAndStereo) {
  // A hydrogen written as an atom counts as a hydrogen on its neighbour.
  EXPECT_EQ(Substructure("[H]Oc1ccccc1"), Records({42, 44}));
  EXPECT_EQ(Substructure("[H]OC(=O)"), Paths{});
  // Stereo counts only when the pattern gives it: record 2 is (R), 3 (S) on the same kind of centre.
  const Paths any = Substructure("OCC1CCCO1");
  EXPECT_EQ(any, Records({2}));
  EXPECT_EQ(Substructure("OC[C@@H]1CCCO1"), Records({2}));
  EXPECT_EQ(Substructure("OC[C@H]1CCCO1"), Paths{});
  EXPECT_EQ(Substructure("CC(C)[C@H](CO)N"), Records({35, 36}));
}

TEST_F(StructureSearchTest, NoMatchAndInvalidPatterns) {
  // The screen of the fingerprints knows the rare elements and a charged atom's hydrogens.
  EXPECT_EQ(Substructure("[Si]"), Paths{});
  if (!TestDatabase::Selected()) {
    EXPECT_EQ(LastStructureSearchStats().candidates, 0u);
  }
  EXPECT_EQ(Substructure("[NH2+]"), Paths{});
  if (!TestDatabase::Selected()) {
    EXPECT_EQ(LastStructureSearchStats().candidates, 0u);
  }
  for (const char* bad : {"Substructure(Molvane_SMILES, \"c1ccc\")", "Substructure(Molvane_SMILES, \"C(=O\")",
                          "Substructure(Molvane_SMILES, \"\")", "Similar(Molvane_SMILES, \"C1CC\", 0.7)",
                          "Similar(Molvane_SMILES, \"CCO\", 1.5)", "Substructure(Molvane_SMILES)"}) {
    const ParseResult parsed = ParseQuery(bad);
    EXPECT_EQ(parsed.root, nullptr) << bad;
    EXPECT_NE(parsed.error.message.find("column "), std::string::npos) << parsed.error.message;
  }
  const ParseResult parsed = ParseQuery("Molvane_Mass > 1 && Substructure(Molvane_SMILES, \"c1ccc\")");
  EXPECT_EQ(parsed.error.column, 50u) << parsed.error.message;
  EXPECT_NE(parsed.error.message.find("c1ccc"), std::string::npos) << parsed.error.message;
}

TEST_F(StructureSearchTest, CombinesWithOtherTermsSubsetsAndScopes) {
  EXPECT_EQ(Find("Substructure(Molvane_SMILES, \"[NH3+]\") && kMDItemPath != \"*5\""), Records({37}));
  EXPECT_EQ(Find("!Substructure(Molvane_SMILES, \"c\") "), Paths{"/menthol"});
  EXPECT_EQ(Find("Substructure(Molvane_SMILES, \"[NH3+]\") || Substructure(Molvane_SMILES, \"C(=O)[O-]\")"),
            Records({15, 36, 37, 45}));
  EXPECT_EQ(Find("Substructure(Molvane_SMILES, \"[NH3+]\")", {FolderScope("/cdk2")}), Records({15, 37, 45}));
  EXPECT_EQ(Find("Substructure(Molvane_SMILES, \"[NH3+]\")", {FolderScope("/elsewhere")}), Paths{});
  // Similar: the molecule itself, and its close relatives.
  EXPECT_EQ(Find("Similar(Molvane_SMILES, \"" + cdk2_[36] + "\", 1)"), Records({37}));
  const Paths similar = Find("Similar(Molvane_SMILES, \"" + cdk2_[36] + "\", 0.5)");
  EXPECT_NE(std::find(similar.begin(), similar.end(), Numbered(45)), similar.end());
  EXPECT_EQ(std::find(similar.begin(), similar.end(), "/menthol"), similar.end());
}

TEST_F(StructureSearchTest, ReplacedAndRemovedDocumentsLeaveNoMolecules) {
  writer_->Begin();
  writer_->Put(Document(Numbered(15), {"CCO"}));
  EXPECT_TRUE(writer_->Remove(Numbered(37)));
  writer_->Commit();
  EXPECT_EQ(Substructure("[NH3+]"), Records({45}));
  EXPECT_EQ(OpenIndex()->Fingerprints(FingerprintKind::Screen)->docs.size(), 47u);
}

// Thousands of molecules come and go, so the molecules' numbers left are far
// apart; the fingerprints still belong to their documents.
TEST_F(StructureSearchTest, SearchesStayRightAfterManyDocumentsCameAndWent) {
  const Paths phenols = Substructure("c[OH]");
  const Paths thioethers = Substructure("[CH3]S");
  writer_->Begin();
  for (int i = 0; i < 5000; ++i) writer_->Put(Document("/gone/" + std::to_string(i), {"CS"}));
  writer_->Commit();
  writer_->Begin();
  for (int i = 0; i < 5000; ++i) EXPECT_TRUE(writer_->Remove("/gone/" + std::to_string(i)));
  writer_->Put(Document(Numbered(15), {"CCO"}));
  writer_->Commit();
  EXPECT_EQ(Substructure("c[OH]"), phenols);
  EXPECT_EQ(Substructure("[CH3][CH2][OH]"), Records({15}));
  EXPECT_EQ(Find("Similar(Molvane_SMILES, \"CCO\", 1)"), Records({15}));
  EXPECT_EQ(Substructure("[CH3]S"), thioethers);
}

// A writer that closes packs the fingerprints for the next reader; a change
// drops the packs with the rows, so the answers stay those of the rows.
TEST_F(StructureSearchTest, PackedFingerprintsAnswerAsTheRowsDo) {
  const std::vector<std::string> expressions = {"Substructure(Molvane_SMILES, \"c[OH]\")", "Substructure(Molvane_SMILES, \"C(=O)O\")",
                                                "Similar(Molvane_SMILES, \"" + cdk2_[3] + "\", 0.7)"};
  std::vector<Paths> fromRows;
  for (const std::string& expression : expressions) fromRows.push_back(Find(expression));
  writer_.reset();
  for (size_t i = 0; i < expressions.size(); ++i) EXPECT_EQ(Find(expressions[i]), fromRows[i]) << expressions[i];
  // One reader reads the packs a piece at a time first, then keeps them.
  std::shared_ptr<Index> reader = OpenIndex();
  for (int round = 0; round < 3; ++round)
    for (size_t i = 0; i < expressions.size(); ++i) {
      MDQueryRef query = MDQueryCreate(reader, expressions[i]);
      ASSERT_NE(query, nullptr);
      ASSERT_TRUE(MDQueryExecute(query, kMDQuerySynchronous));
      EXPECT_EQ(PathsOf(query), fromRows[i]) << expressions[i] << " in round " << round;
    }

  std::string error;
  writer_ = IndexWriter::Open(indexFile_, error);
  ASSERT_NE(writer_, nullptr) << error;
  writer_->Begin();
  EXPECT_TRUE(writer_->Remove(Numbered(45)));
  writer_->Put(Document(Numbered(16), {"Oc1ccccc1"}));
  writer_->Commit();
  EXPECT_EQ(Substructure("[NH3+]"), Records({15, 37}));
  EXPECT_EQ(Substructure("c[OH]"), Records({16, 42, 44}));
  writer_.reset();
  EXPECT_EQ(Substructure("[NH3+]"), Records({15, 37}));
  EXPECT_EQ(Substructure("c[OH]"), Records({16, 42, 44}));
  EXPECT_EQ(Find("Similar(Molvane_SMILES, \"Oc1ccccc1\", 1)"), Records({16}));
  EXPECT_EQ(OpenIndex()->Fingerprints(FingerprintKind::Similarity)->docs.size(), 47u);
}

// A screen stored before the facts of rare elements and of charged atoms'
// hydrogens, or before the distances between heteroatoms (words shorter),
// still lets its molecule through, from the rows and from the packs.
TEST_F(StructureSearchTest, ScreensStoredBeforeTheirFactsStillPass) {
  for (size_t shorter : {8 * kDistanceFactWords, 8 * kDistanceFactWords + 8}) {
    SCOPED_TRACE(shorter);
    DocumentRecord older = Document("/older", {"[NH3+]CC[SiH3]"});
    older.molecules = MoleculeEntries(older.attributes);
    ASSERT_EQ(older.molecules->size(), 1u);
    std::string& screen = older.molecules->front().screen;
    screen.resize(screen.size() - shorter);
    std::string error;
    if (!writer_) writer_ = IndexWriter::Open(indexFile_, error);
    ASSERT_NE(writer_, nullptr) << error;
    writer_->Begin();
    writer_->Put(older);
    writer_->Commit();
    for (int packed = 0; packed < 2; ++packed) {
      EXPECT_EQ(Substructure("[NH3+]CC[Si]"), Paths{"/older"});
      EXPECT_EQ(Substructure("[Si]"), Paths{"/older"});
      EXPECT_EQ(Substructure("[NH2+]CC[Si]"), Paths{});
      writer_.reset();
    }
  }
}

// A screen stored before the distances knew heteroatoms' features holds the
// distances of elements and charges alone, in fewer words: its molecule
// passes the screen of every pattern it holds, and the distances it holds
// still keep out what lies too far. (The screen of CNSCC[NH3+] as the
// importers of that time stored it.)
TEST_F(StructureSearchTest, ScreensStoredBeforeTheDistancesHadFeaturesStillScreen) {
  const std::string hex =
      "400200002100000020000000000000000820004000200000000010020000020002C100000000000000000000000000004002000000200000000002000000"
      "000000880000000008000000000000420000000000000000004080001000100000000004000000000000000000000800000000000008800001008808000028"
      "080040000000400000008000800002000000800400000040000080000040000400808280004000420000880104000018100080";
  DocumentRecord older = Document("/older", {"CNSCC[NH3+]"});
  older.molecules = MoleculeEntries(older.attributes);
  ASSERT_EQ(older.molecules->size(), 1u);
  std::string& screen = older.molecules->front().screen;
  screen.clear();
  for (size_t i = 0; i + 1 < hex.size(); i += 2) screen.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
  ASSERT_EQ(screen.size(), 176u);
  writer_->Begin();
  for (size_t i = 0; i < cdk2_.size(); ++i) writer_->Remove(Numbered(i + 1));
  writer_->Put(older);
  writer_->Commit();
  for (int packed = 0; packed < 2; ++packed) {
    for (const char* pattern : {"[NH3+]CCS", "CNSCC[NH3+]", "[NH3+]CCSN", "N~S", "[#7]SC", "NS", "[N;!a]SC", "[NH3+]C~C~[#16]"})
      EXPECT_EQ(Substructure(pattern), Paths{"/older"}) << pattern;
    EXPECT_EQ(Substructure("[NH3+]CS"), Paths{});
    if (!TestDatabase::Selected()) {
      EXPECT_EQ(LastStructureSearchStats().candidates, 0u);
    }
    writer_.reset();
  }
}

// The screen knows how far apart heteroatoms lie: a fluorine ortho to a
// ketone's carbonyl lies four bonds from its oxygen, meta five, para six, so
// only the ortho isomer (and record 33, which holds the pattern) reaches the
// check for the ortho pattern, in aromatic or Kekulé form; an alcohol's
// oxygen (no double bond) four bonds from an aryl fluoride, or a carbonyl
// four bonds from an alkyl fluoride, does not. A charged nitrogen three
// bonds from a sulfur.
TEST_F(StructureSearchTest, TheScreenKnowsHowFarApartHeteroatomsLie) {
  writer_->Begin();
  writer_->Put(Document("/ortho", {"CC(=O)c1ccccc1F"}));
  writer_->Put(Document("/meta", {"CC(=O)c1cccc(F)c1"}));
  writer_->Put(Document("/para", {"CC(=O)c1ccc(F)cc1"}));
  writer_->Put(Document("/alcohol", {"OCc1ccccc1F"}));
  writer_->Put(Document("/alkyl", {"O=C(C1CC1)CCF"}));
  writer_->Commit();
  for (const char* pattern : {"O=C(C1=C(F)C=CC=C1)", "O=Cc1c(F)cccc1"}) {
    EXPECT_EQ(Substructure(pattern), (Paths{"/cdk2/33", "/ortho"})) << pattern;
    if (!TestDatabase::Selected()) {
      EXPECT_EQ(LastStructureSearchStats().candidates, 2u) << pattern;
    }
  }
  EXPECT_EQ(Substructure("O=Cc1ccc(F)cc1"), Paths{"/para"});
  EXPECT_EQ(Substructure("[NH3+]CCS"), Records({15}));
  if (!TestDatabase::Selected()) {
    EXPECT_EQ(LastStructureSearchStats().candidates, 1u);
  }
}

// Documents of several molecules, as SD files are: a document is found once,
// when any of its molecules holds the pattern, and the first results too.
TEST_F(StructureSearchTest, DocumentsOfSeveralMolecules) {
  std::vector<std::pair<std::string, StringArray>> documents;
  // Enough of them that the check shares its rounds among threads.
  for (size_t i = 0; i < 300; ++i)
    documents.push_back({"/sd/" + std::to_string(1000 + i), {cdk2_[(3 * i) % 47], cdk2_[(3 * i + 1) % 47], cdk2_[(3 * i + 2) % 47]}});
  writer_->Begin();
  for (size_t i = 0; i < cdk2_.size(); ++i) writer_->Remove(Numbered(i + 1));
  writer_->Remove("/menthol");
  for (const auto& [path, smiles] : documents) writer_->Put(Document(path, smiles));
  writer_->Commit();
  for (const char* pattern : {"c1ccccc1", "[NH3+]", "C(=O)[O-]", "c[OH]", "[Si]", "C1CCCCC1CO"}) {
    const std::string expression = std::string("Substructure(Molvane_SMILES, \"") + pattern + "\")";
    const ParseResult parsed = ParseQuery(expression);
    ASSERT_NE(parsed.root, nullptr) << pattern;
    Paths plain;
    for (const auto& [path, smiles] : documents)
      if (DocumentSatisfies(*parsed.root, {{attributes::kSmiles, smiles}})) plain.push_back(path);
    EXPECT_EQ(Find(expression), plain) << pattern;
    EXPECT_EQ(FirstAndAll(expression, 3).first, Paths(plain.begin(), plain.begin() + std::ptrdiff_t(std::min<size_t>(3, plain.size()))))
        << pattern;
  }
}

// The first results of a structure search come first, in document order,
// whatever the scope; the rest and the exact count follow.
TEST_F(StructureSearchTest, FirstResultsComeFirstAndTheCountStaysExact) {
  const auto [benzene, all] = FirstAndAll("Substructure(Molvane_SMILES, \"c1ccccc1\")", 5);
  ASSERT_GT(all.size(), 5u);
  EXPECT_EQ(benzene, Paths(all.begin(), all.begin() + 5));
  EXPECT_EQ(all, Substructure("c1ccccc1"));
  EXPECT_EQ(FirstAndAll("Substructure(Molvane_SMILES, \"[NH3+]\")", 899), std::make_pair(Records({15, 37, 45}), Records({15, 37, 45})));
  EXPECT_EQ(FirstAndAll("Substructure(Molvane_SMILES, \"[NH3+]\")", 2, {FolderScope("/cdk2")}).first, Records({15, 37}));
  EXPECT_EQ(FirstAndAll("Substructure(Molvane_SMILES, \"[NH3+]\")", 2, {FolderScope("/elsewhere")}).first, Paths{});
  // Other queries hand over their first results when they have them all.
  EXPECT_EQ(FirstAndAll("Substructure(Molvane_SMILES, \"[NH3+]\") && kMDItemPath != \"*5\"", 1).first, Records({37}));
  EXPECT_EQ(FirstAndAll("Similar(Molvane_SMILES, \"" + cdk2_[36] + "\", 1)", 3).first, Records({37}));
}

// An index that screens on its server reads the candidates of the first
// documents before the rest, and the rest of a common group in pieces too:
// the first results and the answer are the same whether they lie among the
// first documents, after them, or in a document of more molecules than a
// piece holds.
TEST_F(StructureSearchTest, FirstResultsComeFromEveryPieceOfTheCandidates) {
  writer_->Begin();
  for (size_t i = 0; i < cdk2_.size(); ++i) writer_->Remove(Numbered(i + 1));
  writer_->Remove("/menthol");
  for (size_t i = 0; i < 30; ++i) writer_->Put(Document("/a/" + std::to_string(100 + i), menthol_));
  StringArray many(cdk2_.begin(), cdk2_.begin() + 40);
  for (size_t carbons = 2; many.size() < 80; ++carbons) many.push_back(std::string(carbons, 'C'));
  writer_->Put(Document("/b/many", many));
  for (size_t i = 0; i < 30; ++i) writer_->Put(Document("/c/" + std::to_string(100 + i), menthol_));
  writer_->Put(Document("/d/late", {cdk2_[14]}));
  writer_->Commit();
  const std::string charged = "Substructure(Molvane_SMILES, \"[NH3+]\")";
  EXPECT_EQ(FirstAndAll(charged, 2), std::make_pair(Paths{"/b/many", "/d/late"}, Find(charged)));
  EXPECT_EQ(FirstAndAll(charged, 1).first, Paths{"/b/many"});
  const std::string alcohol = "Substructure(Molvane_SMILES, \"[OH]C1CCCCC1\")";
  const Paths alcohols = Find(alcohol);
  ASSERT_EQ(alcohols.size(), 60u);
  for (size_t count : {1, 3, 29, 31, 60, 70}) {
    const auto [first, all] = FirstAndAll(alcohol, count);
    EXPECT_EQ(first, Paths(alcohols.begin(), alcohols.begin() + std::ptrdiff_t(std::min<size_t>(count, 60)))) << count;
    EXPECT_EQ(all, alcohols) << count;
  }
}

// An atom to start a piece from: often a charged one, so that charges are
// drawn as often as the screen's facts need.
int StartAtom(const RDKit::ROMol& mol, std::mt19937& random) {
  std::vector<int> charged;
  for (const RDKit::Atom* atom : mol.atoms())
    if (atom->getFormalCharge() != 0) charged.push_back(int(atom->getIdx()));
  if (!charged.empty() && random() % 2) return charged[random() % charged.size()];
  return int(random() % mol.getNumAtoms());
}

// Changes a pattern's atom so that the screen's facts are drawn too: a
// charged atom's hydrogens, or an atom's element (an aliphatic one, so that
// the pattern still reads), often to a common heteroatom, so that patterns
// hold several heteroatoms at various distances.
void ChangeAtom(RDKit::RWMol& mol, const std::vector<int>& atoms, std::mt19937& random) {
  RDKit::Atom* atom = mol.getAtomWithIdx(unsigned(atoms[random() % atoms.size()]));
  if (random() % 2) {
    atom->setFormalCharge(int(random() % 2) * 2 - 1);
    atom->setNumExplicitHs(random() % 4);
    atom->setNoImplicit(true);
  } else if (!atom->getIsAromatic()) {
    static const int kElements[] = {5, 7, 8, 9, 14, 15, 16, 17, 34, 35, 53};
    atom->setAtomicNum(kElements[random() % std::size(kElements)]);
  }
  atom->updatePropertyCache(false);
}

// Charges a heteroatom of the pattern as the molecules' charged atoms are
// (an ammonium, an oxide, a nitro group's nitrogen), or takes a charged
// one's charge away, which leaves its charge open to SMARTS ([NH3] matches
// [NH3+]).
void ChargeHeteroatom(RDKit::RWMol& mol, const std::vector<int>& atoms, std::mt19937& random) {
  std::vector<RDKit::Atom*> heteroatoms;
  for (int index : atoms)
    if (mol.getAtomWithIdx(unsigned(index))->getAtomicNum() != 6) heteroatoms.push_back(mol.getAtomWithIdx(unsigned(index)));
  if (heteroatoms.empty()) return;
  RDKit::Atom* atom = heteroatoms[random() % heteroatoms.size()];
  atom->setFormalCharge(atom->getFormalCharge() != 0 ? 0 : atom->getAtomicNum() == 8 ? -1 : 1);
  atom->updatePropertyCache(false);
}

// The piece `atoms` of `mol` as SMARTS, each atom and bond asked for in one
// of the ways SMARTS allows: an atom by its element ([#7]), its symbol (n,
// N), its element and aromaticity ([#7;a]) or in a list ([#7,#8]), with its
// charge or not; a bond by its order, as any bond (~), single or aromatic,
// or double or aromatic.
std::string WrittenFreely(const RDKit::ROMol& mol, const std::vector<int>& atoms, std::mt19937& random) {
  RDKit::RWMol query;
  std::vector<int> at(mol.getNumAtoms(), -1);
  for (int index : atoms) {
    const RDKit::Atom* atom = mol.getAtomWithIdx(unsigned(index));
    const int number = atom->getAtomicNum();
    auto* queryAtom = new RDKit::QueryAtom();
    queryAtom->setQuery(RDKit::makeAtomNumQuery(number));
    const unsigned way = unsigned(random() % 4);
    if (way == 1) queryAtom->setQuery(RDKit::makeAtomTypeQuery(number, atom->getIsAromatic()));
    if (way == 2)
      queryAtom->expandQuery(atom->getIsAromatic() ? RDKit::makeAtomAromaticQuery() : RDKit::makeAtomAliphaticQuery(), Queries::COMPOSITE_AND);
    if (way == 3) queryAtom->expandQuery(RDKit::makeAtomNumQuery(number == 8 ? 7 : 8), Queries::COMPOSITE_OR);
    if (atom->getFormalCharge() != 0 && random() % 2)
      queryAtom->expandQuery(RDKit::makeAtomFormalChargeQuery(atom->getFormalCharge()), Queries::COMPOSITE_AND);
    at[size_t(index)] = int(query.addAtom(queryAtom, false, true));
  }
  for (const RDKit::Bond* bond : mol.bonds()) {
    const int begin = at[bond->getBeginAtomIdx()], end = at[bond->getEndAtomIdx()];
    if (begin < 0 || end < 0) continue;
    RDKit::QueryBond queryBond(bond->getBondType());
    queryBond.setBeginAtomIdx(unsigned(begin));
    queryBond.setEndAtomIdx(unsigned(end));
    switch (random() % 4) {
      case 0: queryBond.setQuery(RDKit::makeBondOrderEqualsQuery(bond->getBondType())); break;
      case 1: queryBond.setQuery(RDKit::makeBondNullQuery()); break;
      case 2: queryBond.setQuery(RDKit::makeSingleOrAromaticBondQuery()); break;
      default: queryBond.setQuery(RDKit::makeDoubleOrAromaticBondQuery()); break;
    }
    query.addBond(&queryBond);
  }
  return RDKit::MolToSmarts(query);
}

// A pattern cut from a real molecule: atoms reached from one atom by a random
// walk over bonds, written as SMILES or as SMARTS, some with a charge moved
// onto another atom or another atom changed. `plainCut` tells whether it is
// the molecule's own piece, which must find the molecule.
struct CutPattern {
  std::string text;
  bool plainCut = false;
};
CutPattern RandomPattern(const StringArray& molecules, std::mt19937& random) {
  std::unique_ptr<RDKit::RWMol> mol(RDKit::SmilesToMol(molecules[random() % molecules.size()]));
  if (!mol) return {};
  std::vector<int> atoms{StartAtom(*mol, random)};
  const size_t size = 2 + random() % 10;
  for (int tries = 0; atoms.size() < size && tries < 50; ++tries) {
    const RDKit::Atom* from = mol->getAtomWithIdx(unsigned(atoms[random() % atoms.size()]));
    for (const auto& neighbor : mol->atomNeighbors(from))
      if (std::find(atoms.begin(), atoms.end(), int(neighbor->getIdx())) == atoms.end() && random() % 2) {
        atoms.push_back(int(neighbor->getIdx()));
        break;
      }
  }
  const bool kekule = random() % 2, charged = random() % 5 == 0, changed = random() % 5 == 0, smarts = random() % 3 == 0;
  const bool heteroCharged = random() % 4 == 0;
  if (kekule) RDKit::MolOps::Kekulize(*mol, true);
  if (charged) mol->getAtomWithIdx(unsigned(atoms[random() % atoms.size()]))->setFormalCharge(int(random() % 3) - 1);
  if (heteroCharged) ChargeHeteroatom(*mol, atoms, random);
  if (changed)
    for (unsigned times = 1 + unsigned(random() % 3); times > 0; --times) ChangeAtom(*mol, atoms, random);
  const std::string text = smarts && random() % 2 ? WrittenFreely(*mol, atoms, random)
                           : smarts ? RDKit::MolFragmentToSmarts(*mol, atoms)
                                    : RDKit::MolFragmentToSmiles(*mol, atoms, nullptr, nullptr, nullptr, true, kekule);
  return {text, !kekule && !charged && !heteroCharged && !changed && !smarts};
}

unsigned DifferentialSeed(const char* what) {
  const char* seedText = std::getenv("ORVANE_DIFFERENTIAL_SEED");
  const unsigned seed = seedText ? unsigned(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
  std::cout << what << " seed " << seed << " (ORVANE_DIFFERENTIAL_SEED)\n";
  return seed;
}

// What the index answers (screen, then check) is what checking every
// document's own values answers, for random patterns cut from the real molecules.
TEST_F(StructureSearchTest, ScreenNeverDropsAMatch) {
  const unsigned seed = DifferentialSeed("structure search");
  std::mt19937 random(seed);
  StringArray all = cdk2_;
  all.insert(all.end(), menthol_.begin(), menthol_.end());
  for (int round = 0; round < 120; ++round) {
    const CutPattern pattern = RandomPattern(all, random);
    const std::string expression = "Substructure(Molvane_SMILES, \"" + pattern.text + "\")";
    const ParseResult parsed = ParseQuery(expression);
    if (!parsed.root) continue;
    Paths plain;
    for (size_t i = 0; i < all.size(); ++i) {
      Attributes attributes{{attributes::kSmiles, StringArray{all[i]}}};
      if (DocumentSatisfies(*parsed.root, attributes)) plain.push_back(i < cdk2_.size() ? Numbered(i + 1) : "/menthol");
    }
    std::sort(plain.begin(), plain.end());
    EXPECT_EQ(Find(expression), plain) << pattern.text << " (seed " << seed << ")";
    const size_t firstCount = 1 + random() % 4;
    EXPECT_EQ(FirstAndAll(expression, firstCount).first, Paths(plain.begin(), plain.begin() + std::ptrdiff_t(std::min(firstCount, plain.size()))))
        << pattern.text << " (seed " << seed << ")";
    if (pattern.plainCut) {
      EXPECT_FALSE(plain.empty()) << pattern.text << " is cut from a molecule and must find it";
    }
  }
}

double DifferentialSeconds() {
  const char* text = std::getenv("ORVANE_DIFFERENTIAL_SECONDS");
  const double seconds = text ? std::atof(text) : 0;
  return seconds > 0 ? seconds : 2;
}

// Documents of many molecules, some repeated, in numbers that fill the
// check's windows and keep every core busy: the index finds, and finds
// first, what checking each document's own values finds (on PostgreSQL,
// whose first piece of candidates grows with the first results asked for,
// with the first results in the first piece, in a later one, or in the rest
// read at once). Runs for ORVANE_DIFFERENTIAL_SECONDS (2 by default).
TEST_F(StructureSearchTest, ChecksOnEveryCoreAgreeWithThePlainCheck) {
  const unsigned seed = DifferentialSeed("structure check");
  std::mt19937 random(seed);
  StringArray all = cdk2_;
  all.insert(all.end(), menthol_.begin(), menthol_.end());
  std::vector<std::pair<std::string, StringArray>> documents;
  for (size_t i = 0; i < 500; ++i) {
    StringArray smiles;
    for (size_t k = 1 + random() % 10; k > 0; --k) smiles.push_back(all[random() % all.size()]);
    documents.push_back({"/many/" + std::to_string(10000 + i), smiles});
  }
  writer_->Begin();
  for (size_t i = 0; i < cdk2_.size(); ++i) writer_->Remove(Numbered(i + 1));
  writer_->Remove("/menthol");
  for (const auto& [path, smiles] : documents) writer_->Put(Document(path, smiles));
  writer_->Commit();
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(DifferentialSeconds());
  int patterns = 0;
  while (std::chrono::steady_clock::now() < end || patterns < 3) {
    const CutPattern pattern = RandomPattern(all, random);
    const std::string expression = "Substructure(Molvane_SMILES, \"" + pattern.text + "\")";
    const ParseResult parsed = ParseQuery(expression);
    if (!parsed.root) continue;
    ++patterns;
    Paths plain;
    for (const auto& [path, smiles] : documents)
      if (DocumentSatisfies(*parsed.root, {{attributes::kSmiles, smiles}})) plain.push_back(path);
    ASSERT_EQ(Find(expression), plain) << pattern.text << " (seed " << seed << ")";
    const size_t firstCount = 1 + random() % 300;
    ASSERT_EQ(FirstAndAll(expression, firstCount).first, Paths(plain.begin(), plain.begin() + std::ptrdiff_t(std::min(firstCount, plain.size()))))
        << pattern.text << " (seed " << seed << ")";
  }
}

}  // namespace
