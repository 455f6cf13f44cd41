// Random documents and random query expressions for the differential test of
// the index: values at the edges the index must handle (composed and
// decomposed text, case pairs, long and empty values, numbers as text, dates
// near now), and expressions from the whole query language.
#pragma once

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "platform/metadata/json_documents.h"
#include "platform/metadata/text_match.h"

namespace differential {

using namespace metadata;

// ---- what documents hold ----------------------------------------------------

const std::vector<std::string> kTexts = {
    "Caf\xC3\xA9ine", "Cafe\xCC\x81ine", "CAF\xC3\x89INE", "cafeine",                     // NFC, NFD, upper, plain
    "stra\xC3\x9F" "e", "STRASSE", "Strasse",                                            // ß and SS
    "\xC4\xB0stanbul", "i\xCC\x87stanbul", "istanbul", "ISTANBUL",                       // İ and i̇
    "\xC3\x85NGSTR\xC3\x96M", "\xC3\xA5ngstr\xC3\xB6m", "\xCE\xA9mega", "\xCF\x89mega",  // Å, ö, Ω, ω
    "6", "5.5", "1e3", "-2", "07", "", " ", "benzene", "Benzene in CDCl3", "benzene-d6", "MyWindowClass",
    "paris-france.jpg", "Comparison", "I love Paris", "C9H8O4", "c1ccccc1O", "CC(=O)Oc1ccccc1C(=O)O",
    "a*b?c", "say \"hi\"", "back\\slash", "tab\there", "line one\nline two", "end\x03mark", "odd\xEF\xBF\xBDmark", "1H", "13C", "19F", "1H, 13C", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
    std::string(1500, 'x') + "tail", "Caf" + std::string(1100, 'e') + "\xC3\xA9", std::string(1024, 'y'),
    // Folded beyond ASCII to ASCII, or beside it: the Kelvin sign to k, the ligature fi, a Greek
    // Extended letter with the ypogegrammeni (which folds to iota).
    "\xE2\x84\xAA" "elvin in CDCL3", "\xEF\xAC\x81ne benzene", "\xE1\xBE\xB4 in CdCl3",
};
const std::vector<double> kNumbers = {0, 1, 2, 5, 6, 7, 2.29, 7.26, 100.5, -3.5, 1e-300, 1e300, 123456.789, 0.1, 1000};
const std::vector<std::string> kFolders = {"/d/a", "/d/a b", "/d/caf\xC3\xA9", "/d/a/b", "/d/ab", "/e"};
const std::vector<std::string> kNames = {"aspirin.jdx", "x.back", "Cafe\xCC\x81ine.sdf", "file with blank.dx",
                                         "-dash.mol", "quote'name.jdx", "\xFF\xFE.jdx", "MyWindowClass.sdf"};
// Molecules of the test data's SD files, and strings that are no molecule.
const std::vector<std::string> kSmilesValues = {
    "CC(C)C(=O)COc1nc(N)nc2[nH]cnc12", "Nc1nc(OC[C@@H]2CCCO2)c2nc[nH]c2n1", "[NH3+]CCSc1cc(-c2ccc[nH]2)c2c3c(ccc(F)c13)NC2=O",
    "CC(C)[C@H](CO)Nc1nc(Nc2ccc(C(=O)[O-])c(Cl)c2)c2ncn(C(C)C)c2n1", "CC(C)[C@@H]1CC[C@@H](C)C[C@H]1O",
    "C[N@H+]1CC[C@H](c2c(O)cc(O)c3c(=O)cc(-c4ccccc4Cl)oc23)[C@H](O)C1", "CC(=O)Oc1ccccc1C(=O)O", "c1ccccc1", "not a molecule", ""};
const std::vector<std::string> kStructurePatterns = {"c1ccccc1", "C1=CC=CC=C1", "[OH]c", "C(=O)[OH]", "C(=O)[O-]", "[NH3+]",
                                                     "c1[s,o]ccn1", "[C@@H](O)", "[H]O", "N", "[#7]~*", "Cl", "[$(cO)]", "[C;R]~[#8]",
                                                     // selective ones, whose charges, elements and distances the screen holds
                                                     "[NH3+]CCS", "[NH3+]CCCS", "Fc1cccc2c1cccc2", "O=C(C1=C(F)C=CC=C1)", "[N+;H1]",
                                                     "Clc1ccc(N)cc1", "c1ncc2nc[nH]c2n1", "O=c1cc(-c2ccccc2Cl)oc2ccccc12", "[Se]"};

// The attributes the panel searches, then enough others that attribute ids pass 64.
inline std::vector<std::string> AttributeNames() {
  std::vector<std::string> names = {"kMDItemTitle", "Tormalin_Notes", "Molvane_Formula", "Molvane_SMILES", "Molvane_Mass",
                                    "Tormalin_Peaks", "Tormalin_Nucleus", "Tormalin_nD", "kMDItemContentCreationDate",
                                    // kept with the documents, never matched: both engines must agree on that too
                                    "Tormalin_Preview", "Orvane_ImportVersion"};
  for (int i = 0; names.size() < 80; ++i) names.push_back("Extra_" + std::to_string(i));
  return names;
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  size_t Below(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(engine_) : 0; }
  bool Chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  template <typename T>
  const T& Pick(const std::vector<T>& items) { return items[Below(items.size())]; }
  double Real(double low, double high) { return std::uniform_real_distribution<double>(low, high)(engine_); }

 private:
  std::mt19937_64 engine_;
};

inline double NowSince2001() { return double(std::time(nullptr)) - kUnixToReferenceDate; }

struct Document {
  std::string path;
  bool network = false;
  Attributes attributes;  // without kMDItemPath
};

class DocumentMaker {
 public:
  explicit DocumentMaker(Random& random) : random_(random), names_(AttributeNames()) {}

