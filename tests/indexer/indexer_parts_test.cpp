// The indexer's decisions on their own, with the world they see made up:
// a mount table, a recorded file system.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "tests/support/temp_home.h"
#include "indexer/crawl.h"
#include "indexer/index_run.h"
#include "platform/metadata/filesystem_id.h"

namespace fs = std::filesystem;

namespace {

const fs::path kData = ORVANE_TESTDATA_DIR;

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
