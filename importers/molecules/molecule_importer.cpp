#include "importers/molecules/molecule_importer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>

#include <GraphMol/Descriptors/MolDescriptors.h>
#include <GraphMol/FileParsers/CDXMLParser.h>
#include <GraphMol/FileParsers/FileParsers.h>
#include <GraphMol/FileParsers/MolSupplier.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <GraphMol/SmilesParse/SmilesWrite.h>
#include <RDGeneral/RDLog.h>
#include <libxml/xmlerror.h>
#include <openbabel/atom.h>
#include <openbabel/elements.h>
#include <openbabel/mol.h>
#include <openbabel/obconversion.h>
#include <openbabel/oberror.h>
#include <openbabel/obiter.h>

#include "importers/molecules/formula.h"
#include "platform/metadata/attributes.h"

namespace fs = std::filesystem;

namespace importers::molecules {

namespace {

using Molecule = std::unique_ptr<RDKit::ROMol>;

std::string ReadFirstBytes(const fs::path& file, size_t count) {
  std::ifstream in(file, std::ios::binary);
  std::string head(count, '\0');
  in.read(head.data(), std::streamsize(count));
  head.resize(size_t(in.gcount()));
  return head;
}

// Read with hydrogens folded into their heavy atoms: the formula still counts
// them, and the SMILES is the usual one, without [H] atoms.
MoleculeRecord RecordOf(const RDKit::ROMol& molecule) {
  ElementCounts counts;
  int charge = 0;
  for (const RDKit::Atom* atom : molecule.atoms()) {
    if (atom->getAtomicNum() == 0) continue;  // a dummy atom is no element
    counts[atom->getSymbol()] += 1;
    counts["H"] += long(atom->getTotalNumHs());
    charge += atom->getFormalCharge();
  }
  MoleculeRecord record;
  record.formula = HillFormula(counts, charge);
  record.displayFormula = DisplayFormula(counts, charge);
  record.mass = RDKit::Descriptors::calcAMW(molecule);
  record.smiles = RDKit::MolToSmiles(molecule);
  if (molecule.hasProp("_Name")) record.title = molecule.getProp<std::string>("_Name");
  return record;
}

// Reads records one by one; a record the library rejects is skipped and told.
class Collector {
 public:
  void Add(RDKit::ROMol* molecule, const std::string& where) {
    if (!molecule) {
      notes.push_back(where + ": a record that could not be read was skipped");
      return;
    }
    Molecule owned(molecule);
    if (records.size() < kMaxRecords) records.push_back(RecordOf(*owned));
    ++seen;
  }
  bool Full() const { return seen >= kMaxRecords; }
  std::vector<MoleculeRecord> records;
  std::vector<std::string> notes;
  size_t seen = 0;
};

void ReadSdf(const fs::path& file, Collector& collector) {
  auto* stream = new std::ifstream(file, std::ios::binary);
  RDKit::ForwardSDMolSupplier supplier(stream, /*takeOwnership=*/true, /*sanitize=*/true, /*removeHs=*/true);
  size_t record = 0;
  while (!supplier.atEnd()) {
    ++record;
    RDKit::ROMol* molecule = nullptr;
    try {
      molecule = supplier.next();
    } catch (const std::exception&) {
      molecule = nullptr;
    }
    if (!molecule && supplier.atEnd() && record > 1) break;  // trailing blank lines
    collector.Add(molecule, "record " + std::to_string(record));
    if (collector.Full()) {
      collector.notes.push_back("only the first " + std::to_string(kMaxRecords) + " records are indexed");
      break;
    }
  }
}

void ReadSmiles(const fs::path& file, Collector& collector) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  size_t number = 0;
  while (std::getline(in, line) && !collector.Full()) {
    ++number;
    std::istringstream fields(line);
    std::string smiles, name;
    fields >> smiles;
    std::getline(fields >> std::ws, name);
    if (smiles.empty() || smiles[0] == '#') continue;
    if (number == 1 && (smiles == "SMILES" || smiles == "smiles")) continue;  // a header
    RDKit::RWMol* molecule = nullptr;
    try {
      molecule = RDKit::SmilesToMol(smiles);
    } catch (const std::exception&) {
      molecule = nullptr;
    }
    if (molecule && !name.empty()) molecule->setProp("_Name", name);
    collector.Add(molecule, "line " + std::to_string(number));
  }
}

template <typename Read>
void ReadOne(Collector& collector, Read read) {
  RDKit::RWMol* molecule = nullptr;
  try {
    molecule = read();
  } catch (const std::exception&) {
    molecule = nullptr;
  }
  collector.Add(molecule, "the molecule");
}

void ReadCdxml(const fs::path& file, Collector& collector) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::unique_ptr<RDKit::RWMol>> molecules;
  try {
    molecules = RDKit::CDXMLDataStreamToMols(in, true, true);
  } catch (const std::exception&) {
  }
  if (molecules.empty()) collector.notes.push_back("no molecule could be read");
  for (auto& molecule : molecules) {
    if (collector.Full()) break;
    collector.Add(molecule.release(), "a fragment");
  }
}

