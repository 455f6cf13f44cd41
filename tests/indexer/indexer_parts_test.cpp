// The indexer's decisions on their own, with the world they see made up:
// a mount table, a recorded file system.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "tests/support/temp_home.h"
#include "indexer/control.h"
#include "indexer/crawl.h"
#include "importers/registry.h"
#include "indexer/index_run.h"
#include "platform/metadata/filesystem_id.h"

namespace fs = std::filesystem;

namespace {

const fs::path kData = ORVANE_TESTDATA_DIR;

// `--pause`, `--resume` and `--status` find the watcher of an index from any
// folder: a file by its whole path, a shared index by its address.
TEST(WatcherControl, TheWatcherOfAnIndexIsFoundFromAnyFolder) {
  const fs::path started = fs::current_path();
  const fs::path here = fs::temp_directory_path();
  fs::current_path(here);
  const fs::path ofDatabase = indexer::ControlSocketPath("postgresql://server/orvane");
  const fs::path ofFile = indexer::ControlSocketPath("index.sqlite");
  fs::current_path("/");
  EXPECT_EQ(indexer::ControlSocketPath("postgresql://server/orvane"), ofDatabase);
  EXPECT_EQ(indexer::ControlSocketPath(here / "index.sqlite"), ofFile);
  EXPECT_NE(indexer::ControlSocketPath("postgresql://server/other"), ofDatabase);
  fs::current_path(started);
}

TEST(LooksUnmounted, AnEmptyFolderOrAnotherFileSystemWithoutItsDocuments) {
  indexer::RootCheck check;
  check.recordedDevice = check.device = 2049;
  check.documentsHeld = 12;
  EXPECT_EQ(indexer::LooksUnmounted(check), std::nullopt);

  check.empty = true;
  EXPECT_EQ(indexer::LooksUnmounted(check), "the folder is empty");
  check.documentsHeld = 0;  // nothing held there: an empty folder is just empty
  EXPECT_EQ(indexer::LooksUnmounted(check), std::nullopt);

  check = {};
  check.recordedDevice = 2065;  // the disk, recorded when it was indexed
  check.device = 2049;          // the file system the mount point lies on
  check.documentsHeld = 12;
  EXPECT_NE(indexer::LooksUnmounted(check), std::nullopt);
  check.heldDocumentFound = true;  // the same disk, mounted again under another number
  EXPECT_EQ(indexer::LooksUnmounted(check), std::nullopt);
  check.heldDocumentFound = false;
  check.recordedDevice = 0;  // a folder remembered before devices were
  EXPECT_EQ(indexer::LooksUnmounted(check), std::nullopt);
}

// The one rule for "on a disk not mounted", with made-up file system ids:
// a document lies on its own disk's id, the folders around it on another.
TEST(DiskNotMounted, WhereTheNearestFolderLiesOnAnotherFileSystem) {
  TempHome home;
  const fs::path tree = home.root() / "tree";
  fs::create_directories(tree / "mount point");
  std::ofstream(tree / "file") << "not a folder";
  const std::uint64_t here = metadata::FileSystemId(tree.string(), [&] {
    struct stat info {};
    stat(tree.c_str(), &info);
    return info.st_dev;
  }());
  const std::uint64_t disk = here + 1;  // the id of a disk not mounted now

  // Away: the folder that held it is an empty mount point, or gone, on another file system.
  EXPECT_TRUE(metadata::DocumentOnDiskNotMounted((tree / "mount point" / "a.dx").string(), disk));
  EXPECT_TRUE(metadata::DocumentOnDiskNotMounted((tree / "mount point" / "run" / "1" / "a.dx").string(), disk));
  EXPECT_TRUE(metadata::DiskNotMountedAt((tree / "mount point").string(), disk));
  // Here: the same file system, or one not known (documents indexed before ids were kept).
  EXPECT_FALSE(metadata::DocumentOnDiskNotMounted((tree / "mount point" / "a.dx").string(), here));
  EXPECT_FALSE(metadata::DocumentOnDiskNotMounted((tree / "gone" / "a.dx").string(), here));
  EXPECT_FALSE(metadata::DocumentOnDiskNotMounted((tree / "mount point" / "a.dx").string(), 0));
  // A file stands where its folder was: the document is gone, not on a disk away.
  EXPECT_FALSE(metadata::DocumentOnDiskNotMounted((tree / "file" / "a.dx").string(), disk));
  EXPECT_FALSE(metadata::DocumentOnDiskNotMounted((tree / "file" / "run" / "a.dx").string(), disk));
  EXPECT_FALSE(metadata::DiskNotMountedAt((tree / "file").string(), disk));
}

class CrawlNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    share_ = home_.root() / "mnt" / "lab";
    tree_ = home_.root() / "tree";
    fs::create_directories(share_ / "spectra");
    fs::create_directories(tree_ / "local");
    fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", share_ / "spectra" / "remote.jdx");
    fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", tree_ / "local" / "local.jdx");
    fs::create_directory_symlink(share_ / "spectra", tree_ / "lab");
    fs::create_symlink(share_ / "spectra" / "remote.jdx", tree_ / "local" / "linked.jdx");
    // The mount table as the kernel writes it: real paths only.
    options_.mounts = {{"/", "ext4"}, {fs::canonical(share_).string(), "nfs4"}};
  }
  std::map<std::string, bool> NetworkFlags(const fs::path& root) {
    indexer::CrawlResult result;
    indexer::Crawl(root.string(), options_, result);
    std::map<std::string, bool> flags;
    for (const indexer::Candidate& candidate : result.documents) flags[candidate.path] = candidate.network;
    return flags;
  }
  TempHome home_;
  fs::path share_, tree_;
  indexer::CrawlOptions options_;
};

