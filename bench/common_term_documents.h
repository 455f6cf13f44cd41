// Synthetic documents where the terms chemists search most are common: a
// solvent named in about a tenth of titles and notes, a benzene ring in about
// a seventh of SMILES, 13C spectra a tenth of all documents, the word "crude"
// in a tenth of titles. Searches for them match 5-15% of an archive, so an
// engine that re-reads each candidate document shows it here. Case and word
// neighbours (C1CCCCC1 beside c1ccccc1, "Crude" and "crudeness" beside
// "crude") keep the index's narrowing honest.
#pragma once

#include <cstdint>
#include <random>

#include "platform/metadata/store.h"

class CommonTermDocuments {
 public:
  explicit CommonTermDocuments(std::uint64_t seed = 7) : random_(seed) {}
  metadata::DocumentRecord Next(std::int64_t number);

 private:
  metadata::DocumentRecord Spectrum(std::int64_t number, const std::string& folder);
  metadata::DocumentRecord Molecule(std::int64_t number, const std::string& folder);
  std::string Title();
  std::string Solvent();
  std::string Smiles();
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  double Real(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }

  std::mt19937_64 random_;
};