  Document Make(size_t serial) {
    Document document;
    document.path = random_.Pick(kFolders) + "/" + std::to_string(serial) + "/" + random_.Pick(kNames);
    document.network = random_.Chance(0.2);
    // Mostly the path's own name, as importers give it; now and then another
    // (a name of another document, or any text), or none.
    const double name = random_.Real(0, 1);
    if (name < 0.8) document.attributes[kDisplayNameAttribute] = DisplayNameOf(document.path);
    else if (name < 0.85) document.attributes[kDisplayNameAttribute] = random_.Pick(kNames);
    else if (name < 0.9) document.attributes[kDisplayNameAttribute] = MakeValue();
    // Now and then a document with many parameters, so that attribute numbers pass 64.
    const size_t count = random_.Chance(0.1) ? 30 + random_.Below(50) : 2 + random_.Below(10);
    for (size_t i = 0; i < count; ++i) document.attributes[PickName()] = MakeValue();
    if (random_.Chance(0.4)) {
      StringArray molecules;
      for (size_t n = 1 + random_.Below(3); n > 0; --n) molecules.push_back(random_.Pick(kSmilesValues));
      document.attributes["Molvane_SMILES"] = molecules;
    }
    return document;
  }

  Document MakeWide(size_t serial) {
    Document document = Make(serial);
    for (size_t i = 0; i < 70; ++i) document.attributes["Extra_" + std::to_string(i)] = MakeValue();
    return document;
  }

  Value MakeValue() {
    switch (random_.Below(7)) {
      case 0:
      case 1: return Text();
      case 2: return Number();
      case 3: return Date{When()};
      case 4: {
        StringArray texts;
        for (size_t n = random_.Below(4); n > 0; --n) texts.push_back(Text());
        return texts;
      }
      default: {
        NumberArray numbers;  // empty arrays too: a peak table that held no usable peak
        for (size_t n = random_.Below(5); n > 0; --n) numbers.push_back(Number());
        return numbers;
      }
    }
  }

 private:
  // Mostly the panel's attributes, so that queries meet values; the rest spread wide.
  const std::string& PickName() { return random_.Chance(0.6) ? names_[random_.Below(9)] : random_.Pick(names_); }
  std::string Text() {
    std::string text = random_.Pick(kTexts);
    if (random_.Chance(0.2)) text += " " + random_.Pick(kTexts);
    return text;
  }
  double Number() { return random_.Chance(0.7) ? random_.Pick(kNumbers) : std::round(random_.Real(-10, 300) * 100) / 100; }
  double When() {
    const double now = NowSince2001();
    switch (random_.Below(4)) {
      case 0: return now - double(random_.Below(400)) * 86400 - double(random_.Below(86400));  // this year or last
      case 1: return now - double(random_.Below(72)) * 3600;                                    // today, yesterday
      case 2: return double(random_.Below(30)) * 365.25 * 86400;                                // since 2001
      default: return -double(random_.Below(40)) * 365.25 * 86400;                              // before 2001
    }
  }

  Random& random_;
  std::vector<std::string> names_;
};

// ---- queries ----------------------------------------------------------------

struct Expression {
  enum class Kind { And, Or, Not, Leaf } kind = Kind::Leaf;
  std::vector<Expression> children;
  std::string text;  // Leaf: the comparison as written

