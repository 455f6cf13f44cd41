#include "platform/chemistry/structure_drawing.h"

#include <memory>

#include <GraphMol/Depictor/RDDepictor.h>
#include <GraphMol/FileParsers/FileParsers.h>
#include <GraphMol/MolDraw2D/MolDraw2DSVG.h>
#include <GraphMol/MolDraw2D/MolDraw2DUtils.h>
#include <GraphMol/SmilesParse/SmilesParse.h>

namespace chemistry {

namespace {

std::unique_ptr<RDKit::RWMol> ReadMolecule(const std::string& molecule) {
  try {
    if (molecule.find('\n') != std::string::npos) return std::unique_ptr<RDKit::RWMol>(RDKit::MolBlockToMol(molecule));
    return std::unique_ptr<RDKit::RWMol>(RDKit::SmilesToMol(molecule));
  } catch (const std::exception&) {
    return nullptr;  // RDKit reports what it cannot read by throwing
  }
}

}  // namespace

std::optional<StructureDrawing> DrawStructure(const std::string& molecule, int width, int height) {
  std::unique_ptr<RDKit::RWMol> mol = ReadMolecule(molecule);
  if (!mol || mol->getNumAtoms() == 0 || mol->getNumAtoms() > kMostDrawnAtoms) return std::nullopt;
  try {
    RDDepict::compute2DCoords(*mol);
    RDKit::MolDraw2DSVG drawer(width, height);
    drawer.drawOptions().clearBackground = false;  // the pane's own background shows through
    drawer.drawOptions().addStereoAnnotation = false;
    RDKit::MolDraw2DUtils::prepareAndDrawMolecule(drawer, *mol);
    drawer.finishDrawing();
    return StructureDrawing{drawer.getDrawingText(), mol->getNumAtoms(), mol->getNumBonds()};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace chemistry