// Open Babel reads the formats RDKit cannot; its canonical SMILES is made
// RDKit's, so that every format gives the same SMILES for the same molecule.
void ReadWithOpenBabel(const fs::path& file, const std::string& format, Collector& collector) {
  OpenBabel::OBConversion conversion;
  if (!conversion.SetInFormat(format.c_str()) || !conversion.SetOutFormat("can")) {
    collector.notes.push_back("Open Babel cannot read ." + format + " files here");
    return;
  }
  OpenBabel::OBMol molecule;
  bool more = conversion.ReadFile(&molecule, file.string());
  size_t record = 0;
  while (more && !collector.Full()) {
    ++record;
    ElementCounts counts;
    int charge = 0;
    FOR_ATOMS_OF_MOL(atom, molecule) {
      if (atom->GetAtomicNum() == 0) continue;
      counts[OpenBabel::OBElements::GetSymbol(atom->GetAtomicNum())] += 1;
      counts["H"] += atom->GetImplicitHCount();
      charge += atom->GetFormalCharge();
    }
    MoleculeRecord entry;
    entry.formula = HillFormula(counts, charge);
    entry.displayFormula = DisplayFormula(counts, charge);
    entry.mass = molecule.GetMolWt();
    entry.title = molecule.GetTitle();
    std::string smiles = conversion.WriteString(&molecule, true);
    smiles = smiles.substr(0, smiles.find_first_of("\t \n"));
    try {
      if (std::unique_ptr<RDKit::RWMol> rd{RDKit::SmilesToMol(smiles)}) smiles = RDKit::MolToSmiles(*rd);
    } catch (const std::exception&) {
    }
    entry.smiles = smiles;
    if (counts.empty()) {
      collector.notes.push_back("record " + std::to_string(record) + ": no atoms; skipped");
    } else {
      collector.records.push_back(entry);
      ++collector.seen;
    }
    molecule.Clear();
    more = conversion.Read(&molecule);
  }
}

// Open Babel's binary CDX reader can end the process on a damaged file (it
// calls std::terminate). It reads in a child process, which hands back the
// records through a pipe; a crash there costs this file only.
void ReadCdxIsolated(const fs::path& file, Collector& collector) {
  if (ReadFirstBytes(file, 8) != "VjCD0100") {
    collector.notes.push_back("not a ChemDraw CDX file (its signature is missing)");
    return;
  }
  int channel[2];
  if (pipe(channel) != 0) return;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    Collector inChild;
    ReadWithOpenBabel(file, "cdx", inChild);
    std::string out;
    for (const MoleculeRecord& r : inChild.records)
      out += r.formula + '\t' + r.displayFormula + '\t' + std::to_string(r.mass) + '\t' + r.smiles + '\t' + r.title + '\n';
    for (size_t at = 0; at < out.size();) {
      const ssize_t n = write(channel[1], out.data() + at, out.size() - at);
      if (n <= 0) break;
      at += size_t(n);
    }
    _exit(0);
  }
  close(channel[1]);
  if (child < 0) {
    close(channel[0]);
    return;
  }
  std::string received;
  char buffer[65536];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) received.append(buffer, size_t(n));
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    collector.notes.push_back("the CDX reader failed on this file");
    return;
  }
  std::istringstream lines(received);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    MoleculeRecord r;
    std::string mass;
    std::getline(fields, r.formula, '\t');
    std::getline(fields, r.displayFormula, '\t');
    std::getline(fields, mass, '\t');
    std::getline(fields, r.smiles, '\t');
    std::getline(fields, r.title);
    r.mass = std::atof(mass.c_str());
    collector.records.push_back(r);
    ++collector.seen;
  }
}

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void IgnoreXmlMessage(void*, const char*, ...) {}