  std::string Render() const {
    switch (kind) {
      case Kind::Leaf: return text;
      case Kind::Not: return "!" + Wrapped(children.front());
      case Kind::And:
      case Kind::Or: {
        std::string out;
        for (const Expression& child : children) {
          if (!out.empty()) out += kind == Kind::And ? " && " : " || ";
          out += Wrapped(child);
        }
        return out;
      }
    }
    return text;
  }
  static std::string Wrapped(const Expression& e) { return e.kind == Kind::Leaf ? e.text : "(" + e.Render() + ")"; }
};

inline std::string Quoted(const std::string& text, char quote) {
  std::string out(1, quote);
  for (char c : text) {
    if (c == '\\' || c == quote) out += '\\';
    out += c;
  }
  return out + quote;
}

class ExpressionMaker {
 public:
  ExpressionMaker(Random& random, const std::vector<Document>& documents) : random_(random), documents_(documents) {}

  Expression Make(int depth = 0) {
    const size_t choice = depth >= 3 ? 9 : random_.Below(10);
    if (choice < 2 || choice == 2) {
      Expression e;
      e.kind = choice == 2 ? Expression::Kind::Or : Expression::Kind::And;
      for (size_t n = 2 + random_.Below(2); n > 0; --n) e.children.push_back(Make(depth + 1));
      return e;
    }
    if (choice == 3) {
      Expression e;
      e.kind = Expression::Kind::Not;
      e.children.push_back(Make(depth + 1));
      return e;
    }
    if (choice == 4 && random_.Chance(0.5)) return Bounds();
    Expression leaf;
    leaf.text = Leaf();
    return leaf;
  }

  // Several comparisons joined by &&, as the panel joins its fields: the
  // index intersects the common ones as the bitmaps it keeps of them.
  Expression Conjunction() {
    Expression e;
    e.kind = Expression::Kind::And;
    for (size_t n = 3 + random_.Below(3); n > 0; --n) {
      Expression leaf;
      leaf.text = Leaf();
      e.children.push_back(std::move(leaf));
    }
    return e;
  }

  // A search by a word (or the start of one) of some document's value,
  // without case: what the words' look-up answers.
  Expression WordSearch() {
    lastValue_ = nullptr;
    std::string attribute = Attribute();
    if (!lastValue_) attribute = "kMDItemTitle";
    std::string word = OneWordOf(TextOf(lastValue_ ? *lastValue_ : Value(std::string()), SomeDocumentText()));
    if (random_.Chance(0.3) && word.size() > 1) word.resize(1 + random_.Below(word.size() - 1));
    if (random_.Chance(0.3)) word += '*';
    Expression leaf;
    leaf.text = attribute + " == " + Quoted(word, '"') + "cw";
    return leaf;
  }

  // A fragment of some document's molecule, formula, display name, title or
  // notes as the panel searches them (molecules and formulae with case kept, titles and
  // notes mostly without: common fragments find many values, rare ones a few),
  // now and then with other modifiers: without diacritics, or as words.
  Expression FragmentSearch() {
    const std::string attribute = random_.Chance(0.5)   ? "Molvane_SMILES"
                                  : random_.Chance(0.3) ? "Molvane_Formula"
                                  : random_.Chance(0.2) ? kDisplayNameAttribute
                                                        : (random_.Chance(0.6) ? "kMDItemTitle" : "Tormalin_Notes");
    const bool withoutCase = attribute.starts_with("kMD") || attribute.starts_with("Tormalin") ? random_.Chance(0.8) : random_.Chance(0.2);
    std::vector<std::string> texts;
    for (const Document& document : documents_)
      if (auto it = document.attributes.find(attribute); it != document.attributes.end()) {
        if (const auto* s = std::get_if<std::string>(&it->second)) texts.push_back(*s);
        if (const auto* ss = std::get_if<StringArray>(&it->second)) texts.insert(texts.end(), ss->begin(), ss->end());
      }
    std::string text = texts.empty() || random_.Chance(0.1) ? random_.Pick(kSmilesValues) : random_.Pick(texts);
    if (text.size() > 3) {
      const size_t start = random_.Below(text.size() - 2);
      text = text.substr(start, 3 + random_.Below(std::min<size_t>(6, text.size() - start - 2)));
    }
    std::string literal = "\"*";
    for (char c : text) {
      if (c == '*' || c == '?' || c == '\\' || c == '"') literal += '\\';
      literal += c;
    }
    Expression leaf;
    static const std::vector<std::string> kModifiers = {"c", "d", "w", "cw", "cd", "cdw"};
    const std::string modifier = random_.Chance(0.3) ? random_.Pick(kModifiers) : (withoutCase ? "c" : "");
    leaf.text = attribute + " == " + literal + "*\"" + modifier;
    if (random_.Chance(0.5)) leaf.text += " && kMDItemDisplayName != \"*.back\"";
    return leaf;
  }

