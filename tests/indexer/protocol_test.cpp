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
      {"/data/for an index that screens in its database.sdf", 4, false},
  };
  for (const WorkRequest& request : requests) {
    const std::optional<WorkRequest> read = indexer::ParseWorkRequest(indexer::FormatWorkRequest(request));
    ASSERT_TRUE(read) << request.path;
    EXPECT_EQ(*read, request) << request.path;
  }
  EXPECT_EQ(indexer::ParseWorkRequest(""), std::nullopt);
  EXPECT_EQ(indexer::ParseWorkRequest(std::string("\x01\x01", 2)), std::nullopt);  // a family without a path
  EXPECT_EQ(indexer::ParseWorkRequest(std::string("x\x01\x07", 3)), std::nullopt);  // not a yes or no for the screens
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
  WorkAnswer withMolecules = imported;  // fingerprints and binary molecules are any bytes, NULs included
  withMolecules.molecules = {{std::string("\0\x01\xff", 3), std::string(128, '\0'), "binary\0molecule"}, {"", "", ""}};
  WorkAnswer noMolecules = bare;
  noMolecules.molecules.emplace();
  for (const WorkAnswer& answer : {failed, imported, bare, withMolecules, noMolecules})
    EXPECT_EQ(indexer::ParseWorkAnswer(indexer::FormatWorkAnswer(answer)), answer);
  const std::string message = indexer::FormatWorkAnswer(withMolecules);
  EXPECT_EQ(indexer::ParseWorkAnswer(message.substr(0, message.size() - 3)).error, indexer::kUnreadableAnswer) << "molecules cut short";
}

TEST(Protocol, AnUnreadableAnswerIsAFailedImport) {
  const std::string unreadable = indexer::kUnreadableAnswer;
  const std::pair<std::string, std::string> cases[] = {
      {"not json", unreadable},
      {"", unreadable},
      {"[1, 2]", unreadable},
      {"null", unreadable},
      {"{}", unreadable},
      {R"({"ok": "yes", "attributes": {}})", unreadable},
      {R"({"ok": 1, "attributes": {}})", unreadable},
      {R"({"ok": null})", unreadable},
      {R"({"ok": false, "error": 42})", unreadable},
      {R"({"ok": false, "error": ["out of memory"]})", unreadable},
      {R"({"ok": false})", "the import failed"},
      {R"({"ok": false, "error": "out of memory"})", "out of memory"},
      {R"({"ok": true})", "the importer gave unreadable attributes"},
      {R"({"ok": true, "attributes": 3})", "the importer gave unreadable attributes"},
      {R"({"ok": true, "attributes": {"a": 3}})", "the importer gave unreadable attributes"},
      {R"({"ok": true, "attributes": {"a": {"t": 1, "v": 2}}})", "the importer gave unreadable attributes"},
  };
  for (const auto& [message, error] : cases) EXPECT_EQ(indexer::ParseWorkAnswer(message).error, error) << message;
  const WorkAnswer odd = indexer::ParseWorkAnswer(R"({"ok": true, "attributes": {}, "notes": ["one", 2]})");
  EXPECT_EQ(odd.error, std::nullopt);
  EXPECT_EQ(odd.notes, (std::vector<std::string>{"one", ""}));
  EXPECT_EQ(indexer::ParseWorkAnswer(R"({"ok": true, "attributes": {}, "notes": "one"})").notes, std::vector<std::string>{});
}

// The next message off the stream, as TakeFrame leaves it.
std::pair<indexer::FrameState, std::string> Take(std::string& received) {
  std::string message;
  const indexer::FrameState state = indexer::TakeFrame(received, message);
  return {state, message};
}

using indexer::FrameState;

TEST(Protocol, FramesComeOffTheStreamWholeAndInOrder) {
  std::string received = indexer::Frame("first") + indexer::Frame(std::string(70000, 'x'));
  const std::string second = indexer::Frame("second");
  received += second.substr(0, 5);  // the rest has not come yet
  EXPECT_EQ(Take(received), std::pair(FrameState::kWhole, std::string("first")));
  EXPECT_EQ(Take(received), std::pair(FrameState::kWhole, std::string(70000, 'x')));
  EXPECT_EQ(Take(received).first, FrameState::kIncomplete);
  received += second.substr(5);
  EXPECT_EQ(Take(received), std::pair(FrameState::kWhole, std::string("second")));
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(Take(received).first, FrameState::kIncomplete);

  EXPECT_EQ(indexer::FrameLength(indexer::Frame("abc").substr(0, 4)), 3u);
  EXPECT_EQ(indexer::FrameLength(indexer::Frame("").substr(0, 4)), std::nullopt);  // nothing asked
  EXPECT_EQ(indexer::FrameLength("abc"), std::nullopt);
}

// Bytes that are no frame (an importer printing to standard output) are
// known as such at once, not waited on for gigabytes to come.
TEST(Protocol, AHeaderNoFrameHasIsBadAtOnce) {
  const std::uint32_t tooLong = indexer::kMaxMessage + 1;
  const std::string cases[] = {
      "hello from the importer\n" + indexer::Frame("{}"),
      std::string(4, '\0') + "rest",
      std::string(reinterpret_cast<const char*>(&tooLong), 4),
      std::string(4, '\xff'),
  };
  for (const std::string& stray : cases) {
    std::string received = stray;
    EXPECT_EQ(Take(received).first, FrameState::kBad) << stray;
    EXPECT_EQ(received, stray) << "nothing is taken off a bad stream";
  }
  std::string three = "abc";  // not even a header yet
  EXPECT_EQ(Take(three).first, FrameState::kIncomplete);
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