void QuietLibraries() {
  static const bool quiet = [] {
    boost::logging::disable_logs("rdApp.*");
    OpenBabel::obErrorLog.StopLogging();
    xmlSetGenericErrorFunc(nullptr, IgnoreXmlMessage);  // Open Babel's CML reader would print parser errors
    // Parsing one molecule first sets up RDKit's tables before any real work.
    std::unique_ptr<RDKit::RWMol> warmUp(RDKit::SmilesToMol("C"));
    return true;
  }();
  (void)quiet;
}

bool IsMoleculeExtension(const std::string& extension) {
  const std::string e = Lower(extension);
  return std::find(kMoleculeExtensions.begin(), kMoleculeExtensions.end(), e) != kMoleculeExtensions.end();
}

std::optional<MoleculeRecord> MoleculeFromMolBlock(const std::string& molBlock, std::string& error) {
  QuietLibraries();
  try {
    std::unique_ptr<RDKit::RWMol> molecule(RDKit::MolBlockToMol(molBlock, true, true));
    if (molecule) return RecordOf(*molecule);
    error = "the molfile holds no molecule";
  } catch (const std::exception& failure) {
    error = std::string("the molfile cannot be read: ") + failure.what();
  }
  return std::nullopt;
}

void AddMoleculeAttributes(const std::vector<MoleculeRecord>& records, metadata::Attributes& attributes) {
  if (records.empty()) return;
  metadata::StringArray formulas, display, smiles;
  metadata::NumberArray masses;
  for (const MoleculeRecord& record : records) {
    formulas.push_back(record.formula);
    display.push_back(record.displayFormula);
    masses.push_back(record.mass);
    smiles.push_back(record.smiles);
  }
  attributes[metadata::attributes::kFormula] = formulas;
  attributes[metadata::attributes::kDisplayFormula] = display;
  attributes[metadata::attributes::kMass] = masses;
  attributes[metadata::attributes::kSmiles] = smiles;
  std::string title = records.front().title;
  while (!title.empty() && std::isspace(static_cast<unsigned char>(title.back()))) title.pop_back();
  if (!title.empty() && !attributes.count(metadata::attributes::kTitle)) attributes[metadata::attributes::kTitle] = title;
}

ImportOutcome ImportMolecules(const fs::path& file) {
  QuietLibraries();
  const std::string extension = Lower(file.extension().string());
  Collector collector;
  try {
    if (extension == ".sdf" || extension == ".sd") ReadSdf(file, collector);
    else if (extension == ".smi" || extension == ".smiles") ReadSmiles(file, collector);
    else if (extension == ".mol") ReadOne(collector, [&] { return RDKit::MolFileToMol(file.string(), true, true); });
    else if (extension == ".mol2") ReadOne(collector, [&] { return RDKit::Mol2FileToMol(file.string(), true, true); });
    else if (extension == ".pdb") ReadOne(collector, [&] { return RDKit::PDBFileToMol(file.string(), true, true); });
    else if (extension == ".cdxml") ReadCdxml(file, collector);
    else if (extension == ".cdx") ReadCdxIsolated(file, collector);
    else ReadWithOpenBabel(file, extension.substr(1), collector);
    // RDKit's readers are strict; Open Babel reads some files they refuse
    // (mol2 atom types, PDB oddities) and gets its chance.
    const bool rdkitRead = extension != ".cdx" && extension != ".cml" && extension != ".xyz";
    if (collector.records.empty() && rdkitRead && extension != ".cdxml") {
      Collector second;
      ReadWithOpenBabel(file, extension == ".sd" ? "sdf" : extension == ".smiles" ? "smi" : extension.substr(1), second);
      if (!second.records.empty()) collector = std::move(second);
    }
  } catch (const std::exception& failure) {
    return ImportError{std::string("the molecule file cannot be read: ") + failure.what()};
  }
  if (collector.records.empty()) {
    std::string reason = collector.notes.empty() ? "no molecule could be read" : collector.notes.front();
    return ImportError{reason};
  }
  Imported imported;
  AddMoleculeAttributes(collector.records, imported.attributes);
  imported.notes = std::move(collector.notes);
  return imported;
}

}  // namespace importers::molecules