  // A comparison of the display name, mostly drawn from some document's, with
  // any operator and modifiers, alone or beside the panel's own term.
  Expression NameSearch() {
    lastValue_ = nullptr;
    const Document& document = random_.Pick(documents_);
    if (auto it = document.attributes.find(kDisplayNameAttribute); it != document.attributes.end()) lastValue_ = &it->second;
    static const std::vector<std::string> kOperators = {"==", "==", "==", "!=", "<", ">="};
    Expression leaf;
    leaf.text = std::string(kDisplayNameAttribute) + " " + random_.Pick(kOperators) + " " + Operand();
    if (random_.Chance(0.3)) leaf.text += " && kMDItemDisplayName != \"*.back\"";
    return leaf;
  }

 private:
  // Two bounds on one attribute, as the panel writes a mass range.
  Expression Bounds() {
    static const std::vector<std::string> kBelow = {"<", "<="}, kAbove = {">", ">="};
    lastValue_ = nullptr;
    const std::string attribute = Attribute();
    Expression e;
    e.kind = Expression::Kind::And;
    for (const auto* operators : {&kAbove, &kBelow}) {
      Expression leaf;
      leaf.text = attribute + " " + random_.Pick(*operators) + " " + (random_.Chance(0.8) ? NumberText() : Operand());
      e.children.push_back(std::move(leaf));
    }
    return e;
  }

  std::string Leaf() {
    const size_t choice = random_.Below(20);
    if (choice == 0) return random_.Chance(0.5) ? "true" : "false";
    if (choice == 19) return Structure();
    lastValue_ = nullptr;
    std::string attribute = Attribute();
    if (choice < 4 && attribute == "*") attribute = "Tormalin_Peaks";  // a range names one attribute
    if (choice < 4) return (random_.Chance(0.5) ? "InRange(" : "inrange(") + attribute + ", " + Bound() + ", " + Bound() + ")";
    static const std::vector<std::string> kOperators = {"==", "==", "==", "=", "!=", "!=", "<", ">", "<=", ">="};
    return attribute + " " + random_.Pick(kOperators) + " " + Operand();
  }

  // Substructure or Similar, mostly on the molecules' attribute.
  std::string Structure() {
    const std::string attribute = random_.Chance(0.8) ? "Molvane_SMILES" : "kMDItemTitle";
    if (random_.Chance(0.7)) return "Substructure(" + attribute + ", \"" + random_.Pick(kStructurePatterns) + "\")";
    std::string molecule = random_.Pick(kSmilesValues);
    if (molecule.empty() || molecule == "not a molecule") molecule = "c1ccccc1O";
    return "Similar(" + attribute + ", \"" + molecule + "\", " + random_.Pick(std::vector<std::string>{"0.3", "0.7", "1", "0"}) + ")";
  }

  std::string Attribute() {
    switch (random_.Below(12)) {
      case 0: return "*";
      case 1: return "kMDItemPath";
      case 2: return "Nobody_Has_This";
      default: {
        const Document& document = random_.Pick(documents_);
        if (document.attributes.empty()) return "kMDItemTitle";
        auto it = document.attributes.begin();
        std::advance(it, std::ptrdiff_t(random_.Below(document.attributes.size())));
        lastValue_ = &it->second;
        return it->first;
      }
    }
  }

  std::string Bound() {
    switch (random_.Below(4)) {
      case 0: return Time();
      case 1: return Quoted(NumberText(), '"');
      default: return NumberText();
    }
  }

  std::string NumberText() {
    static const std::vector<std::string> kOdd = {"1e-400", "-1e-400", "1e400", "-1e400", ".5", "-0", "007", "+6", "5.", "2.290"};
    if (random_.Chance(0.2)) return random_.Pick(kOdd);
    if (random_.Chance(0.5)) return FormatNumber(random_.Pick(kNumbers));
    return FormatNumber(std::round(random_.Real(-10, 300) * 100) / 100);
  }

  std::string Time() {
    static const std::vector<std::string> kTimes = {
        "$time.today", "$time.today(-1)", "$time.yesterday", "$time.this_week", "$time.this_week(-1)", "$time.this_month",
        "$time.this_month(-2)", "$time.this_year", "$time.this_year(-3)", "$time.this_year(-1y)", "$time.today(-2d)",
        "$time.today(-1w)", "$time.this_month(-1M)", "$time.now(-3600)", "$time.iso(2019-05-07)",
        "$time.iso(2019-05-07T16:15:00Z)", "$time.iso(2001-01-01T00:00:00+01:00)", "$time.iso(1990-02-03T04:05:06.5)"};
    return random_.Pick(kTimes);
  }

