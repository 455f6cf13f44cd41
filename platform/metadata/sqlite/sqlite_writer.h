// The SQLite engine's writer: one connection, changes in transactions, every
// search table kept in step with the documents table.
#pragma once

#include <memory>
#include <unordered_map>

#include "platform/metadata/sqlite/lookup_packs.h"
#include "platform/metadata/sqlite/molecule_tables.h"
#include "platform/metadata/sqlite/schema.h"
#include "platform/metadata/sqlite/sqlite_util.h"
#include "platform/metadata/store.h"

namespace metadata::sqlite {

class SqliteWriter final : public IndexWriter {
 public:
  static std::unique_ptr<IndexWriter> Open(const std::filesystem::path& file, std::string& error);
  ~SqliteWriter() override;

  void Begin() override;
  void Commit() override;
  void Rollback() override;
  void Settle() override;
  void Put(const DocumentRecord& document) override;
  bool Remove(const std::string& path) override;
  void ForEachDocument(const std::string& folder,
                       const std::function<void(const std::string&, const FileIdentity&, const std::string&)>& visit) override;
  void ForEachDocumentWithNumber(
      const std::string& folder, const std::string& attribute,
      const std::function<void(const std::string& path, const FileIdentity&, const std::string& family, std::optional<double> number)>&
          visit) override;
  std::optional<FileIdentity> Identity(const std::string& path) override;
  std::size_t DocumentCount() override;
  void AddRoot(const std::string& path, std::int64_t lastUpdate, std::uint64_t device = 0) override;
  bool RemoveRoot(const std::string& path) override;
  void SetMountFolders(const std::string& root, const std::vector<MountFolder>& folders) override;
  std::vector<MountFolder> MountFoldersBelow(const std::string& root) override;
  std::vector<RootRecord> Roots() override;
  std::vector<std::pair<std::string, std::size_t>> FamilyCounts() override;
  std::vector<ImportFailure> Failures() override;
  std::vector<ImportNotes> Notes() override;

 private:
  SqliteWriter() = default;
  int AttributeIdFor(const std::string& name);
  bool IsStoredOnlyId(int id) const;
  const std::string* NameOfId(int id) const;  // none: the index names no such attribute
  void RemoveIndexEntries(std::int64_t doc, std::string_view record);
  void AddIndexEntries(std::int64_t doc, const Attributes& attributes);
  void Prepare();
  void CompactIfMostlyWritten();

  Database db_;
  IndexLayout layout_;
  bool inTransaction_ = false;
  std::size_t written_ = 0;  // documents put or removed through this writer
  std::unordered_map<std::string, int> ids_;
  struct Statements;
  std::unique_ptr<Statements> statements_;
  std::unique_ptr<MoleculeRows> molecules_;
  std::unique_ptr<LookupPackWriter> packs_;
};

}  // namespace metadata::sqlite
