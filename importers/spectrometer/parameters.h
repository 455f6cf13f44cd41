// Parameter files of spectrometer experiment folders (acqus, procs, ...):
// JCAMP-like records "##$KEY= value", strings between < and >, arrays as
// "(0..n)" followed by lines of values.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace importers::spectrometer {

class Parameters {
 public:
  // Never fails: what is not a parameter is ignored. Arrays are kept up to a
  // bounded number of values.
  static Parameters Parse(std::string_view text);

  std::optional<std::string> Text(const std::string& key) const;  // strings without their < >
  std::optional<double> Number(const std::string& key) const;
  std::vector<double> Numbers(const std::string& key) const;  // an array's values
  bool Has(const std::string& key) const { return values_.count(key) > 0; }

 private:
  std::map<std::string, std::string> values_;  // key (without ##$) to the raw value text
};

}  // namespace importers::spectrometer
