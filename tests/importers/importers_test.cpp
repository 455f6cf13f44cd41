// Each importer on real files, with values checked by hand against the files'
// headers and the chemistry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "importers/registry.h"
#include "tests/importers/families.h"
#include "platform/metadata/time_values.h"
#include "tests/support/temp_home.h"

using namespace importers;
using namespace metadata;
namespace fs = std::filesystem;

namespace {

const fs::path kData = ORVANE_TESTDATA_DIR;

Attributes Import(const fs::path& path) {
  const Family family = Recognise(path);
  EXPECT_NE(family, nullptr) << path;
  ImportOutcome outcome = ImportDocument(path, family);
  if (auto* error = std::get_if<ImportError>(&outcome)) {
    ADD_FAILURE() << path << ": " << error->message;
    return {};
  }
  return std::get<Imported>(outcome).attributes;
}

template <typename T>
T Get(const Attributes& attributes, const std::string& name) {
  auto found = attributes.find(name);
  if (found == attributes.end() || !std::holds_alternative<T>(found->second)) {
    ADD_FAILURE() << "no " << name << " of the expected type";
    return T{};
  }
  return std::get<T>(found->second);
}

bool HasPeakNear(const NumberArray& peaks, double ppm, double within) {
  return std::any_of(peaks.begin(), peaks.end(), [&](double p) { return std::fabs(p - ppm) <= within; });
}

std::string Iso(const Attributes& attributes) { return FormatIsoDate(Get<Date>(attributes, "kMDItemContentCreationDate")); }

TEST(JcampTest, TheAspirinSpectrumHasItsMethylAt229NotAt277) {
  const Attributes a = Import(kData / "jcamp" / "aspirin-1h.dx");
  EXPECT_EQ(Get<std::string>(a, "kMDItemTitle"), "1H BBI");
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), StringArray{"1H"});
  EXPECT_NEAR(Get<NumberArray>(a, "Tormalin_ObserveFrequency").at(0), 300.13, 0.01);
  EXPECT_EQ(Get<double>(a, "Tormalin_nD"), 1);
  const NumberArray peaks = Get<NumberArray>(a, "Tormalin_Peaks");
  EXPECT_TRUE(HasPeakNear(peaks, 2.29, 0.01));
  EXPECT_FALSE(HasPeakNear(peaks, 2.77, 0.05));  // where Hz / SF without the reference would put it
  EXPECT_TRUE(HasPeakNear(peaks, 8.10, 0.05));   // the aromatic proton next to the acid
  EXPECT_LE(peaks.size(), 256u);
  EXPECT_EQ(Iso(a), "2006-01-31T09:24:52Z");  // ##LONG DATE= 2006/01/31 09:24:52+0000
}

TEST(JcampTest, AnFidHasNoPeaks) {
  const Attributes a = Import(kData / "jcamp" / "aspirin-1h.fid.dx");
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), StringArray{"1H"});
  EXPECT_FALSE(a.count("Tormalin_Peaks"));
}

TEST(JcampTest, AnAxisInHertzIsTurnedIntoPpm) {
  const Attributes a = Import(kData / "jcamp" / "Rutin_3080ug200uL_DMSOd6_qHNMR_400MHz_JDX.jdx");
  EXPECT_NEAR(Get<NumberArray>(a, "Tormalin_ObserveFrequency").at(0), 399.782, 0.001);
  const NumberArray peaks = Get<NumberArray>(a, "Tormalin_Peaks");
  ASSERT_FALSE(peaks.empty());
  // FIRSTX 7604.45 Hz, LASTX -408.37 Hz at 399.78 MHz: 19.02 to -1.02 ppm.
  EXPECT_GE(peaks.front(), -1.03);
  EXPECT_LE(peaks.back(), 19.03);
  EXPECT_TRUE(HasPeakNear(peaks, 12.6, 0.1));  // rutin's chelated 5-OH
  EXPECT_TRUE(HasPeakNear(peaks, 2.5, 0.06));  // the solvent, DMSO-d5
  EXPECT_TRUE(Get<std::string>(a, "kMDItemTitle").starts_with("Rutin_RUTI01_3080u200u"));  // the LINK block's title
}

TEST(JcampTest, TheCosyHasTwoDimensionsOfProtons) {
  const Attributes a = Import(kData / "jcamp" / "Rutin_COSY_first_two_rows.jdx");
  EXPECT_EQ(Get<double>(a, "Tormalin_nD"), 2);
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), (StringArray{"1H", "1H"}));
  EXPECT_EQ(Get<NumberArray>(a, "Tormalin_ObserveFrequency").size(), 2u);
  EXPECT_FALSE(a.count("Tormalin_Peaks"));
}

