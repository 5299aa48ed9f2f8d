// The table component with its index file: the tags of IndexList, the
// rule that decides when the file is built, kept or opened, the events
// around a build, the order by tag, and seeks in the controlling tag.
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>

#include "dataset_testutil.h"
#include "tables/mdx/tzndx.h"
#include "tables/mdx/tzndx_sema.h"

namespace {

using dstest::DatasetTest;

const std::vector<std::string> kTags = {"KOD,F,F,kod", "", "NAZ,F,F,UPPER(nazwa)", ""};

class IndexedTableTest : public DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    MakeTable("ix.dbf", {"kod, N, 3, 0", "nazwa, C, 10, 0"},
              {{"30", "gamma"}, {"10", "Beta"}, {"20", "alfa"}, {"40", "Delta"}});
    d_.SetDbfFileName(Path("ix"));
    d_.IndexList = kTags;
  }
  // The tags of the table's index file as ReadIndexTagList gives them.
  std::vector<std::string> TagsOnDisk() {
    std::vector<std::string> lines;
    ReadIndexTagList(lines, Path("ix.MDX"));
    return lines;
  }
  // An index file with one tag OLD, the table's header announcing it.
  void MakeOldIndex() {
    TTzDbf old("Old");
    old.SetDbfFileName(Path("ix"));
    old.IndexList = {"OLD,F,F,nazwa", ""};
    old.Open();
    old.Close();
    ASSERT_EQ(TagsOnDisk(), (std::vector<std::string>{"OLD,F,F,nazwa", ""}));
  }
  std::string Names() {
    std::string out;
    for (d_.First(); !d_.Eof(); d_.Next()) out += AllTrim(d_.FieldStr("nazwa")) + " ";
    return out;
  }
  uint8_t ReadHeaderByte(int offset) {
    std::ifstream f(Path("ix.dbf"), std::ios::binary);
    f.seekg(offset);
    return uint8_t(f.get());
  }

  TTzDbf d_{"Ix"};
};

TEST_F(IndexedTableTest, TagsOfTheListAreBuiltAndOrderTheTable) {
  std::vector<std::string> made;
  d_.OnAfterMakeIndex = [&](const std::string& name) { made.push_back(name); };
  d_.Open();
  EXPECT_EQ(made, std::vector<std::string>{Path("ix.MDX")});
  EXPECT_EQ(TagsOnDisk(), kTags);
  EXPECT_FALSE(d_.IsSequenced());
  EXPECT_EQ(Names(), "Beta alfa gamma Delta ");
  d_.SelectArea("Order");
  SetOrderToTag("NAZ");
  EXPECT_EQ(Names(), "alfa Beta Delta gamma ");

  // Seeks in the controlling tag.
  EXPECT_TRUE(d_.Find("GA"));
  EXPECT_EQ(AllTrim(d_.FieldStr("nazwa")), "gamma");
  EXPECT_FALSE(d_.FindExact("GA"));
  EXPECT_EQ(AllTrim(d_.FieldStr("nazwa")), "gamma");  // not found: the last record
  EXPECT_TRUE(d_.Eof());
  EXPECT_TRUE(d_.FindExact("BETA      "));
  EXPECT_EQ(d_.RecNo(), 2);
  EXPECT_FALSE(d_.Find("X"));
  // Locate goes through the tag whatever the field names say.
  EXPECT_TRUE(d_.Locate("kod", {std::string("DEL")}, {false, true}));
  EXPECT_EQ(d_.RecNo(), 4);
  EXPECT_FALSE(d_.Locate("kod", {std::string("DEL")}, {}));
  d_.SelectArea("Order");
  SetOrderToTag("");
  EXPECT_TRUE(d_.IsSequenced());
  EXPECT_TRUE(d_.Locate("kod", {int64_t(20)}, {}));
  EXPECT_EQ(d_.RecNo(), 3);

  // Appends and posts keep the tags.
  d_.SelectArea("Order");
  SetOrderToTag("KOD");
  d_.Append();
  d_.SetFieldInt("kod", 5);
  d_.SetFieldStr("nazwa", "epsilon");
  d_.Post();
  d_.First();
  EXPECT_EQ(d_.RecNo(), 5);
  d_.SetFieldInt("kod", 50);
  d_.Post();
  d_.Last();
  EXPECT_EQ(AllTrim(d_.FieldStr("nazwa")), "epsilon");
  d_.Close();
  EXPECT_EQ(ReadHeaderByte(28), 1);  // the header announces the index file
}

