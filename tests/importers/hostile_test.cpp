// Damaged, empty, absurd and hostile inputs for every family: each gives an
// error or a partial result, never a crash, a hang or an unbounded allocation
// (the sanitizer build runs these too).
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <tuple>

#include "importers/registry.h"
#include "tests/importers/families.h"
#include "platform/metadata/store.h"
#include "tests/support/temp_home.h"

using namespace importers;
using namespace metadata;
namespace fs = std::filesystem;

namespace {

const fs::path kData = ORVANE_TESTDATA_DIR;

// Imports the path as the family its name asks for, whatever its content.
void ImportAnything(const fs::path& path, Family family) {
  ImportOutcome outcome = ImportDocument(path, family);
  if (auto* imported = std::get_if<Imported>(&outcome)) {
    EXPECT_TRUE(imported->attributes.count(kDisplayNameAttribute)) << path;
  } else {
    EXPECT_FALSE(std::get<ImportError>(outcome).message.empty()) << path;
  }
}

struct Sample {
  fs::path file;
  Family family;
};

const std::vector<Sample> kSamples = {
    {"jcamp/aspirin-1h.dx", kJcamp},
    {"jcamp/aspirin-1h.fid.dx", kJcamp},
    {"jcamp/Rutin_3080ug200uL_DMSOd6_qHNMR_400MHz_JDX.jdx", kJcamp},
    {"jcamp/Rutin_COSY_first_two_rows.jdx", kJcamp},
    {"nmredata/compound1.nmredata.sdf", kNmredata},
    {"molecules/cdk2.sdf", kMolecules},
    {"molecules/zinc03814457.cml", kMolecules},
    {"molecules/zinc03814457.cdxml", kMolecules},
    {"molecules/zinc03814457-2.xyz", kMolecules},
    {"molecules/third.mol2", kMolecules},
    {"molecules/first-five.smi", kMolecules},
};

class HostileTest : public ::testing::Test {
 protected:
  fs::path Write(const std::string& name, const std::string& contents) {
    const fs::path file = home_.root() / name;
    WriteFile(file, contents);
    return file;
  }
  TempHome home_;
};

TEST_F(HostileTest, TruncatedAndCorruptedCopiesOfEveryRealFile) {
  std::mt19937 random(1234);
  for (const Sample& sample : kSamples) {
    const std::string original = ReadFile(kData / sample.file);
    const std::string name = sample.file.filename().string();
    for (double fraction : {0.0, 0.01, 0.13, 0.5, 0.9, 0.999}) {
      SCOPED_TRACE(name + " cut at " + std::to_string(fraction));
      ImportAnything(Write("cut-" + name, original.substr(0, size_t(double(original.size()) * fraction))), sample.family);
    }
    for (int round = 0; round < 4; ++round) {
      std::string damaged = original;
      for (int flip = 0; flip < 40; ++flip) damaged[random() % damaged.size()] = char(random() % 256);
      SCOPED_TRACE(name + " corrupted, round " + std::to_string(round));
      ImportAnything(Write("bad-" + name, damaged), sample.family);
    }
  }
}

TEST_F(HostileTest, EmptyFilesAndGarbageWithTheRightExtension) {
  std::mt19937 random(99);
  std::string garbage(8192, '\0');
  for (char& c : garbage) c = char(random() % 256);
  for (const char* extension : {".jdx", ".dx", ".sdf", ".nmredata.sdf", ".mol", ".smi", ".cml", ".cdx", ".cdxml", ".mol2", ".pdb", ".xyz"}) {
    const Family family = std::string(extension).find("dx") != std::string::npos && std::string(extension) != ".cdx" && std::string(extension) != ".cdxml"
                              ? kJcamp
                          : std::string(extension) == ".nmredata.sdf" ? kNmredata
                                                                      : kMolecules;
    ImportAnything(Write(std::string("empty") + extension, ""), family);
    ImportAnything(Write(std::string("garbage") + extension, garbage), family);
    ImportAnything(Write(std::string("titled") + extension, "##TITLE= x\n" + garbage), family);
  }
  // A ChemDraw signature with garbage behind it reaches Open Babel's reader.
  const fs::path cdx = Write("signed.cdx", "VjCD0100" + garbage);
  ImportOutcome outcome = ImportDocument(cdx, kMolecules);
  EXPECT_TRUE(std::holds_alternative<ImportError>(outcome));
}

bool HasNote(const Imported& imported, const std::string& part) {
  for (const std::string& note : imported.notes)
    if (note.find(part) != std::string::npos) return true;
  return false;
}

// The import of a document that must succeed, with what the importer noted.
Imported ImportWell(const fs::path& path, Family family) {
  ImportOutcome outcome = ImportDocument(path, family);
  if (auto* error = std::get_if<ImportError>(&outcome)) {
    ADD_FAILURE() << path << ": " << error->message;
    return {};
  }
  return std::get<Imported>(std::move(outcome));
}

TEST_F(HostileTest, AbsurdCountsStopAtTheLimits) {
  const std::string header = "##TITLE= absurd\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR SPECTRUM\n##.OBSERVE FREQUENCY= 400\n"
                             "##XUNITS= HZ\n##FIRSTX= 4000\n##LASTX= 0\n";
  const fs::path points = Write("points.jdx", header + "##NPOINTS= 1000000000000\n##XYDATA= (X++(Y..Y))\n4000 1 2 3\n##END=\n");
  const Imported counted = ImportWell(points, kJcamp);
  EXPECT_EQ(std::get<std::string>(counted.attributes.at("kMDItemTitle")), "absurd");
  EXPECT_FALSE(counted.attributes.count("Tormalin_Peaks"));
  EXPECT_TRUE(HasNote(counted, "line 9: the spectrum declares 1e+12 points, which is no count of points Orvane reads"))
      << ::testing::PrintToString(counted.notes);
  const fs::path repeats = Write("repeats.jdx", header + "##NPOINTS= 10\n##XYDATA= (X++(Y..Y))\n4000 A Js999999999\n##END=\n");
  ImportOutcome outcome = ImportDocument(repeats, kJcamp);
  ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
  EXPECT_FALSE(std::get<Imported>(outcome).attributes.count("Tormalin_Peaks"));
  EXPECT_FALSE(std::get<Imported>(outcome).notes.empty());
  const fs::path huge = Write("huge.jdx", header + "##NPOINTS= 1e308\n##XYDATA= (X++(Y..Y))\n4000 " + std::string(100000, '9') + "\n##END=\n");
  const Imported hugeCount = ImportWell(huge, kJcamp);
  EXPECT_FALSE(hugeCount.attributes.count("Tormalin_Peaks"));
  EXPECT_TRUE(HasNote(hugeCount, "declares 1e+308 points")) << ::testing::PrintToString(hugeCount.notes);
  const fs::path negative = Write("negative.jdx", header + "##NPOINTS= -5\n##XYDATA= (X++(Y..Y))\n4000 1 2 3\n##END=\n");
  EXPECT_TRUE(HasNote(ImportWell(negative, kJcamp), "declares -5 points"));
}

TEST_F(HostileTest, AFileOfRecordLinesKeepsOnlyTheFirstRecords) {
  std::string records = "##TITLE= records\n##JCAMP-DX= 5.01\n";
  for (int i = 0; i < 140000; ++i) records += "##$A=\n";
  const Imported imported = ImportWell(Write("records.jdx", records), kJcamp);
  EXPECT_TRUE(HasNote(imported, "only the first 131072 records are read; 8930 more are not")) << ::testing::PrintToString(imported.notes);
}

TEST_F(HostileTest, ATwoMegabyteTitleIsKeptShort) {
  const fs::path file = Write("long-title.jdx", "##TITLE= " + std::string(2 << 20, 't') + "\n##JCAMP-DX= 5.01\n##END=\n");
  ImportOutcome outcome = ImportDocument(file, kJcamp);
  ASSERT_TRUE(std::holds_alternative<Imported>(outcome));
  const auto& title = std::get<std::string>(std::get<Imported>(outcome).attributes.at("kMDItemTitle"));
  EXPECT_LE(title.size(), 65536u);
  EXPECT_FALSE(std::get<Imported>(outcome).notes.empty());
}

TEST_F(HostileTest, DamagedExperimentFolders) {
  const fs::path folder = home_.root() / "1";
  fs::copy(kData / "bruker" / "aspirin-1h" / "1", folder, fs::copy_options::recursive);
  fs::remove(folder / "pdata" / "1" / "peaklist.xml");
  WriteFile(folder / "pdata" / "1" / "1r", std::string(7, '\x7f'));  // less than two points
  WriteFile(folder / "pdata" / "1" / "procs", "##$SI= 99999999999\n##$DTYPP= 7\n##$NC_proc= 100000\n##$SW_p= 0\n");
  WriteFile(folder / "acqus", "##$PARMODE= 99\n##$NUC1= <\n##$SFO1= nan\n##$DATE= -5\n##$TD= (0..99999999999)\n");
  ImportAnything(folder, kExperimentFolder);
  WriteFile(folder / "acqus", std::string(1 << 16, '#'));
  ImportAnything(folder, kExperimentFolder);
  fs::remove(folder / "acqus");
  ImportAnything(folder, kExperimentFolder);
}

TEST_F(HostileTest, DamagedNmredataTags) {
  std::string records = ReadFile(kData / "nmredata" / "compound1.nmredata.sdf");
  std::string couplings = ">  <NMREDATA_J>\n";
  for (int i = 0; i < 20000; ++i) couplings += "H" + std::to_string(i) + ", H" + std::to_string(i + 1) + ", 7\\\n";
  records.insert(records.find(">  <NMREDATA_VERSION>"), couplings + "\n>  <NMREDATA_1D_>\n1-2-3, 4-, -, nan\\\nSpectrum_Location=file:../../../../etc\\\n\n");
  const Imported imported = ImportWell(Write("hostile.nmredata.sdf", records), kNmredata);
  EXPECT_EQ(std::get<StringArray>(imported.attributes.at("Tormalin_Nucleus")), StringArray{"1H"});  // none from the empty tag
  EXPECT_EQ(std::get<NumberArray>(imported.attributes.at("Tormalin_Spins")).at(0), 20001);
  EXPECT_TRUE(HasNote(imported, "Spectrum_Location=file:../../../../etc lies outside the record's folder; it is not followed"))
      << ::testing::PrintToString(imported.notes);
}

// A record whose Spectrum_Location names an experiment folder.
std::string LinkedRecord(const std::string& location) {
  std::string records = ReadFile(kData / "nmredata" / "compound1.nmredata.sdf");
  const std::string original = "file:AN-menthol/10/pdata/1/";
  return records.replace(records.find(original), original.size(), location);
}

TEST_F(HostileTest, ASpectrumLocationIsFollowedOnlyInsideTheRecordsFolder) {
  // An experiment outside the record's folder, with a date of its own: 2001-09-09.
  const fs::path outside = home_.root() / "outside" / "10";
  WriteFile(outside / "acqus", "##$NUC1= <1H>\n##$DATE= 1000000000\n");
  fs::create_directories(outside / "pdata" / "1");
  const fs::path records = home_.root() / "records";
  fs::create_directories(records);
  fs::create_directory_symlink(home_.root() / "outside", records / "link");
  fs::copy(home_.root() / "outside", records / "inside", fs::copy_options::recursive);
  const Date outsideDate = DateFromUnixSeconds(1000000000);
  auto dateOf = [](const Imported& imported) { return std::get<Date>(imported.attributes.at("kMDItemContentCreationDate")); };

  const fs::path inside = records / "inside.nmredata.sdf";
  WriteFile(inside, LinkedRecord("file:inside/10/pdata/1/"));
  EXPECT_EQ(dateOf(ImportWell(inside, kNmredata)), outsideDate);  // the same experiment, inside, is read

  const std::vector<std::string> locations = {"file:../outside/10/pdata/1/", "file:" + outside.string() + "/pdata/1/",
                                              "file://" + outside.string(), "file:link/10/pdata/1/", "../outside/10"};
  for (const std::string& location : locations) {
    SCOPED_TRACE(location);
    const fs::path file = records / "linked.nmredata.sdf";
    WriteFile(file, LinkedRecord(location));
    const Imported imported = ImportWell(file, kNmredata);
    EXPECT_NE(dateOf(imported), outsideDate);
    EXPECT_TRUE(HasNote(imported, "lies outside the record's folder; it is not followed")) << ::testing::PrintToString(imported.notes);
    EXPECT_EQ(std::get<StringArray>(imported.attributes.at("Tormalin_Nucleus")), StringArray{"1H"});
  }
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
size_t StatusKib(const std::string& field) {
  const std::string status = ReadFile("/proc/self/status");
  const size_t at = status.find("\n" + field + ":");
  return at == std::string::npos ? 0 : std::strtoul(status.c_str() + at + field.size() + 2, nullptr, 10);
}

// How far the process's resident memory rose above where it stood while
// `work` ran, in KiB. The peak is reset first (to the memory resident now), so
// that an earlier test's peak cannot hide this one; none where the system
// cannot reset it.
std::optional<size_t> PeakGrowthKib(const std::function<void()>& work) {
  {
    std::ofstream reset("/proc/self/clear_refs");
    if (!(reset << "5" << std::flush)) return std::nullopt;
  }
  const size_t before = StatusKib("VmRSS");
  if (StatusKib("VmHWM") > before + 1024) return std::nullopt;  // the reset did not happen
  work();
  const size_t peak = StatusKib("VmHWM");
  return peak > before ? peak - before : 0;
}

TEST_F(HostileTest, BlankLinesCostNoMemoryOfTheirOwn) {
  const std::string blanks(8u << 20, '\n');
  const fs::path jcamp = Write("blank.jdx", "##TITLE= blank lines\n##JCAMP-DX= 5.01\n##DATA TYPE= NMR SPECTRUM\n" + blanks +
                                                "##XUNITS= PPM\n##FIRSTX= 3\n##LASTX= 0\n##XYDATA= (X++(Y..Y))\n" + blanks +
                                                "3 1 2 1 0\n##END=\n" + blanks);
  std::string records = ReadFile(kData / "nmredata" / "compound1.nmredata.sdf");
  records.insert(records.find(">  <NMREDATA_VERSION>"), blanks);
  const fs::path nmredata = Write("blank.nmredata.sdf", records);
  const fs::path folder = home_.root() / "1";
  fs::copy(kData / "bruker" / "aspirin-1h" / "1", folder, fs::copy_options::recursive);
  WriteFile(folder / "acqus", ReadFile(folder / "acqus") + blanks);

  for (const auto& [path, family, bytes] : {std::tuple{jcamp, kJcamp, fs::file_size(jcamp)},
                                            std::tuple{nmredata, kNmredata, fs::file_size(nmredata)},
                                            std::tuple{folder, kExperimentFolder, fs::file_size(folder / "acqus")}}) {
    SCOPED_TRACE(path.filename().string());
    std::optional<Imported> imported;
    const std::optional<size_t> growth = PeakGrowthKib([&] { imported = ImportWell(path, family); });
    if (!growth) GTEST_SKIP() << "this system cannot reset the peak of the process's memory (/proc/self/clear_refs)";
    EXPECT_TRUE(imported->attributes.count("kMDItemTitle"));
    // The file's text, and as much again for what is made of it (as README says).
    EXPECT_LE(*growth * 1024, 4 * bytes) << "the importer's memory rose " << *growth / 1024 << " MiB for a file of "
                                         << bytes / (1 << 20) << " MiB";
  }
}

class HostilePeakListTest : public HostileTest {
 protected:
  void SetUp() override {
    fs::copy(kData / "bruker" / "aspirin-1h" / "1", folder_, fs::copy_options::recursive);
  }
  Imported WithPeakList(const std::string& xml) {
    WriteFile(folder_ / "pdata" / "1" / "peaklist.xml", xml);
    return ImportWell(folder_, kExperimentFolder);
  }
  const fs::path folder_ = home_.root() / "1";
};

TEST_F(HostilePeakListTest, AMegabyteTagIsRefusedWithoutACrash) {
  // A tag name past libxml2's limit on names: the file is not well-formed.
  const Imported longName = WithPeakList("<?xml version=\"1.0\"?>\n<PeakList><" + std::string(1 << 20, 'P') + " F1=\"1.0\"/></PeakList>\n");
  EXPECT_FALSE(longName.attributes.count("Tormalin_Peaks"));  // this folder has no spectrum to pick peaks on
  EXPECT_TRUE(HasNote(longName, "peaklist.xml is not well-formed XML")) << ::testing::PrintToString(longName.notes);
  EXPECT_EQ(std::get<StringArray>(longName.attributes.at("Tormalin_Nucleus")), StringArray{"1H"});

  // A megabyte of blanks and a megabyte of attribute inside one peak's tag is still XML.
  const Imported longTag = WithPeakList("<PeakList><Peak1D" + std::string(1 << 20, ' ') + "note=\"" + std::string(1 << 20, 'x') +
                                        "\" F1=\"2.5\"" + std::string(1 << 20, ' ') + "/></PeakList>");
  EXPECT_EQ(std::get<NumberArray>(longTag.attributes.at("Tormalin_Peaks")), NumberArray{2.5});
}

TEST_F(HostilePeakListTest, EntitiesAreNotExpandedAndNothingIsFetched) {
  // Were the external entity read, its peak would join the list.
  WriteFile(home_.root() / "outside.xml", "<Peak1D F1=\"7.77\"/>");
  const Imported external = WithPeakList("<?xml version=\"1.0\"?>\n<!DOCTYPE PeakList [<!ENTITY e SYSTEM \"" +
                                         (home_.root() / "outside.xml").string() + "\">]>\n"
                                         "<PeakList>&e;<Peak1D F1=\"3.5\"/></PeakList>");
  EXPECT_EQ(std::get<NumberArray>(external.attributes.at("Tormalin_Peaks")), NumberArray{3.5});

  // Entities that would grow to a gigabyte if expanded.
  std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE PeakList [<!ENTITY l0 \"9 \">";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  const Imported expanded = WithPeakList(laughs + "]>\n<PeakList><Peak1D F1=\"&l9;\"/></PeakList>");
  EXPECT_FALSE(expanded.attributes.count("Tormalin_Peaks"));
}

TEST_F(HostilePeakListTest, TheRealListIsReadThroughTheXmlParser) {
  const Imported real = ImportWell(folder_, kExperimentFolder);
  const NumberArray peaks = std::get<NumberArray>(real.attributes.at("Tormalin_Peaks"));
  ASSERT_EQ(peaks.size(), 23u);
  EXPECT_EQ(peaks.front(), 2.2937);
  EXPECT_EQ(peaks.back(), 8.2452);
  EXPECT_TRUE(real.notes.empty()) << ::testing::PrintToString(real.notes);
}

}  // namespace