TEST_F(CrawlNetworkTest, LinksIntoANetworkShareAreOnTheNetwork) {
  const std::map<std::string, bool> expected{{(tree_ / "lab" / "remote.jdx").string(), true},
                                             {(tree_ / "local" / "linked.jdx").string(), true},
                                             {(tree_ / "local" / "local.jdx").string(), false}};
  EXPECT_EQ(NetworkFlags(tree_), expected);
}

TEST_F(CrawlNetworkTest, ARootThatIsALinkIntoAShareIsOnTheNetwork) {
  EXPECT_EQ(NetworkFlags(tree_ / "lab"), (std::map<std::string, bool>{{(tree_ / "lab" / "remote.jdx").string(), true}}));
  const fs::path linkedRoot = home_.root() / "linked-tree";
  fs::create_directory_symlink(tree_, linkedRoot);
  EXPECT_EQ(NetworkFlags(linkedRoot).at((linkedRoot / "local" / "local.jdx").string()), false);
}

// A listing that breaks off (an I/O error, a network share gone) is no
// proof the entries not listed are gone: the folder is named, and what the
// walk did not see there stays in the index.
TEST(Crawl, AFolderWhoseListingBreaksOffIsUnreadableNotShorter) {
  TempHome home;
  const fs::path folder = home.root() / "tree" / "spectra";
  fs::create_directories(folder);
  for (const char* name : {"a.jdx", "b.jdx", "c.jdx"}) fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", folder / name);
  indexer::CrawlOptions options;
  size_t listed = 0;
  options.readEntry = [&](const std::string& path, DIR* handle) -> dirent* {
    dirent* entry = readdir(handle);
    if (path != folder.string() || !entry || entry->d_name[0] == '.') return entry;
    if (++listed < 2) return entry;
    errno = EIO;  // the first name came, then the disk failed
    return nullptr;
  };
  indexer::CrawlResult result;
  indexer::Crawl((home.root() / "tree").string(), options, result);
  EXPECT_EQ(result.documents.size(), 1u);
  EXPECT_EQ(result.unreadable, std::vector<std::string>{folder.string()});
  ASSERT_EQ(result.problems.size(), 1u);
  EXPECT_EQ(result.problems[0].second,
            std::string("cannot read the whole folder: ") + std::strerror(EIO) + "; the documents indexed there are kept");

  indexer::CrawlResult whole;  // read to the end: nothing unreadable
  options.readEntry = nullptr;
  indexer::Crawl((home.root() / "tree").string(), options, whole);
  EXPECT_EQ(whole.documents.size(), 3u);
  EXPECT_TRUE(whole.unreadable.empty());
}

}  // namespace

namespace {

// The walk looks folders up relative to their parent, asks only folders
// holding acqus whether they are experiments, and the mount table once a
// folder. A plain walk asks Recognise and the mount table of every path; on
// random trees (experiments and near misses, hidden folders, links into a
// network share, links back up) both must find the same documents with the
// same family and network flag. Runs for ORVANE_DIFFERENTIAL_SECONDS (5 by
// default) from a random seed, or from ORVANE_DIFFERENTIAL_SEED.
class PlainWalk {
 public:
  explicit PlainWalk(const std::vector<metadata::Mount>& mounts) : mounts_(mounts) {}
  std::map<std::string, std::string> Documents(const fs::path& root) {
    Visit(root, 0);
    return found_;
  }

