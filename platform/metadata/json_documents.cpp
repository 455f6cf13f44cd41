#include "platform/metadata/json_documents.h"

#include <cmath>

namespace metadata {

using nlohmann::json;

namespace {

std::variant<Value, std::string> ValueOf(const std::string& name, const json& value) {
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (HoldsDates(name)) {
      std::optional<Date> date = ParseIsoDate(text);
      if (!date) return "\"" + name + "\" is not an ISO 8601 date: \"" + text + "\"";
      return Value(*date);
    }
    return Value(text);
  }
  if (value.is_number()) return Value(value.get<double>());
  if (value.is_array()) {
    bool strings = !value.empty(), numbers = true;
    for (const json& element : value) {
      strings = strings && element.is_string();
      numbers = numbers && element.is_number();
    }
    if (strings) return Value(value.get<StringArray>());
    if (numbers) return Value(value.get<NumberArray>());
    return "\"" + name + "\" mixes types in its array; use only strings or only numbers";
  }
  return "\"" + name + "\" has a value of type " + std::string(value.type_name()) +
         "; use a string, a number or an array of either";
}

std::string Quote(const std::string& text) { return DumpJson(json(text)); }

// Whole numbers print as 2, not 2.0, as people and other programs expect.
json WholeNumberJson(double number) {
  if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 9007199254740992.0)
    return json(std::int64_t(number));
  return json(number);
}

}  // namespace

std::variant<DocumentRecord, std::string> ReadJsonDocument(std::string_view line) {
  json parsed = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return std::string("not valid JSON");
  if (!parsed.is_object()) return std::string("not a JSON object");
  auto path = parsed.find("path");
  if (path == parsed.end() || !path->is_string() || path->get<std::string>().empty())
    return std::string("no \"path\" string");
  DocumentRecord document;
  document.path = path->get<std::string>();
  if (document.path.front() != '/') return "the path \"" + document.path + "\" is not absolute";
  if (auto network = parsed.find("network"); network != parsed.end()) {
    if (!network->is_boolean()) return std::string("\"network\" is not true or false");
    document.network = network->get<bool>();
  }
  if (auto attributes = parsed.find("attributes"); attributes != parsed.end()) {
    if (!attributes->is_object()) return std::string("\"attributes\" is not an object");
    for (const auto& [name, value] : attributes->items()) {
      auto converted = ValueOf(name, value);
      if (auto* problem = std::get_if<std::string>(&converted)) return *problem;
      document.attributes[name] = std::get<Value>(std::move(converted));
    }
  }
  document.attributes.erase(kPathAttribute);
  document.attributes[kDisplayNameAttribute] = DisplayNameOf(document.path);
  return document;
}

json ValueToJson(const Value& value) {
  return std::visit(
      [](const auto& v) -> json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Date>) {
          return FormatIsoDate(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return WholeNumberJson(v);
        } else if constexpr (std::is_same_v<T, NumberArray>) {
          json array = json::array();
          for (double number : v) array.push_back(WholeNumberJson(number));
          return array;
        } else {
          return json(v);
        }
      },
      value);
}

std::string DumpJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string FormatValue(const Value& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return Quote(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return FormatNumber(v);
        } else if constexpr (std::is_same_v<T, Date>) {
          std::string iso = FormatIsoDate(v);  // 2019-05-07T16:15:00Z
          iso[10] = ' ';
          iso.back() = ' ';
          return iso + "+0000";
        } else if constexpr (std::is_same_v<T, StringArray>) {
          std::string out = "(";
          for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + Quote(v[i]);
          return out + ")";
        } else {
          std::string out = "(";
          for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + FormatNumber(v[i]);
          return out + ")";
        }
      },
      value);
}

}  // namespace metadata

namespace metadata {

json AttributesToTypedJson(const Attributes& attributes) {
  json out = json::object();
  for (const auto& [name, value] : attributes) {
    out[name] = std::visit(
        [](const auto& v) -> json {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string>) return {{"t", "s"}, {"v", v}};
          else if constexpr (std::is_same_v<T, double>) return {{"t", "n"}, {"v", v}};
          else if constexpr (std::is_same_v<T, Date>) return {{"t", "d"}, {"v", v.seconds}};
          else if constexpr (std::is_same_v<T, StringArray>) return {{"t", "S"}, {"v", v}};
          else return {{"t", "N"}, {"v", v}};
        },
        value);
  }
  return out;
}

std::optional<Attributes> AttributesFromTypedJson(const json& in) {
  if (!in.is_object()) return std::nullopt;
  Attributes attributes;
  try {
    for (const auto& [name, typed] : in.items()) {
      const std::string type = typed.at("t").get<std::string>();
      const json& v = typed.at("v");
      if (type == "s") attributes[name] = v.get<std::string>();
      else if (type == "n") attributes[name] = v.get<double>();
      else if (type == "d") attributes[name] = Date{v.get<double>()};
      else if (type == "S") attributes[name] = v.get<StringArray>();
      else if (type == "N") attributes[name] = v.get<NumberArray>();
      else return std::nullopt;
    }
  } catch (const json::exception&) {
    return std::nullopt;
  }
  return attributes;
}

}  // namespace metadata