  // A string drawn from what the documents hold, cut, re-cased, recomposed and
  // given wildcards, so that patterns meet values at every edge.
  std::string Pattern() {
    std::string text = random_.Chance(0.7) ? SomeDocumentText() : random_.Pick(kTexts);
    if (lastValue_ && random_.Chance(0.5)) text = TextOf(*lastValue_, text);
    if (random_.Chance(0.25)) text = OneWordOf(text);  // what a search by words (w) is asked for
    if (random_.Chance(0.3) && text.size() > 2) {
      const size_t start = random_.Below(text.size() / 2), length = 1 + random_.Below(text.size() - start);
      text = text.substr(start, length);  // may split a UTF-8 sequence: invalid bytes in a query too
    }
    if (random_.Chance(0.2)) text = random_.Chance(0.5) ? ComposedForm(text) : Decomposed(text);
    if (random_.Chance(0.15)) std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    std::string escaped;
    for (char c : text) {
      if (c == '*' || c == '?') escaped += '\\';
      escaped += c;
    }
    if (random_.Chance(0.1) && escaped.size() > 1) escaped[random_.Below(escaped.size())] = '?';
    if (random_.Chance(0.4)) escaped = "*" + escaped;
    if (random_.Chance(0.4)) escaped += "*";
    if (random_.Chance(0.1)) escaped.insert(escaped.size() / 2, "*");
    if (random_.Chance(0.03)) escaped = random_.Chance(0.5) ? "*" : "**";
    return escaped;
  }

  // One of the text's runs between ASCII characters other than letters and
  // digits (bytes beyond ASCII stay in the run); the text itself when it has none.
  std::string OneWordOf(const std::string& text) {
    std::vector<std::string> words(1);
    for (char c : text) {
      if (static_cast<unsigned char>(c) < 0x80 && !std::isalnum(static_cast<unsigned char>(c))) {
        if (!words.back().empty()) words.emplace_back();
      } else {
        words.back() += c;
      }
    }
    if (words.back().empty()) words.pop_back();
    return words.empty() ? text : random_.Pick(words);
  }

  static std::string Decomposed(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text.compare(i, 2, "\xC3\xA9") == 0) out += "e\xCC\x81", ++i;
      else if (text.compare(i, 2, "\xC3\x89") == 0) out += "E\xCC\x81", ++i;
      else out += text[i];
    }
    return out;
  }

  // A text of the value the comparison's attribute holds somewhere, so that
  // patterns meet the attribute they are asked of.
  std::string TextOf(const Value& value, const std::string& otherwise) {
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    if (const auto* ss = std::get_if<StringArray>(&value)) return ss->empty() ? otherwise : random_.Pick(*ss);
    if (const auto* n = std::get_if<double>(&value)) return FormatNumber(*n);
    return otherwise;
  }

  std::string SomeDocumentText() {
    const Document& document = random_.Pick(documents_);
    std::vector<std::string> texts = {document.path};
    for (const auto& [name, value] : document.attributes) {
      if (const auto* s = std::get_if<std::string>(&value)) texts.push_back(*s);
      if (const auto* ss = std::get_if<StringArray>(&value)) texts.insert(texts.end(), ss->begin(), ss->end());
      if (const auto* n = std::get_if<double>(&value)) texts.push_back(FormatNumber(*n));
    }
    return random_.Pick(texts);
  }

  std::string Operand() {
    switch (random_.Below(10)) {
      case 0: return Time();
      case 1:
      case 2: return NumberText();
      default: {
        static const std::vector<std::string> kModifiers = {"", "", "", "c", "d", "w", "cd", "cw", "dw", "cdw"};
        // The literal is written inside quotes with the pattern's own escapes kept.
        const std::string pattern = Pattern();
        const char quote = random_.Chance(0.8) ? '"' : '\'';
        std::string literal(1, quote);
        for (size_t i = 0; i < pattern.size(); ++i) {
          if (pattern[i] == '\\' && i + 1 < pattern.size()) {
            literal += pattern.substr(i, 2);
            ++i;
            continue;
          }
          if (pattern[i] == '\\' || pattern[i] == quote) literal += '\\';
          literal += pattern[i];
        }
        return literal + quote + random_.Pick(kModifiers);
      }
    }
  }

  Random& random_;
  const std::vector<Document>& documents_;
  const Value* lastValue_ = nullptr;  // a value of the attribute named last
};


}  // namespace differential
