// Synthetic documents with the shapes of real collections: spectra with 10-60
// peaks where nuclei put them, molecules with Hill formulas, masses that fit
// them and SMILES, titles from chemists' vocabulary, 20 years of dates, and a
// deep folder tree of groups, people and projects.
#pragma once

#include <cstdint>
#include <random>

#include "platform/metadata/store.h"

class SyntheticDocuments {
 public:
  explicit SyntheticDocuments(std::uint64_t seed = 42) : random_(seed) {}
  metadata::DocumentRecord Next(std::int64_t number);

 private:
  metadata::DocumentRecord Spectrum(std::int64_t number, const std::string& folder);
  metadata::DocumentRecord Molecule(std::int64_t number, const std::string& folder);
  std::string Title();
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  double Real(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }

  std::mt19937_64 random_;
};
