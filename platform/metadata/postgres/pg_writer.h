// The PostgreSQL engine's writer. Several may write to one index at once, each
// keeping its own folders: a document's rows are replaced by document, no
// statement locks a table, and new attribute names are committed at once on a
// second connection, so that writers never wait on each other's batches. A
// writer that dies holds nothing: the server ends its transaction.
#pragma once

#include <memory>
#include <unordered_map>

#include "platform/metadata/postgres/pg_util.h"
#include "platform/metadata/store.h"

namespace metadata::postgres {

// What a writer is opened for: changes, which only a writer role may make, or
// its listings alone, which a reader role may read too.
enum class WriterUse { Changes, Listing };

// Creates the extension and the tables in the database at `uri` unless they are there.
bool InitializeIndex(const std::string& uri, std::string& error);

class PostgresWriter final : public IndexWriter {
 public:
  static std::unique_ptr<IndexWriter> Open(const std::string& uri, std::string& error, WriterUse use = WriterUse::Changes);
  ~PostgresWriter() override;

  void Begin() override;
  void Commit() override;
  void Rollback() override;
  void Put(const DocumentRecord& document) override;
  bool Remove(const std::string& path) override;
  void ForEachDocument(const std::string& folder,
                       const std::function<void(const std::string&, const FileIdentity&, const std::string&)>& visit) override;
  std::optional<FileIdentity> Identity(const std::string& path) override;
  std::size_t DocumentCount() override;
  void AddRoot(const std::string& path, std::int64_t lastUpdate, std::uint64_t device = 0) override;
  bool RemoveRoot(const std::string& path) override;
  void SetMountFolders(const std::string& root, const std::vector<MountFolder>& folders) override;
  std::vector<MountFolder> MountFoldersBelow(const std::string& root) override;
  std::vector<RootRecord> Roots() override;
  std::vector<RootRecord> AllRoots() override;
  std::string Owner() const override { return owner_; }
  bool KeepsScreens() const override { return screens_; }  // else the cartridge screens
  std::vector<std::pair<std::string, std::size_t>> FamilyCounts() override;
  std::vector<ImportFailure> Failures() override;
  std::vector<ImportNotes> Notes() override;
  void ForEachDocumentWithNumber(
      const std::string& folder, const std::string& attribute,
      const std::function<void(const std::string& path, const FileIdentity&, const std::string& family, std::optional<double> number)>&
          visit) override;

 private:
  PostgresWriter() = default;
  int AttributeIdFor(const std::string& name);
  Rows DocumentsAtOrBelow(const std::string& columns, const std::string& folder);
  void AddIndexEntries(std::int64_t doc, const Attributes& attributes);
  void AddWords(std::int64_t doc, const std::vector<int>& wordAttrs, const std::vector<std::string>& words);
  void AddMolecules(std::int64_t doc, const DocumentRecord& document, const Attributes& attributes);

  std::unique_ptr<Connection> db_;
  std::unique_ptr<Connection> names_;  // autocommit: attribute names
  bool inTransaction_ = false;
  std::unordered_map<std::string, int> ids_;
  std::string owner_;  // IndexerName()
  std::string cartridge_;  // the schema of the RDKit cartridge, quoted
  bool mountFolders_ = false;  // the index has the table: one made before it was added may not
  bool screens_ = false;       // the index keeps our screens (its format has them)
  bool casedTexts_ = false;    // the index keeps texts with case (its format has them)
};

// The name a writer records its roots under: $ORVANE_INDEXER_NAME, else
// "user@hostname", stable for one account on one machine.
std::string IndexerName();

}  // namespace metadata::postgres
