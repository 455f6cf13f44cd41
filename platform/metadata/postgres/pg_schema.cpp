#include "platform/metadata/postgres/pg_schema.h"

namespace metadata::postgres {

namespace {

constexpr std::int64_t kCreationLock = 0x4F52564E;  // "ORVN"

// %TRGM% stands for the schema that holds pg_trgm's operator classes, %RDKIT%
// for the RDKit cartridge's.
constexpr const char* kTables = R"sql(
CREATE SCHEMA IF NOT EXISTS orvane;
CREATE TABLE orvane.about(key text PRIMARY KEY, value text NOT NULL);
CREATE TABLE orvane.attribute_names(id serial PRIMARY KEY, name text NOT NULL UNIQUE);
CREATE TABLE orvane.documents(
  id bigserial PRIMARY KEY,
  path bytea NOT NULL UNIQUE,
  network boolean NOT NULL DEFAULT false,
  family text NOT NULL DEFAULT '',
  device bigint NOT NULL DEFAULT 0,
  inode bigint NOT NULL DEFAULT 0,
  size bigint NOT NULL DEFAULT 0,
  modified_ns bigint NOT NULL DEFAULT 0,
  failure text,
  notes text,
  attributes bytea NOT NULL);
CREATE INDEX documents_on_network ON orvane.documents(id) WHERE network;
CREATE TABLE orvane.number_values(attr integer NOT NULL, value double precision NOT NULL, doc bigint NOT NULL);
CREATE INDEX number_values_lookup ON orvane.number_values(attr, value, doc);
CREATE INDEX number_values_doc ON orvane.number_values(doc);
CREATE TABLE orvane.string_values(attr integer NOT NULL, value bytea NOT NULL, doc bigint NOT NULL);
CREATE INDEX string_values_lookup ON orvane.string_values(attr, value, doc);
CREATE INDEX string_values_doc ON orvane.string_values(doc);
CREATE TABLE orvane.string_texts(attr integer NOT NULL, doc bigint NOT NULL, folded text NOT NULL, stripped text, cased text,
  PRIMARY KEY(doc, attr));
CREATE INDEX string_texts_folded ON orvane.string_texts USING gin(folded %TRGM%.gin_trgm_ops);
CREATE INDEX string_texts_stripped ON orvane.string_texts USING gin(stripped %TRGM%.gin_trgm_ops);
CREATE TABLE orvane.number_spans(attr integer NOT NULL, low double precision NOT NULL, high double precision NOT NULL,
  doc bigint NOT NULL);
CREATE INDEX number_spans_lookup ON orvane.number_spans(attr, low) INCLUDE (high, doc);
CREATE INDEX number_spans_doc ON orvane.number_spans(doc);
CREATE TABLE orvane.empty_values(attr integer NOT NULL, doc bigint NOT NULL, PRIMARY KEY(doc, attr));
CREATE INDEX empty_values_lookup ON orvane.empty_values(attr, doc);
CREATE TABLE orvane.string_words(attr integer NOT NULL, word bytea NOT NULL, doc bigint NOT NULL);
CREATE INDEX string_words_lookup ON orvane.string_words(attr, word, doc);
CREATE INDEX string_words_doc ON orvane.string_words(doc);
CREATE TABLE orvane.molecules(id bigserial PRIMARY KEY, doc bigint NOT NULL, molecule %RDKIT%.mol NOT NULL,
  similarity %RDKIT%.bfp NOT NULL, data bytea);
CREATE INDEX molecules_doc ON orvane.molecules(doc, id);
CREATE INDEX molecules_structure ON orvane.molecules USING gist(molecule);
CREATE INDEX molecules_similarity ON orvane.molecules USING gist(similarity);
%SCREENS%
CREATE TABLE orvane.roots(path bytea PRIMARY KEY, owner text NOT NULL, last_update bigint NOT NULL DEFAULT 0, device bigint NOT NULL DEFAULT 0);
CREATE TABLE orvane.mount_folders(path bytea PRIMARY KEY, device bigint NOT NULL DEFAULT 0);
)sql";

// The screen table: one bigint column a word of a molecule's screen.
std::string ScreenTable() {
  std::string words;
  for (size_t word = 0; word < kScreenWords; ++word) words += ", " + ScreenColumn(word) + " bigint NOT NULL";
  return "CREATE TABLE orvane.molecule_screens(id bigint PRIMARY KEY, doc bigint NOT NULL" + words +
         ");\nCREATE INDEX molecule_screens_doc ON orvane.molecule_screens(doc);";
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
  return text;
}

std::string QuotedIdentifier(const std::string& name) { return '"' + Replaced(name, "\"", "\"\"") + '"'; }

// The schema an extension lives in, quoted; empty when it is not installed.
std::string ExtensionSchema(Connection& connection, const std::string& extension) {
  Rows schema = connection.Run("SELECT extnamespace::regnamespace::text FROM pg_extension WHERE extname = $1", Params().Text(extension));
  if (!schema.size()) return {};
  std::string name = schema.Text(0, 0);
  if (name.empty() || name.front() != '"') name = QuotedIdentifier(name);
  return name;
}

}  // namespace

