# The chemistry libraries as Debian 12 ships them. RDKit has no CMake or
# pkg-config files there: its headers live under /usr/include/rdkit and its
# libraries are found one by one. Sets RDKIT_INCLUDE_DIR and RDKIT_LIBRARIES,
# and the imported targets PkgConfig::OPENBABEL and PkgConfig::LIBXML2.
find_package(PkgConfig REQUIRED)
pkg_check_modules(OPENBABEL REQUIRED IMPORTED_TARGET openbabel-3)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
find_package(Boost REQUIRED)
find_path(RDKIT_INCLUDE_DIR GraphMol/ROMol.h PATH_SUFFIXES rdkit REQUIRED)
set(RDKIT_LIBRARIES)
foreach(component FileParsers SmilesParse Descriptors PartialCharges Fingerprints SubstructMatch Subgraphs GraphMol DataStructs
                  RDGeometryLib RDGeneral)
  find_library(RDKIT_${component} RDKit${component} REQUIRED)
  list(APPEND RDKIT_LIBRARIES ${RDKIT_${component}})
endforeach()
