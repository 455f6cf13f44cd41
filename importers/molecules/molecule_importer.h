// Molecule files through RDKit (mol, sdf, smi, cdxml, mol2, pdb) and Open
// Babel (cdx, cml, xyz): per record, the Hill formula, the display formula,
// the average mass and the canonical isomeric SMILES.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "importers/importer.h"

namespace importers::molecules {

struct MoleculeRecord {
  std::string title;
  std::string formula;
  std::string displayFormula;
  double mass = 0;
  std::string smiles;
};

constexpr size_t kMaxRecords = 1000;

// Silences the libraries' own logging; called before the first molecule.
void QuietLibraries();

// One molecule from an MDL molfile block.
std::optional<MoleculeRecord> MoleculeFromMolBlock(const std::string& molBlock, std::string& error);

// The records of a molecule file, by its extension.
ImportOutcome ImportMolecules(const std::filesystem::path& file);

// The molecule attributes of records: Molvane_Formula, Molvane_DisplayFormula,
// Molvane_Mass, Molvane_SMILES and the first record's title as kMDItemTitle.
void AddMoleculeAttributes(const std::vector<MoleculeRecord>& records, metadata::Attributes& attributes);

// The extensions of the files read, lower-case.
inline constexpr std::array<std::string_view, 11> kMoleculeExtensions = {
    ".mol", ".sdf", ".sd", ".smi", ".smiles", ".cml", ".cdx", ".cdxml", ".mol2", ".pdb", ".xyz"};
bool IsMoleculeExtension(const std::string& extension);

}  // namespace importers::molecules
