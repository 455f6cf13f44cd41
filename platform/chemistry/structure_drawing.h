// A molecule's structure drawn by RDKit: 2D coordinates from its depictor,
// the picture from MolDraw2DSVG.
#pragma once

#include <optional>
#include <string>

namespace chemistry {

struct StructureDrawing {
  std::string svg;
  unsigned atoms = 0;  // heavy atoms, as drawn
  unsigned bonds = 0;
};

// Past this many heavy atoms a drawing the size of the summary says nothing,
// and laying it out would take longer than a selection may.
constexpr unsigned kMostDrawnAtoms = 250;

// The drawing of the molecule a SMILES (or a molfile's text) describes, at
// `width` × `height` pixels (the picture scales: these set its proportions
// and the size of its labels); none when RDKit cannot read it or it is
// larger than kMostDrawnAtoms.
std::optional<StructureDrawing> DrawStructure(const std::string& molecule, int width, int height);

}  // namespace chemistry