std::string ScreenColumn(size_t word) { return "w" + std::to_string(word); }

std::optional<int> ReadableFormat(const std::string& version) {
  for (int format = kOldestReadableFormat; format <= kFormatVersion; ++format)
    if (version == std::to_string(format)) return format;
  return std::nullopt;
}

std::string RebuildAdvice(const std::string& name) {
  return "drop it (DROP SCHEMA orvane CASCADE) and build a new index with: orvane-index --db '" + name + "' --init FOLDER...";
}

std::string CartridgeSchema(Connection& connection) {
  std::string schema = ExtensionSchema(connection, "rdkit");
  if (schema.empty()) throw PostgresError("the RDKit cartridge (CREATE EXTENSION rdkit, package postgresql-15-rdkit) is not installed", "");
  return schema;
}

bool HasIndex(Connection& connection) {
  Rows found = connection.Run("SELECT to_regclass('orvane.about') IS NOT NULL");
  return found.Int(0, 0) != 0;
}

std::string CheckIndex(Connection& connection) {
  const std::string& name = connection.name();
  try {
    if (!HasIndex(connection))
      return "there is no Orvane index in " + name + "; create one with: orvane-index --db '" + name + "' --init";
    Rows format = connection.Run("SELECT value FROM orvane.about WHERE key = 'format'");
    const std::string version = format.size() ? format.Text(0, 0) : "none";
    if (!ReadableFormat(version))
      return "the index " + name + " has format version " + version + ", and this Orvane reads version " +
             std::to_string(kFormatVersion) + "; " + RebuildAdvice(name);
  } catch (const PostgresError& error) {
    return name + " is not an Orvane index this Orvane can read (" + error.what() + "); " + RebuildAdvice(name);
  }
  return {};
}

void CreateIndex(Connection& connection) {
  connection.Execute("BEGIN");
  try {
    // Two indexers starting at once: the second finds the first one's tables.
    connection.Run("SELECT pg_advisory_xact_lock(" + std::to_string(kCreationLock) + ")");
    if (!HasIndex(connection)) {
      connection.Execute("CREATE EXTENSION IF NOT EXISTS pg_trgm");
      connection.Execute("CREATE EXTENSION IF NOT EXISTS rdkit");
      connection.Execute(Replaced(Replaced(Replaced(kTables, "%SCREENS%", ScreenTable()), "%TRGM%", ExtensionSchema(connection, "pg_trgm")), "%RDKIT%", CartridgeSchema(connection)));
      connection.Execute("INSERT INTO orvane.about(key, value) VALUES('format', '" + std::to_string(kFormatVersion) + "')");
    }
    connection.Execute("COMMIT");
  } catch (...) {
    try {
      connection.Execute("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
}

}  // namespace metadata::postgres