 private:
  void Visit(const fs::path& path, int depth) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return;
    const importers::Family family = importers::Recognise(path);
    if (S_ISDIR(info.st_mode)) {
      if (depth > 0 && importers::IsSkippedFolder(path)) return;
      if (!walked_.insert({info.st_dev, info.st_ino}).second) return;
      if (family && family->IsFolderDocument()) return Add(path, family);
      std::vector<std::string> names;
      for (const fs::directory_entry& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
      std::sort(names.begin(), names.end());
      for (const std::string& name : names) Visit(path / name, depth + 1);
    } else if (S_ISREG(info.st_mode) && family) {
      Add(path, family);
    }
  }
  void Add(const fs::path& path, importers::Family family) {
    const bool network = metadata::IsOnNetworkFileSystem(metadata::ResolvedPath(path.string()), mounts_);
    found_[path.string()] = std::string(importers::FamilyName(family)) + (network ? " on the network" : "");
  }

  const std::vector<metadata::Mount>& mounts_;
  std::set<std::pair<dev_t, ino_t>> walked_;
  std::map<std::string, std::string> found_;
};

void MakeRandomTree(std::mt19937_64& random, const fs::path& tree, const fs::path& share) {
  auto pick = [&](size_t count) { return size_t(random() % count); };
  const char* const folderNames[] = {"1", "2", "pdata", "run a", ".hidden", "__MACOSX", "-x", "acqus"};
  std::vector<fs::path> folders{tree, share};
  for (int i = 0; i < 12; ++i) {
    const fs::path folder = folders[pick(folders.size())] / (std::string(folderNames[pick(8)]) + std::to_string(pick(3)));
    std::error_code error;  // a file may have that name already
    if (fs::create_directories(folder, error) && !error) folders.push_back(folder);
  }
  for (const fs::path& folder : folders) {
    std::error_code ignored;  // a name taken already by a file or folder of the other kind
    switch (pick(6)) {
      case 0:  // an experiment
        std::ofstream(folder / "acqus") << "##$NUC1= <1H>\n";
        std::ofstream(folder / (pick(2) ? "fid" : "ser")) << "data";
        break;
      case 1:  // a near miss: acqus alone, or in another case, or a folder called acqus
        if (pick(2)) std::ofstream(folder / (pick(2) ? "acqus" : "ACQUS")) << "##$NUC1= <1H>\n";
        else fs::create_directories(folder / "acqus", ignored);
        std::ofstream(folder / "fid") << "data";
        break;
      case 2:
        fs::create_directories(folder / "pdata" / "1", ignored);
        std::ofstream(folder / "acqus") << "##$NUC1= <1H>\n";
        break;
      default: break;
    }
    for (size_t i = pick(3); i > 0; --i)
      fs::copy_file(kData / "jcamp" / "aspirin-1h.dx", folder / ("s" + std::to_string(pick(100)) + ".dx"), fs::copy_options::skip_existing,
                    ignored);
    if (pick(3) == 0) std::ofstream(folder / "notes.txt") << "no document";
    if (pick(4) == 0) {
      fs::create_directory_symlink(folders[pick(folders.size())], folder / ("link" + std::to_string(pick(10))), ignored);
    }
    if (pick(5) == 0) fs::create_symlink(kData / "molecules" / "cdk2.sdf", folder / "linked.sdf", ignored);
  }
}

std::uint64_t DifferentialSeed() {
  if (const char* text = std::getenv("ORVANE_DIFFERENTIAL_SEED")) return std::strtoull(text, nullptr, 10);
  return std::random_device{}();
}

double DifferentialSeconds() {
  const char* text = std::getenv("ORVANE_DIFFERENTIAL_SECONDS");
  return text ? std::atof(text) : 5;
}

}  // namespace

TEST(CrawlDifferential, TheWalkFindsWhatAPlainWalkFinds) {
  const std::uint64_t seed = DifferentialSeed();
  std::mt19937_64 random(seed);
  const auto start = std::chrono::steady_clock::now();
  size_t trees = 0;
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < DifferentialSeconds() || trees == 0) {
    TempHome home;
    const fs::path tree = home.root() / "tree", share = home.root() / "share";
    fs::create_directories(tree);
    fs::create_directories(share);
    MakeRandomTree(random, tree, share);
    indexer::CrawlOptions options;
    options.mounts = {{"/", "ext4"}, {fs::canonical(share).string(), "nfs4"}};
    indexer::CrawlResult result;
    indexer::Crawl(tree.string(), options, result);
    std::map<std::string, std::string> walked;
    for (const indexer::Candidate& candidate : result.documents)
      walked[candidate.path] = std::string(importers::FamilyName(candidate.family)) + (candidate.network ? " on the network" : "");
    ++trees;
    ASSERT_EQ(walked, PlainWalk(options.mounts).Documents(tree)) << "seed " << seed << ", tree " << trees;
  }
  std::cout << "crawl differential: seed " << seed << ", " << trees << " trees\n";
}