TEST(ExperimentFolderTest, TheAspirinFolderTakesItsPeakListAsItIs) {
  const Attributes a = Import(kData / "bruker" / "aspirin-1h" / "1");
  EXPECT_EQ(Get<std::string>(a, "kMDItemTitle"), "1H BBI");
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), StringArray{"1H"});
  EXPECT_NEAR(Get<NumberArray>(a, "Tormalin_ObserveFrequency").at(0), 300.132, 0.001);
  const NumberArray peaks = Get<NumberArray>(a, "Tormalin_Peaks");
  EXPECT_EQ(peaks.size(), 23u);
  EXPECT_TRUE(HasPeakNear(peaks, 2.2937, 1e-9));
  EXPECT_EQ(Iso(a), "2006-01-31T09:24:52Z");  // $DATE= 1138699492
  EXPECT_GT(Get<double>(a, "kMDItemFSSize"), 4096);
}

TEST(ExperimentFolderTest, TheCosyFolderTakesItsNucleiFromBothParameterFiles) {
  const Attributes a = Import(kData / "bruker" / "cyclosporin-cosy" / "1");
  EXPECT_EQ(Get<std::string>(a, "kMDItemTitle"), "COSY Cyclosporin");
  EXPECT_EQ(Get<double>(a, "Tormalin_nD"), 2);
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), (StringArray{"1H", "1H"}));
  EXPECT_EQ(Get<NumberArray>(a, "Tormalin_ObserveFrequency"), (NumberArray{500.13224958474, 500.13224958474}));
  EXPECT_FALSE(a.count("Tormalin_Peaks"));
}

TEST(ExperimentFolderTest, WithoutAPeakListPeaksArePickedOnTheProcessedSpectrum) {
  TempHome home;
  const fs::path copy = home.root() / "10";
  fs::copy(kData / "nmredata" / "AN-menthol" / "10", copy, fs::copy_options::recursive);
  fs::remove(copy / "pdata" / "1" / "peaklist.xml");
  const Attributes a = Import(copy);
  const NumberArray peaks = Get<NumberArray>(a, "Tormalin_Peaks");
  EXPECT_TRUE(HasPeakNear(peaks, 3.43, 0.02));  // menthol's H4, next to the OH
  EXPECT_TRUE(HasPeakNear(peaks, 7.26, 0.02));  // CHCl3 in the CDCl3
  EXPECT_LE(peaks.size(), 256u);
}

TEST(ExperimentFolderTest, APseudoDimensionIsNoFrequencyDimension) {
  TempHome home;
  const fs::path copy = home.root() / "1";
  fs::copy(kData / "bruker" / "cyclosporin-cosy" / "1", copy, fs::copy_options::recursive);
  // A relaxation series: the second dimension is a list of delays, not transformed.
  WriteFile(copy / "pdata" / "1" / "proc2s", "##$FT_mod= 0\n##$AXNUC= <off>\n");
  const Attributes a = Import(copy);
  EXPECT_EQ(Get<double>(a, "Tormalin_nD"), 1);
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), StringArray{"1H"});
}

TEST(NmredataTest, MentholsMoleculeAndAssignedSignals) {
  SetLocalTimeZone("UTC");
  const Attributes a = Import(kData / "nmredata" / "compound1.nmredata.sdf");
  EXPECT_EQ(Get<StringArray>(a, "Molvane_Formula"), StringArray{"C10H20O"});
  EXPECT_NEAR(Get<NumberArray>(a, "Molvane_Mass").at(0), 156.27, 0.01);
  EXPECT_EQ(Get<StringArray>(a, "Molvane_DisplayFormula"), StringArray{"C₁₀H₂₀O"});
  EXPECT_EQ(Get<StringArray>(a, "Molvane_SMILES"), StringArray{"CC(C)[C@@H]1CC[C@@H](C)C[C@H]1O"});
  EXPECT_EQ(Get<std::string>(a, "kMDItemTitle"), "compound1");
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), StringArray{"1H"});
  EXPECT_NEAR(Get<NumberArray>(a, "Tormalin_ObserveFrequency").at(0), 500.133, 0.001);
  const NumberArray peaks = Get<NumberArray>(a, "Tormalin_Peaks");
  EXPECT_EQ(peaks.size(), 14u);
  EXPECT_TRUE(HasPeakNear(peaks, 3.4302, 1e-9));
  EXPECT_TRUE(HasPeakNear(peaks, 0.8311, 1e-9));
  EXPECT_EQ(Get<NumberArray>(a, "Tormalin_Spins"), NumberArray{14});  // every proton coupled into one system
  EXPECT_EQ(Iso(a), "2017-10-19T09:50:00Z");  // from the linked experiment's acqus
}

