#include "bench/index_copies.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/metadata/attributes.h"
#include "platform/metadata/encoding.h"
#include "platform/metadata/postgres/pg_schema.h"
#include "platform/metadata/postgres/pg_util.h"
#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/sqlite/sqlite_util.h"
#include "platform/metadata/stored_values.h"
#include "platform/metadata/store.h"

namespace bench {

namespace {

using metadata::Statement;

std::string Offset(const std::string& column, std::int64_t offset) { return column + " + " + std::to_string(offset); }

// "a, b, c" of the columns, each as `map` makes it.
std::string ColumnList(const std::vector<std::string>& columns, const std::function<std::string(const std::string&)>& map) {
  std::string list;
  for (const std::string& column : columns) list += (list.empty() ? "" : ", ") + map(column);
  return list;
}

bool Holds(const std::vector<std::string>& columns, const std::string& name) {
  return std::find(columns.begin(), columns.end(), name) != columns.end();
}

// What the copier does with each of an engine's tables.
enum class Copied {
  Documents,  // by document number, under the copy's root
  Roots,      // under the copy's root
  ByDocument, // the look-up rows of each document
  Molecules,  // by molecule number and document number
  Shared,     // one for all copies (attribute names, format)
  Derived,    // emptied: the writer that opens the index afterwards makes them again
  Trigrams,   // SQLite's contentless full-text tables: made again from the documents' records
};

void Finish(const std::string& location, const CopyOptions& options) {
  options.progress("a writer opens and closes the index (packing what it packs)");
  std::string error;
  auto writer = metadata::IndexWriter::Open(location, error);
  if (!writer) throw std::runtime_error("the copied index is refused: " + error);
  writer.reset();
}

// ---- SQLite -------------------------------------------------------------------

const std::map<std::string, Copied>& SqliteTables() {
  static const std::map<std::string, Copied> tables = {
      {"documents", Copied::Documents},           {"roots", Copied::Roots},
      {"number_values", Copied::ByDocument},      {"string_values", Copied::ByDocument},
      {"empty_values", Copied::ByDocument},       {"number_spans", Copied::ByDocument},
      {"string_words", Copied::ByDocument},       {"molecules", Copied::Molecules},
      {"molecule_similarity", Copied::Molecules}, {"molecule_data", Copied::Molecules},
      {"attribute_names", Copied::Shared},        {"mount_folders", Copied::Shared},
      {"sqlite_sequence", Copied::Shared},        {"fingerprint_packs", Copied::Derived},
      {"lookup_packs", Copied::Derived},          {"number_buckets", Copied::Derived},
      {"value_bitmaps", Copied::Derived},         {"packed_changes", Copied::Derived},
      {"string_trigrams", Copied::Trigrams},      {"stripped_trigrams", Copied::Trigrams},
      {"cased_trigrams", Copied::Trigrams},       {"path_ranks", Copied::Derived},
      {"value_texts", Copied::Derived},
  };
  return tables;
}

std::vector<std::string> SqliteColumns(sqlite3* db, const std::string& table) {
  Statement info(db, "SELECT name FROM pragma_table_info(?1)");
  info.BindText(1, table);
  std::vector<std::string> columns;
  while (info.Step()) columns.push_back(info.Text(0));
  return columns;
}

std::int64_t SqliteMost(sqlite3* db, const std::string& sql) {
  Statement most(db, sql);
  return most.Step() ? most.Int(0) : 0;
}

// The tables by what happens to them; a table the copier does not know stops it.
std::map<Copied, std::vector<std::string>> SqliteTablesByKind(sqlite3* db) {
  std::map<Copied, std::vector<std::string>> kinds;
  Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
  std::set<std::string> names;
  while (tables.Step()) names.insert(tables.Text(0));
  for (const std::string& name : names) {
    if (const auto known = SqliteTables().find(name); known != SqliteTables().end()) {
      kinds[known->second].push_back(name);
      continue;
    }
    const size_t cut = name.rfind('_');
    const bool shadow = cut != std::string::npos && SqliteTables().count(name.substr(0, cut)) &&
                        SqliteTables().at(name.substr(0, cut)) == Copied::Trigrams;
    if (!shadow && name.rfind("sqlite_stat", 0) != 0) throw std::runtime_error("the copier does not know the index table " + name);
  }
  return kinds;
}

// The texts of one attribute of every original document, for one full-text table.
struct TrigramRows {
  std::string table;
  std::function<std::string(const metadata::Value&)> text;
  std::vector<std::pair<std::int64_t, std::string>> rows;
};

// The full-text tables keep no text to copy: each copy's rows are made from
// the documents' records as the writer makes them. Row numbers lead with the
// attribute, so one attribute at a time keeps them rising, as the tables insert fastest.
void CopySqliteTrigrams(sqlite3* db, std::int64_t documents, const CopyOptions& options) {
  std::map<int, std::string> names;
  Statement attributes(db, "SELECT id, name FROM attribute_names ORDER BY id");
  while (attributes.Step()) names[int(attributes.Int(0))] = attributes.Text(1);
  const metadata::sqlite::IndexLayout layout = metadata::sqlite::LayoutOf(db);
  for (const auto& [id, name] : names) {
    if (metadata::IsStoredOnly(name) || !metadata::sqlite::HasTrigramRow(id)) continue;
    std::vector<TrigramRows> tables = {{"cased_trigrams", metadata::sqlite::CasedTrigramText, {}},
                                       {"string_trigrams", metadata::sqlite::TrigramText, {}},
                                       {"stripped_trigrams", metadata::sqlite::StrippedTrigramText, {}}};
    if (!layout.KeepsFoldedTrigramsOf(name)) tables.resize(1);  // as the writer keeps them
    Statement records(db, "SELECT id, attributes FROM documents WHERE id <= ?1 ORDER BY id");
    records.Bind(1, documents);
    while (records.Step()) {
      const std::optional<metadata::Value> value = metadata::DecodeAttribute(records.Bytes(1), id);
      if (!value || !metadata::IsStringValue(*value)) continue;
      for (TrigramRows& table : tables) {
        std::string text = table.text(*value);
        if (table.table == "stripped_trigrams" && text.empty()) continue;  // the writer keeps none either
        table.rows.emplace_back(records.Int(0), std::move(text));
      }
    }
    if (tables[0].rows.empty()) continue;
    options.progress("full-text rows of " + name);
    for (int copy = 2; copy <= options.times; ++copy) {
      metadata::Execute(db, "BEGIN");
      for (TrigramRows& table : tables) {
        Statement insert(db, "INSERT INTO " + table.table + "(rowid, text) VALUES(?1, ?2)");
        for (const auto& [doc, text] : table.rows)
          insert.Reset().Bind(1, metadata::sqlite::TrigramRowId(doc + (copy - 1) * documents, id)).BindText(2, text).Run();
      }
      metadata::Execute(db, "COMMIT");
    }
  }
}

// The rows of the originals, in a table of their own: each copy reads them
// alone instead of the ever longer table it adds to.
std::string Originals(const std::string& table, Copied kind, std::int64_t documents, std::int64_t molecules) {
  if (kind == Copied::Documents) return table + " WHERE id <= " + std::to_string(documents);
  if (kind == Copied::ByDocument) return table + " WHERE doc <= " + std::to_string(documents);
  if (kind == Copied::Molecules) return table + " WHERE id <= " + std::to_string(molecules);
  return table;
}

std::string SqliteCopyStatement(const std::vector<std::string>& columns, const std::string& table, Copied kind, int copy,
                                std::int64_t documents, std::int64_t molecules) {
  const std::int64_t docOffset = (copy - 1) * documents, moleculeOffset = (copy - 1) * molecules;
  const std::string prefix = CopyPrefix(copy);
  auto map = [&](const std::string& column) -> std::string {
    if (column == "path") return "CAST('" + prefix + "' || path AS BLOB)";  // paths are blobs
    if (column == "doc") return Offset(column, docOffset);
    if (column == "id") return Offset(column, kind == Copied::Molecules ? moleculeOffset : docOffset);
    return column;
  };
  return "INSERT INTO main." + table + "(" + ColumnList(columns, [](const std::string& c) { return c; }) + ") SELECT " + ColumnList(columns, map) +
         " FROM temp.originals";
}

void CopySqlite(const std::string& file, const CopyOptions& options) {
  std::string error;
  metadata::Database db = metadata::sqlite::OpenIndexFile(file, SQLITE_OPEN_READWRITE, 60000, error);
  if (!db) throw std::runtime_error(error);
  sqlite3* raw = db.get();
  metadata::Execute(raw, "PRAGMA synchronous=OFF");
  metadata::Execute(raw, "PRAGMA cache_size=-2000000");
  metadata::Execute(raw, "PRAGMA temp_store=FILE");
  auto kinds = SqliteTablesByKind(raw);
  const std::int64_t documents = SqliteMost(raw, "SELECT coalesce(max(id), 0) FROM documents");
  if (SqliteMost(raw, "SELECT count(*) FROM documents WHERE path >= CAST('/copy-' AS BLOB) AND path < CAST('/copy.' AS BLOB)") > 0)
    throw std::runtime_error(file + " holds copies already");
  const std::int64_t molecules = kinds.count(Copied::Molecules) ? SqliteMost(raw, "SELECT coalesce(max(id), 0) FROM molecules") : 0;
  metadata::Execute(raw, "BEGIN");
  for (const std::string& table : kinds[Copied::Derived]) metadata::Execute(raw, ("DELETE FROM " + table).c_str());
  metadata::Execute(raw, "COMMIT");
  std::vector<Copied> order = {Copied::Documents, Copied::Roots, Copied::ByDocument};
  if (options.molecules) order.push_back(Copied::Molecules);
  for (Copied kind : order)
    for (const std::string& table : kinds[kind]) {
      options.progress("rows of " + table);
      const std::vector<std::string> columns = SqliteColumns(raw, table);
      if (kind == Copied::ByDocument && !Holds(columns, "doc")) throw std::runtime_error("the index table " + table + " has no doc column");
      metadata::Execute(raw, ("CREATE TEMP TABLE originals AS SELECT * FROM main." + Originals(table, kind, documents, molecules)).c_str());
      // A transaction a copy: the write-ahead log holds one copy's pages, not all of them.
      for (int copy = 2; copy <= options.times; ++copy) {
        metadata::Execute(raw, "BEGIN");
        metadata::Execute(raw, SqliteCopyStatement(columns, table, kind, copy, documents, molecules).c_str());
        metadata::Execute(raw, "COMMIT");
      }
      metadata::Execute(raw, "DROP TABLE temp.originals");
    }
  CopySqliteTrigrams(raw, documents, options);
  db.reset();
  Finish(file, options);
}

// ---- PostgreSQL -----------------------------------------------------------------

using metadata::postgres::Connection;

const std::map<std::string, Copied>& PostgresTables() {
  static const std::map<std::string, Copied> tables = {
      {"documents", Copied::Documents},     {"roots", Copied::Roots},           {"number_values", Copied::ByDocument},
      {"string_values", Copied::ByDocument}, {"string_texts", Copied::ByDocument}, {"number_spans", Copied::ByDocument},
      {"empty_values", Copied::ByDocument},  {"string_words", Copied::ByDocument}, {"molecules", Copied::Molecules},
      {"molecule_screens", Copied::Molecules}, {"about", Copied::Shared},            {"attribute_names", Copied::Shared}, {"mount_folders", Copied::Shared},
  };
  return tables;
}

std::vector<std::string> PostgresColumns(Connection& connection, const std::string& table) {
  metadata::postgres::Rows rows = connection.Run(
      "SELECT column_name::text FROM information_schema.columns WHERE table_schema = 'orvane' AND table_name = $1 ORDER BY ordinal_position",
      metadata::postgres::Params().Text(table));
  std::vector<std::string> columns;
  for (int row = 0; row < rows.size(); ++row) columns.push_back(rows.Text(row, 0));
  return columns;
}

std::int64_t PostgresMost(Connection& connection, const std::string& sql) {
  metadata::postgres::Rows rows = connection.Run(sql);
  return rows.size() && !rows.IsNull(0, 0) ? rows.Int(0, 0) : 0;
}

struct SecondaryIndex {
  std::string name, definition;
};

// The indexes of the tables copied into that no constraint needs: dropped
// while the rows go in and built again afterwards, which is many times faster
// than keeping them current row by row.
std::vector<SecondaryIndex> SecondaryIndexes(Connection& connection, const std::vector<std::string>& tables) {
  std::vector<SecondaryIndex> found;
  for (const std::string& table : tables) {
    metadata::postgres::Rows rows = connection.Run(
        "SELECT c.relname::text, pg_get_indexdef(i.indexrelid) FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid "
        "WHERE i.indrelid = to_regclass('orvane.' || $1) AND NOT EXISTS (SELECT 1 FROM pg_constraint WHERE conindid = i.indexrelid)",
        metadata::postgres::Params().Text(table));
    for (int row = 0; row < rows.size(); ++row) found.push_back({rows.Text(row, 0), rows.Text(row, 1)});
  }
  return found;
}

std::string PostgresCopyStatement(const std::vector<std::string>& columns, const std::string& table, Copied kind, int copy,
                                  std::int64_t documents, std::int64_t molecules) {
  const std::int64_t docOffset = (copy - 1) * documents, moleculeOffset = (copy - 1) * molecules;
  const std::string prefix = CopyPrefix(copy);
  auto map = [&](const std::string& column) -> std::string {
    if (column == "path") return "convert_to('" + prefix + "', 'UTF8') || path";
    if (column == "doc") return Offset(column, docOffset);
    if (column == "id") return Offset(column, kind == Copied::Molecules ? moleculeOffset : docOffset);
    return column;
  };
  return "INSERT INTO orvane." + table + "(" + ColumnList(columns, [](const std::string& c) { return c; }) + ") SELECT " +
         ColumnList(columns, map) + " FROM pg_temp.originals";
}

void CopyPostgres(const std::string& uri, const CopyOptions& options) {
  std::string error;
  auto connection = Connection::Open(uri, error);
  if (!connection) throw std::runtime_error(error);
  if (error = metadata::postgres::CheckIndex(*connection); !error.empty()) throw std::runtime_error(error);
  std::map<Copied, std::vector<std::string>> kinds;
  metadata::postgres::Rows tables =
      connection->Run("SELECT table_name::text FROM information_schema.tables WHERE table_schema = 'orvane' ORDER BY 1");
  for (int row = 0; row < tables.size(); ++row) {
    const std::string name = tables.Text(row, 0);
    const auto known = PostgresTables().find(name);
    if (known == PostgresTables().end()) throw std::runtime_error("the copier does not know the index table orvane." + name);
    kinds[known->second].push_back(name);
  }
  const std::int64_t documents = PostgresMost(*connection, "SELECT max(id) FROM orvane.documents");
  if (PostgresMost(*connection, "SELECT count(*) FROM orvane.documents WHERE substr(path, 1, 6) = convert_to('/copy-', 'UTF8')") > 0)
    throw std::runtime_error(uri + " holds copies already");
  const std::int64_t molecules = PostgresMost(*connection, "SELECT max(id) FROM orvane.molecules");
  std::vector<Copied> order = {Copied::Documents, Copied::Roots, Copied::ByDocument};
  if (options.molecules) order.push_back(Copied::Molecules);
  std::vector<std::string> copied;
  for (Copied kind : order) copied.insert(copied.end(), kinds[kind].begin(), kinds[kind].end());

  connection->Execute("SET maintenance_work_mem = '1GB'");
  connection->Execute("BEGIN");
  const std::vector<SecondaryIndex> secondary = SecondaryIndexes(*connection, copied);
  for (const SecondaryIndex& index : secondary) connection->Execute("DROP INDEX orvane." + index.name);
  for (Copied kind : order)
    for (const std::string& table : kinds[kind]) {
      options.progress("rows of " + table);
      const std::vector<std::string> columns = PostgresColumns(*connection, table);
      if (kind == Copied::ByDocument && !Holds(columns, "doc")) throw std::runtime_error("the index table " + table + " has no doc column");
      connection->Execute("CREATE TEMP TABLE originals AS SELECT * FROM orvane." + Originals(table, kind, documents, molecules));
      for (int copy = 2; copy <= options.times; ++copy)
        connection->Execute(PostgresCopyStatement(columns, table, kind, copy, documents, molecules));
      connection->Execute("DROP TABLE pg_temp.originals");
    }
  for (const SecondaryIndex& index : secondary) {
    options.progress("building " + index.name);
    connection->Execute(index.definition);
  }
  // New documents and molecules are numbered after the copies.
  for (const char* table : {"documents", "molecules"})
    connection->Run(std::string("SELECT setval(pg_get_serial_sequence('orvane.") + table + "', 'id'), (SELECT max(id) FROM orvane." + table +
                    "))");
  connection->Execute("COMMIT");
  options.progress("VACUUM ANALYZE");
  connection->Execute("VACUUM ANALYZE");  // statistics and the visibility map that index-only scans need
  connection.reset();
  Finish(uri, options);
}

}  // namespace

std::string CopyPrefix(int copy) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "/copy-%03d", copy);
  return prefix;
}

void CopyDocuments(const std::string& location, const CopyOptions& options) {
  if (options.times < 1) throw std::runtime_error("the number of times must be at least 1");
  if (options.times > 999) throw std::runtime_error("at most 999 times");
  if (metadata::postgres::IsConnectionUri(location))
    CopyPostgres(location, options);
  else
    CopySqlite(location, options);
}

}  // namespace bench