TEST_F(IndexedTableTest, CreationRuleDecidesWhetherTheFileIsBuilt) {
  const std::vector<std::string> built = {"KOD,F,F,kod", "", "NAZ,F,F,UPPER(nazwa)", ""};
  const std::vector<std::string> kept = {"OLD,F,F,nazwa", ""};
  const std::vector<std::string> oldInOtherCase = {"old,F,F,NAZWA", ""}, none;
  struct Case {
    const char* what;
    TCreateIndexType mode;
    bool present;
    const std::vector<std::string>& list;
    bool semaphoreToday;
    const std::vector<std::string>& tags;
  } cases[] = {
      {"not found, missing", TCreateIndexType::ciNotFound, false, kTags, false, built},
      {"not found, present", TCreateIndexType::ciNotFound, true, kTags, false, kept},
      {"always, present", TCreateIndexType::ciAlways, true, kTags, false, built},
      {"always, in use elsewhere", TCreateIndexType::ciAlways, true, kTags, true, kept},
      {"verify, other tags", TCreateIndexType::ciVerifyHeader, true, kTags, false, built},
      {"verify, other tags, in use", TCreateIndexType::ciVerifyHeader, true, kTags, true, kept},
      {"verify, same tags in other case", TCreateIndexType::ciVerifyHeader, true, oldInOtherCase, false, kept},
      {"never, present", TCreateIndexType::ciNever, true, kTags, false, kept},
      {"empty list, announced", TCreateIndexType::ciAlways, true, none, false, kept},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(Path("ix.MDX"));
    if (c.present) MakeOldIndex();
    // A semaphore file dated today by the test's clock tells of another
    // user; one from another day is a leftover and goes.
    const std::string sem = SemaphoreFileName(Path("IX.DBF"));
    std::ofstream(sem) << std::string("\1\0\0\0", 4);  // one user logged in
    if (c.semaphoreToday) {
      utimbuf t{plat::Now(), plat::Now()};
      utime(sem.c_str(), &t);
    }
    d_.CreateIndex = c.mode;
    d_.IndexList = c.list;
    d_.Open();
    EXPECT_EQ(TagsOnDisk(), c.tags);
    EXPECT_FALSE(d_.IsSequenced());
    d_.Close();
    EXPECT_EQ(std::filesystem::exists(sem), c.semaphoreToday);
    std::filesystem::remove(sem);
  }
}

TEST_F(IndexedTableTest, WithoutAnnouncedIndexNoneIsOpenedOrMade) {
  d_.IndexList = {"KOD,F,F,kod"};  // a tag line without its FOR line is no tag
  d_.Open();
  EXPECT_TRUE(d_.IsSequenced());
  EXPECT_FALSE(std::filesystem::exists(Path("ix.MDX")));
  EXPECT_EQ(ReadHeaderByte(28), 0);
}

TEST_F(IndexedTableTest, DamagedOrMissingFileIsBuiltOrReported) {
  std::ofstream(Path("ix.MDX")) << std::string(2048, 'x');
  d_.Open();  // not found (the default): a damaged file is built again
  EXPECT_EQ(TagsOnDisk().size(), 4u);
  d_.Close();

  // Record 100000 in the third entry (kod 30) of tag KOD's only node, the
  // file's first: a walk either way meets it and reports the engine's 222.
  std::fstream(Path("ix.MDX"), std::ios::in | std::ios::out | std::ios::binary)
      .seekp(2048 + 8 + 2 * 16).write("\xA0\x86\x01\x00", 4);
  d_.Open();
  for (bool forward : {true, false}) {
    AutoErrorHandlingScope handling(false);
    forward ? d_.First() : d_.Last();
    EXPECT_THROW(for (int i = 0; i < 4; ++i) forward ? d_.Next() : d_.Prior(), EDatabaseError);
    EXPECT_EQ(LastErrorCode(), 222);
  }
  d_.Close();

  // Marked by a cut-off update while another area holds it: no rebuild (225), none without a tag list (222).
  Select(kPublicAreas);
  USE(Path("ix.dbf") + " ALIAS OTHER", nullptr, 0);
  ASSERT_TRUE(SetIndexTo(""));
  std::fstream(Path("ix.MDX"), std::ios::in | std::ios::out | std::ios::binary).seekp(48).put('\1');
  for (uint16_t code : {225, 222}) {
    AutoErrorHandlingScope returned(false);
    d_.IndexList = code == 225 ? kTags : std::vector<std::string>{};
    EXPECT_THROW(d_.Open(), EDatabaseError);
    EXPECT_EQ(LastErrorCode(), code);
  }
  CloseAll();

  std::filesystem::remove(Path("ix.MDX"));
  d_.CreateIndex = TCreateIndexType::ciNever;
  try {
    d_.Open();
    ADD_FAILURE() << "opened";
  } catch (const EZavivError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, 28), "Error # 2 (File not found)\r\n");
  }
  EXPECT_FALSE(d_.Active());
  for (int n = 1; n <= kPublicAreas; ++n) EXPECT_EQ(WorkAreaOf(n), nullptr) << n;
  SetAutoErrorHandling(false);
  EXPECT_NO_THROW(d_.Open());  // errors returned: the table goes on without its missing index
}

TEST_F(IndexedTableTest, BuildEventsAndProgress) {
  dstest::MessageLog& ui = log_;
  d_.IndexList = {"KD,T,T,kod", "kod > 10", "NM,t,F,nazwa", "", "XX"};
  d_.Open();
  EXPECT_EQ(ui.captions, std::vector<std::string>{"Indexing " + Path("ix.MDX") + "..."});
  EXPECT_GT(ui.steps, 0);
  EXPECT_EQ(TagsOnDisk(), (std::vector<std::string>{"KD,T,T,kod", "kod > 10", "NM,F,F,nazwa", ""}));
  d_.Close();

  d_.ShowProgress = false;
  d_.CreateIndex = TCreateIndexType::ciAlways;
  std::string asked;
  d_.OnBeforeMakeIndex = [&](const std::string& name, bool& canMake) {
    asked = name;
    canMake = false;
  };
  d_.Open();
  EXPECT_EQ(asked, Path("ix.MDX"));
  EXPECT_TRUE(d_.IsSequenced());
  d_.Close();
  EXPECT_EQ(ReadHeaderByte(28), 0);
  EXPECT_EQ(ui.captions.size(), 1u);
}

}  // namespace