TEST(NmredataTest, ASecondSpectrumOfTheSameKindNamesNoNewNucleus) {
  TempHome home;
  // The format tells a second spectrum of a kind by a suffix after the kind.
  std::string records = ReadFile(kData / "nmredata" / "compound1.nmredata.sdf");
  const std::string tag = ">  <NMREDATA_1D_1H>";
  records.replace(records.find(tag), tag.size(), ">  <NMREDATA_1D_1H#2>");
  records.insert(records.find(">  <NMREDATA_1D_1H#2>"), ">  <NMREDATA_1D_13C#2>\nLarmor=125.76\\\n71.5, L=C4\\\n\n");
  WriteFile(home.root() / "two.nmredata.sdf", records);
  const Attributes a = Import(home.root() / "two.nmredata.sdf");
  EXPECT_EQ(Get<StringArray>(a, "Tormalin_Nucleus"), (StringArray{"13C", "1H"}));
  EXPECT_TRUE(HasPeakNear(Get<NumberArray>(a, "Tormalin_Peaks"), 71.5, 1e-9));
}

TEST(JcampTest, AnSqzLineOfEsIsNoNumberWithAnExponent) {
  TempHome home;
  // The second line holds only SQZ E digits: 512, 534, 556.
  WriteFile(home.root() / "e.jdx",
            "##TITLE= E digits\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR SPECTRUM\n##.OBSERVE FREQUENCY= 400\n"
            "##.OBSERVE NUCLEUS= ^13C\n##XUNITS= PPM\n##FIRSTX= 10\n##LASTX= 5\n##NPOINTS= 6\n"
            "##XYDATA= (X++(Y..Y))\n10@A1B2\n7E12E34E56\n##END=\n");
  const ImportOutcome outcome = ImportDocument(home.root() / "e.jdx", kJcamp);
  ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
  const Imported& imported = std::get<Imported>(outcome);
  EXPECT_EQ(imported.notes, std::vector<std::string>{});
  EXPECT_EQ(Get<StringArray>(imported.attributes, "Tormalin_Nucleus"), StringArray{"13C"});
}

// A NaN among the values would leave std::sort without an order, and the
// finite peaks could come out of it unsorted; such values are left out first.
TEST(JcampTest, APeakTableWithNaNsGivesItsFinitePeaksInOrder) {
  TempHome home;
  WriteFile(home.root() / "gaps.jdx",
            "##TITLE= gaps\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR PEAK TABLE\n##.OBSERVE FREQUENCY= 400\n##XUNITS= PPM\n"
            "##PEAK TABLE= (XY..XY)\n7.26, 100\nnan, 20\n2.31, 80\ninf, 5\n5.5, 1\n-nan, 3\n1.2, 9\n##END=\n");
  const ImportOutcome outcome = ImportDocument(home.root() / "gaps.jdx", kJcamp);
  ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
  const Imported& imported = std::get<Imported>(outcome);
  EXPECT_EQ(Get<NumberArray>(imported.attributes, "Tormalin_Peaks"), (NumberArray{1.2, 2.31, 5.5, 7.26}));
  EXPECT_EQ(imported.notes, std::vector<std::string>{"Tormalin_Peaks: left out 3 values that are not finite numbers (inf or nan)"});

  WriteFile(home.root() / "none.jdx",
            "##TITLE= none\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR PEAK TABLE\n##XUNITS= PPM\n##PEAK TABLE= (XY..XY)\nnan, 1\n##END=\n");
  const ImportOutcome nothing = ImportDocument(home.root() / "none.jdx", kJcamp);
  ASSERT_TRUE(std::holds_alternative<Imported>(nothing));
  EXPECT_FALSE(std::get<Imported>(nothing).attributes.count("Tormalin_Peaks"));
  EXPECT_EQ(std::get<Imported>(nothing).notes,
            std::vector<std::string>{"Tormalin_Peaks: left out 1 value that is not a finite number (inf or nan), and with it the attribute"});
}

