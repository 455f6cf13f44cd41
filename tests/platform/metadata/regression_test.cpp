// Faults the index once had, each in the smallest form that shows it. The
// differential test finds their kind at random; these keep each one found.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>

#include "platform/metadata/parser.h"
#include "platform/metadata/value.h"
#include "tests/support/index_fixture.h"

using namespace metadata;
namespace fs = std::filesystem;

namespace {

TEST_F(IndexTest, SubstringsAreFoundWhateverTheAttributesNumber) {
  // Attribute numbers from 63 up once shared one trigram row a document, and
  // the last one written hid the others.
  std::string attributes;
  for (int i = 0; i < 80; ++i) attributes += "\"Extra_" + std::to_string(i) + "\": \"value " + std::to_string(i) + " here\", ";
  Store({R"({"path": "/d/many.jdx", "attributes": {)" + attributes + R"("kMDItemTitle": "benzene"}})"});
  for (int i : {0, 62, 63, 64, 70, 79})
    EXPECT_EQ(Find("Extra_" + std::to_string(i) + " == \"*value " + std::to_string(i) + " h*\"c"), Paths{"/d/many.jdx"}) << i;
  EXPECT_EQ(Find(R"(Extra_70 == "*value 79*"c)"), Paths{});
  EXPECT_EQ(Find(R"(* == "*value 79 here*"c)"), Paths{"/d/many.jdx"});
}

TEST_F(IndexTest, TextHoldingTheIndexsEndOfValueByteIsFoundExactly) {
  // The case-sensitive trigram table ends each value with byte 3 and keeps
  // that byte inside a value as U+FFFD; a search holding either byte was once
  // looked up there and missed the value (or found the other).
  // Enough other titles that the look-up, not a pass over the distinct values, answers.
  std::vector<std::string> documents{"{\"path\": \"/d/mark.jdx\", \"attributes\": {\"kMDItemTitle\": \"end\\u0003mark\"}}",
                                     "{\"path\": \"/d/odd.jdx\", \"attributes\": {\"kMDItemTitle\": \"end\xEF\xBF\xBDmark\"}}"};
  for (int i = 0; i < 300; ++i)
    documents.push_back("{\"path\": \"/d/other " + std::to_string(i) + ".jdx\", \"attributes\": {\"kMDItemTitle\": \"title " + std::to_string(i) + "\"}}");
  Store(documents);
  for (const char* pattern : {"*end\x03mark", "*d\x03m*", "end\x03mark"})
    EXPECT_EQ(Find(std::string("kMDItemTitle == \"") + pattern + "\""), Paths{"/d/mark.jdx"}) << pattern;
  for (const char* pattern : {"*end\xEF\xBF\xBDmark", "*d\xEF\xBF\xBDm*"})
    EXPECT_EQ(Find(std::string("kMDItemTitle == \"") + pattern + "\""), Paths{"/d/odd.jdx"}) << pattern;
  EXPECT_EQ(Find("kMDItemTitle != \"*end\x03mark\" && kMDItemTitle == \"end*\""), Paths{"/d/odd.jdx"});
  EXPECT_EQ(Find("kMDItemTitle != '*end\x03mark' && kMDItemTitle == 'end*'"), Paths{"/d/odd.jdx"});
  EXPECT_EQ(Find("kMDItemTitle == '*end\x03mark'"), Paths{"/d/mark.jdx"});
}

TEST_F(IndexTest, AnEmptyArrayIsAnAttributeTheDocumentHas) {
  // A peak table in Hz with no observe frequency is stored as no peaks.
  Store({R"({"path": "/d/empty.jdx", "attributes": {"Tormalin_Peaks": [], "kMDItemTitle": "no peaks"}})",
         R"({"path": "/d/none.jdx", "attributes": {"kMDItemTitle": "no table"}})"});
  EXPECT_EQ(Find(R"(Tormalin_Peaks == "*")"), Paths{"/d/empty.jdx"});
  EXPECT_EQ(Find(R"(Tormalin_Peaks != "*")"), Paths{"/d/none.jdx"});
  EXPECT_EQ(Find(R"(!(Tormalin_Peaks == "*"))"), Paths{"/d/none.jdx"});
  EXPECT_EQ(Find(R"(kMDItemTitle == "no*" && Tormalin_Peaks == "*")"), Paths{"/d/empty.jdx"});
  EXPECT_EQ(Find(R"(Tormalin_Peaks != 5)"), (Paths{"/d/empty.jdx", "/d/none.jdx"}));
  EXPECT_EQ(Find(R"(* == "*")"), (Paths{"/d/empty.jdx", "/d/none.jdx"}));  // by their titles and names
}

TEST_F(IndexTest, DecomposedTextIsFoundByEveryFormOfTheSameWord) {
  const std::string decomposed = "Cafe\xCC\x81ine", composed = "Caf\xC3\xA9ine";
  Store({R"({"path": "/d/)" + decomposed + R"(.sdf", "attributes": {"kMDItemTitle": ")" + decomposed + R"("}})"});
  const Paths found{"/d/" + decomposed + ".sdf"};
  for (const std::string& form : {composed, decomposed}) {
    EXPECT_EQ(Find("kMDItemTitle == \"" + form + "\""), found) << form;
    EXPECT_EQ(Find("kMDItemTitle == \"*" + form + "\""), found) << form;
    EXPECT_EQ(Find("kMDItemTitle == \"" + form + "*\""), found) << form;
    EXPECT_EQ(Find("kMDItemDisplayName == \"" + form + ".sdf\""), found) << form;
    EXPECT_EQ(Find("kMDItemTitle >= \"" + form + "\" && kMDItemTitle <= \"" + form + "\""), found) << form;
  }
}

TEST_F(IndexTest, BoundsOnAnAttributeHoldingTextCompareTheText) {
  Store({R"({"path": "/d/six.jdx", "attributes": {"kMDItemTitle": "6"}})",
         R"({"path": "/d/mass.mol", "attributes": {"kMDItemTitle": 6.5}})"});
  EXPECT_EQ(Find("kMDItemTitle > 5"), (Paths{"/d/mass.mol", "/d/six.jdx"}));
  EXPECT_EQ(Find("kMDItemTitle < 7"), (Paths{"/d/mass.mol", "/d/six.jdx"}));
  EXPECT_EQ(Find("kMDItemTitle > 5 && kMDItemTitle < 7"), (Paths{"/d/mass.mol", "/d/six.jdx"}));
}

TEST_F(IndexTest, ValuesLongerThanTheIndexedPartCompareByTheirWholeText) {
  const std::string longer = std::string(1500, 'x') + "b";
  Store({R"({"path": "/d/long.jdx", "attributes": {"kMDItemTitle": ")" + longer + R"("}})"});
  EXPECT_EQ(Find("kMDItemTitle >= \"" + std::string(1500, 'x') + "a\""), Paths{"/d/long.jdx"});
  EXPECT_EQ(Find("kMDItemTitle > \"" + std::string(1500, 'x') + "c\""), Paths{});
  EXPECT_EQ(Find("kMDItemTitle < \"" + std::string(1500, 'x') + "c\""), Paths{"/d/long.jdx"});
}

TEST(NumberTest, TooSmallANumberIsZeroAndTooLargeOneIsInfinite) {
  EXPECT_EQ(*ParseNumber("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(*ParseNumber("-1e-400")));
  EXPECT_EQ(*ParseNumber("0.00001e-320"), 0.0);
  EXPECT_EQ(*ParseNumber("1e400"), HUGE_VAL);
  EXPECT_EQ(*ParseNumber("-1e400"), -HUGE_VAL);
  EXPECT_EQ(*ParseNumber("1000000e-310"), 1e-304);
  EXPECT_EQ(*ParseNumber("1e-99999999999999999999"), 0.0);
  EXPECT_EQ(*ParseNumber("1e99999999999999999999"), HUGE_VAL);
}

TEST_F(IndexTest, AnUnderflowingLiteralComparesAsZero) {
  Store({R"({"path": "/d/zero.jdx", "attributes": {"Molvane_Mass": 0}})",
         R"({"path": "/d/one.jdx", "attributes": {"Molvane_Mass": 1}})"});
  EXPECT_EQ(Find("Molvane_Mass == 1e-400"), Paths{"/d/zero.jdx"});
  EXPECT_EQ(Find("Molvane_Mass < 1e-400"), Paths{});
  EXPECT_EQ(Find("InRange(Molvane_Mass, -1e-400, 1e-400)"), Paths{"/d/zero.jdx"});
}

TEST_F(IndexTest, DocumentNumbersAreNeverUsedAgain) {
  // A result row or a parent's results read after the indexer changed the
  // index must never name another file.
  Store({R"({"path": "/d/a.jdx", "attributes": {"kMDItemTitle": "first"}})",
         R"({"path": "/d/b.jdx", "attributes": {"kMDItemTitle": "second"}})"});
  MDQueryRef before = Run(R"(kMDItemTitle == "second")");
  ASSERT_EQ(MDQueryGetResultCount(before), 1);
  writer_->Begin();
  writer_->Remove("/d/b.jdx");
  writer_->Commit();
  Store({R"({"path": "/d/other.jdx", "attributes": {"kMDItemTitle": "unrelated"}})"});
  MDQueryRef within = MDQueryCreateSubset(before, "true");
  ASSERT_TRUE(MDQueryExecute(within, kMDQuerySynchronous));
  EXPECT_EQ(PathsOf(within), Paths{});
  EXPECT_EQ(Find(R"(kMDItemTitle == "unrelated")"), Paths{"/d/other.jdx"});
}

TEST_F(IndexTest, AnIndexIsCreatedWholeOrNotAtAll) {
  // Interrupting the creation of a new index must not leave a file that later
  // runs refuse: the index appears complete, or not at all.
  const fs::path file = home_->root() / "new" / "index.sqlite";
  for (int attempt = 0; attempt < 20; ++attempt) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string error;
      IndexWriter::Open(file, error);
      _exit(0);
    }
    usleep(useconds_t(attempt * 150));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    std::string error;
    if (fs::exists(file)) {
      EXPECT_NE(Index::Open(file, error), nullptr) << "attempt " << attempt << ": " << error;
    }
    EXPECT_NE(IndexWriter::Open(file, error), nullptr) << "attempt " << attempt << ": " << error;
    std::error_code ignored;
    fs::remove_all(file.parent_path(), ignored);
  }
}

}  // namespace

namespace {

TEST_F(IndexTest, ASubstringWithALineBreakIsNotFoundAcrossTwoValues) {
  Store({R"({"path": "/d/two.jdx", "attributes": {"Tormalin_Nucleus": ["1H", "13C"]}})"});
  EXPECT_EQ(Find("Tormalin_Nucleus == \"*1h\n13c*\"c"), Paths{});
  EXPECT_EQ(Find("Tormalin_Nucleus == \"*13c*\"c"), Paths{"/d/two.jdx"});
}

TEST(NumberTest, ExponentsPastAnyRangeNeitherOverflowNorWrap) {
  EXPECT_EQ(*ParseNumber("10e9223372036854775807"), HUGE_VAL);
  EXPECT_EQ(*ParseNumber("10e-9223372036854775807"), 0.0);
  EXPECT_EQ(*ParseNumber("0.001e9223372036854775807"), HUGE_VAL);
}

}  // namespace
