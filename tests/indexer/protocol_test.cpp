// The indexer's messages read back as they were written: worker requests and
// answers, frames, and the progress lines the panel reads.
#include <gtest/gtest.h>

#include "indexer/protocol.h"

namespace {

using indexer::ProgressLine;
using indexer::WorkAnswer;
using indexer::WorkRequest;

TEST(Protocol, WorkRequestsReadBackWhateverBytesThePathHolds) {
  const WorkRequest requests[] = {
      {"/data/aspirin.jdx", 1},
      {"/data/with space/and\nnewline.mol", 4},
      {std::string("/data/latin1-\xe9\xff.dx"), 255},
      {"/data/last byte is a family", 0},
      {"x", 7},
  };
  for (const WorkRequest& request : requests) {
    const std::optional<WorkRequest> read = indexer::ParseWorkRequest(indexer::FormatWorkRequest(request));
    ASSERT_TRUE(read) << request.path;
    EXPECT_EQ(*read, request) << request.path;
  }
  EXPECT_EQ(indexer::ParseWorkRequest(""), std::nullopt);
  EXPECT_EQ(indexer::ParseWorkRequest("\x01"), std::nullopt);  // a family without a path
}

TEST(Protocol, WorkAnswersKeepEveryTypeAndTheNotes) {
  WorkAnswer failed;
  failed.error = "not a JCAMP-DX file: no ##TITLE=";
  WorkAnswer imported;
  imported.attributes = {{"kMDItemTitle", std::string("Aspirin")},
                         {"Tormalin_Peaks", metadata::NumberArray{2.29, 7.1, -0.5}},
                         {"Tormalin_Frequency", 400.13},
                         {"kMDItemContentCreationDate", metadata::Date{579021300.25}},
                         {"Molvane_Names", metadata::StringArray{"aspirin", "acetylsalicylic acid"}},
                         {"Tormalin_Empty", metadata::NumberArray{}},
                         {"Molvane_None", metadata::StringArray{}}};
  imported.notes = {"Tormalin_Peaks: 2 values that are not finite numbers were left out", "a second note"};
  WorkAnswer bare;  // imported, with nothing to say
  for (const WorkAnswer& answer : {failed, imported, bare}) EXPECT_EQ(indexer::ParseWorkAnswer(indexer::FormatWorkAnswer(answer)), answer);
}

TEST(Protocol, AnUnreadableAnswerIsAFailedImport) {
  const std::pair<std::string, std::string> cases[] = {
      {"not json", "the importer gave an unreadable answer"},
      {"[1, 2]", "the importer gave an unreadable answer"},
      {R"({"ok": false})", "the import failed"},
      {R"({"ok": false, "error": "out of memory"})", "out of memory"},
      {R"({"ok": true, "attributes": 3})", "the importer gave unreadable attributes"},
  };
  for (const auto& [message, error] : cases) EXPECT_EQ(indexer::ParseWorkAnswer(message).error, error) << message;
  const WorkAnswer odd = indexer::ParseWorkAnswer(R"({"ok": true, "attributes": {}, "notes": ["one", 2]})");
  EXPECT_EQ(odd.error, std::nullopt);
  EXPECT_EQ(odd.notes, (std::vector<std::string>{"one", ""}));
}

TEST(Protocol, FramesComeOffTheStreamWholeAndInOrder) {
  std::string received = indexer::Frame("first") + indexer::Frame(std::string(70000, 'x'));
  const std::string second = indexer::Frame("second");
  received += second.substr(0, 5);  // the rest has not come yet
  EXPECT_EQ(indexer::TakeFrame(received), "first");
  EXPECT_EQ(indexer::TakeFrame(received), std::string(70000, 'x'));
  EXPECT_EQ(indexer::TakeFrame(received), std::nullopt);
  received += second.substr(5);
  EXPECT_EQ(indexer::TakeFrame(received), "second");
  EXPECT_TRUE(received.empty());

  EXPECT_EQ(indexer::FrameLength(indexer::Frame("abc").substr(0, 4)), 3u);
  EXPECT_EQ(indexer::FrameLength(indexer::Frame("").substr(0, 4)), std::nullopt);  // nothing asked
  EXPECT_EQ(indexer::FrameLength("abc"), std::nullopt);
}

TEST(Protocol, ProgressLinesReadBackAndNothingElseIsOne) {
  const ProgressLine lines[] = {{0, 0, 0}, {12, 10, 2}, {4000000000u, 1, 3999999999u}};
  for (const ProgressLine& line : lines) EXPECT_EQ(indexer::ParseProgressLine(indexer::FormatProgressLine(line)), line);
  EXPECT_EQ(indexer::FormatProgressLine({12, 10, 2}), "progress 12 10 2");
  for (const char* other : {"orvane-index: /data/a.jdx: not a JCAMP-DX file", "progress 1 2", "progress 1 2 3 4", "progress 1 -2 3",
                            "progress  1 2 3", "progress 1 2 3 ", "Progress 1 2 3", "progress a b c", ""})
    EXPECT_EQ(indexer::ParseProgressLine(other), std::nullopt) << other;
}

}  // namespace