TEST(MoleculesTest, EveryRecordOfTheSdFile) {
  const Attributes a = Import(kData / "molecules" / "cdk2.sdf");
  const StringArray formulas = Get<StringArray>(a, "Molvane_Formula");
  ASSERT_EQ(formulas.size(), 47u);
  EXPECT_EQ(Get<NumberArray>(a, "Molvane_Mass").size(), 47u);
  EXPECT_EQ(formulas[0], "C10H13N5O2");
  EXPECT_NEAR(Get<NumberArray>(a, "Molvane_Mass")[0], 235.25, 0.01);
  EXPECT_EQ(Get<StringArray>(a, "Molvane_SMILES")[0], "CC(C)C(=O)COc1nc(N)nc2[nH]cnc12");
  EXPECT_EQ(Get<std::string>(a, "kMDItemTitle"), "ZINC03814457");
  // A cation keeps its charge after the formula.
  EXPECT_NE(std::find(formulas.begin(), formulas.end(), "C17H15FN3OS+"), formulas.end());
  const StringArray display = Get<StringArray>(a, "Molvane_DisplayFormula");
  EXPECT_NE(std::find(display.begin(), display.end(), "C₁₇H₁₅FN₃OS⁺"), display.end());
}

TEST(MoleculesTest, OpenBabelsFilesOfTheFirstRecordGiveTheSameMolecule) {
  for (const char* name : {"zinc03814457.cml", "zinc03814457.cdxml"}) {
    const Attributes a = Import(kData / "molecules" / name);
    EXPECT_EQ(Get<StringArray>(a, "Molvane_Formula"), StringArray{"C10H13N5O2"}) << name;
    EXPECT_EQ(Get<StringArray>(a, "Molvane_SMILES"), StringArray{"CC(C)C(=O)COc1nc(N)nc2[nH]cnc12"}) << name;
    EXPECT_NEAR(Get<NumberArray>(a, "Molvane_Mass").at(0), 235.25, 0.01) << name;
  }
  EXPECT_EQ(Get<StringArray>(Import(kData / "molecules" / "zinc03814457-2.xyz"), "Molvane_Formula"), StringArray{"C10H13N5O2"});
  EXPECT_EQ(Get<StringArray>(Import(kData / "molecules" / "third.mol2"), "Molvane_Formula"), StringArray{"C10H12N6O2"});
  const Attributes smiles = Import(kData / "molecules" / "first-five.smi");
  EXPECT_EQ(Get<StringArray>(smiles, "Molvane_Formula").size(), 5u);
  EXPECT_EQ(Get<std::string>(smiles, "kMDItemTitle"), "ZINC03814457");
  EXPECT_FALSE(Get<StringArray>(Import(kData / "bruker" / "cyclosporin-cosy" / "1" / "cyclosporina.pdb"), "Molvane_Formula").empty());
}

TEST(RegistryTest, FamiliesByNameAndContent) {
  TempHome home;
  EXPECT_EQ(Recognise(kData / "jcamp" / "aspirin-1h.dx"), kJcamp);
  EXPECT_EQ(Recognise(kData / "bruker" / "aspirin-1h" / "1"), kExperimentFolder);
  EXPECT_EQ(Recognise(kData / "bruker" / "aspirin-1h"), nullptr);
  EXPECT_EQ(Recognise(kData / "nmredata" / "compound1.nmredata.sdf"), kNmredata);
  EXPECT_EQ(Recognise(kData / "molecules" / "cdk2.sdf"), kMolecules);
  fs::copy_file(kData / "nmredata" / "compound1.nmredata.sdf", home.root() / "plain.sdf");
  EXPECT_EQ(Recognise(home.root() / "plain.sdf"), kNmredata);  // by its tags
  WriteFile(home.root() / "notes.jdx", "These are my notes, not a spectrum.\n");
  EXPECT_EQ(Recognise(home.root() / "notes.jdx"), nullptr);
  WriteFile(home.root() / "._aspirin.jdx", "##TITLE= resource fork\n");
  EXPECT_EQ(Recognise(home.root() / "._aspirin.jdx"), nullptr);
  WriteFile(home.root() / "readme.txt", "##TITLE= not by its name\n");
  EXPECT_EQ(Recognise(home.root() / "readme.txt"), nullptr);
  EXPECT_TRUE(IsSkippedFolder("/data/__MACOSX"));
  EXPECT_TRUE(IsSkippedFolder("/data/.git"));
  EXPECT_FALSE(IsSkippedFolder("/data/spectra"));
}

}  // namespace
