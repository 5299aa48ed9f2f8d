// Damaged index files: whatever the bytes say, opening, walking and
// seeking end in the corrupted-index error, never in a read outside a node
// or a walk without end.
#include <functional>

#include "platform/pfs.h"

#include "tables/mdx/ndx_testutil.h"

namespace ndxtest {
namespace {

class NdxDamaged : public NdxTest {
 protected:
  void SetUp() override {
    NdxTest::SetUp();
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 200; ++i) rows.push_back({"K" + ZeroPadded((i * 37) % 200, 4)});
    WriteDbf(Path("T.DBF"), {{"K", 'C', 100, 0}}, rows);
    Open(1, "T.DBF");
    ASSERT_TRUE(MakeIndex({Spec("K", "K"), Spec("N", "VAL(SUBSTR(K,2,4))")}, "")) << LastErrorMessage();
    CloseAll();
    good_ = FileBytes(Path("T.MDX"));
    header_ = plat::readLE32(&good_[544]) * 512;
    root_ = plat::readLE32(&good_[header_]) * 512;
    numRoot_ = plat::readLE32(&good_[plat::readLE32(&good_[576]) * 512]) * 512;
  }
  // The page of the first child of a node at byte `at`.
  uint32_t FirstChild(size_t at) const { return plat::readLE32(&good_[at + 8]); }

  // Opens the damaged file, walks the tag both ways and seeks; the first
  // engine error raised is answered.
  std::string Exercise() {
    SetAutoErrorHandling(true);
    ErrorRaisesScope raises(true);
    try {
      Open(1, "T.DBF");
      SetIndexTo("");
      GoTop();
      for (int i = 0; i < 1000 && !dEOF(); ++i) SKIP(1);
      GoBottom();
      for (int i = 0; i < 1000 && !dBOF(); ++i) SKIP(-1);
      Find("K0150");
      Find("K9");
      SetOrderToTag("N");
      Find("9");
    } catch (const EZavivError& e) {
      SetAutoErrorHandling(false);
      return e.what();
    }
    SetAutoErrorHandling(false);
    return "no error";
  }

  std::vector<uint8_t> good_;
  size_t header_ = 0, root_ = 0, numRoot_ = 0;  // numRoot_: tag N's, of 16-byte items
};

TEST_F(NdxDamaged, EveryDamageIsTheCorruptedIndexError) {
  const size_t leaf = [&] {
    size_t at = root_;
    while (plat::readLE32(&good_[at + 8 + plat::readLE32(&good_[at]) * 104]) != 0) at = FirstChild(at) * size_t(512);
    return at;
  }();
  struct Case {
    std::string what;
    std::function<void(std::vector<uint8_t>&)> damage;
  };
  const std::vector<Case> cases = {
      {"truncated after the header", [](auto& f) { f.resize(3072); }},
      {"truncated inside the tree", [](auto& f) { f.resize(f.size() / 2 / 1024 * 1024); }},
      {"truncated mid-node", [&](auto& f) { f.resize(leaf + 500); }},
      {"leaf count too large", [&](auto& f) { plat::writeLE32(&f[leaf], 200); }},
      {"negative count", [&](auto& f) { plat::writeLE32(&f[leaf], 0xFFFF); }},
      {"root count too large", [&](auto& f) { plat::writeLE32(&f[root_], 10); }},
      {"child past the end", [&](auto& f) { plat::writeLE32(&f[root_ + 8], 0x7FFFFFF0); }},
      {"child at an odd page", [&](auto& f) { plat::writeLE32(&f[root_ + 8], FirstChild(root_) + 1); }},
      {"child inside the header", [&](auto& f) { plat::writeLE32(&f[root_ + 8], 2); }},
      {"cycle to the root", [&](auto& f) { plat::writeLE32(&f[FirstChild(root_) * 512 + 8], uint32_t(root_ / 512)); }},
      {"node pointing at itself", [&](auto& f) { plat::writeLE32(&f[root_ + 8], uint32_t(root_ / 512)); }},
      {"root past the end", [&](auto& f) { plat::writeLE32(&f[header_], 0x100000); }},
      {"tag header past the end", [](auto& f) { plat::writeLE32(&f[544], 0x100000); }},
      {"too many tags", [](auto& f) { f[28] = 48; }},
      {"item length too short", [&](auto& f) { plat::writeLE16(&f[header_ + 18], 50); }},
      {"too many keys per node", [&](auto& f) { plat::writeLE16(&f[header_ + 14], 20); }},
      {"key expression lost", [&](auto& f) { f[header_ + 24] = 0; }},
      {"FOR flag without a FOR expression", [&](auto& f) { f[header_ + 245] = 1; }},
      // Numeric keys of 31 digits: in the root, and the key 9 (which Find compares).
      {"numeric key of 31 digits in the root", [&](auto& f) { f[numRoot_ + 8 + 4 + 1] = 0x7D; }},
      {"numeric key of 31 digits in a leaf",
       [&](auto& f) { f[plat::readLE32(&f[numRoot_ + 8]) * size_t(512) + 8 + 9 * 16 + 4 + 1] = 0x7D; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> f = good_;
    c.damage(f);
    WriteBytes(Path("T.MDX"), f);
    std::string error = Exercise();
    EXPECT_NE(error.find("Error # 222 (Corrupted index file)"), std::string::npos) << error;
    CloseAll();
  }
}

// Where a move ended: the records it stood on, and then its end.
struct Outcome {
  std::vector<int32_t> records;
  uint16_t code = 0;
  int32_t recNo = 0;
  bool eof = false, bof = false;
  bool operator==(const Outcome&) const = default;
};

// Damage away from the first key's path, which opening reads: every move
// either meets it and ends with the error as its result, or ends where it
// ends in the sound tree. None reports a clean end after meeting it.
TEST_F(NdxDamaged, AMoveThatMeetsDamageEndsWithTheError) {
  // The root's second child, an interior node over the middle leaves.
  const size_t middle = size_t(plat::readLE32(&good_[root_ + 8 + 104])) * 512;
  const size_t leaf = size_t(FirstChild(middle)) * 512;
  auto child = [&](int i) { return middle + 8 + size_t(i) * 104; };
  size_t lastLeaf = root_;
  for (uint32_t next; (next = plat::readLE32(&good_[lastLeaf + 8 + plat::readLE32(&good_[lastLeaf]) * 104])) != 0;)
    lastLeaf = next * size_t(512);
  struct Damage {
    std::string what;
    std::function<void(std::vector<uint8_t>&)> apply;
  };
  const std::vector<Damage> damages = {
      {"leaf count too large", [&](auto& f) { plat::writeLE32(&f[leaf], 200); }},
      {"last leaf count too large", [&](auto& f) { plat::writeLE32(&f[lastLeaf], 200); }},
      {"negative leaf count", [&](auto& f) { plat::writeLE32(&f[leaf], 0xFFFF); }},
      {"child past the end", [&](auto& f) { plat::writeLE32(&f[child(2)], 0x7FFFFFF0); }},
      {"child at an odd page", [&](auto& f) { plat::writeLE32(&f[child(2)], FirstChild(middle) + 1); }},
      {"child inside the header", [&](auto& f) { plat::writeLE32(&f[child(2)], 2); }},
      {"cycle to the root", [&](auto& f) { plat::writeLE32(&f[child(1)], uint32_t(root_ / 512)); }},
      {"node pointing at itself", [&](auto& f) { plat::writeLE32(&f[child(0)], uint32_t(middle / 512)); }},
      // A record the table does not hold, even counted from the file's size.
      {"record number 0", [&](auto& f) { plat::writeLE32(&f[leaf + 8 + 5 * 104], 0); }},
      {"record number past the table", [&](auto& f) { plat::writeLE32(&f[leaf + 8 + 5 * 104], 100000); }},
  };
  // Each move notes the records it stands on; a walk stops at its end or
  // at the first error.
  using Move = std::pair<const char*, std::function<void(std::vector<int32_t>&)>>;
  const std::vector<Move> moves = {
      {"GoTop", [](auto&) { GoTop(); }},
      {"GoBottom", [](auto&) { GoBottom(); }},
      {"SKIP forward", [](auto& seen) { seen = WalkRecords(true); }},
      {"SKIP backward", [](auto& seen) { seen = WalkRecords(false); }},
      {"SKIP 120 from the first key", [](auto&) {
         GoTop();
         SKIP(120);
       }},
      {"Find", [](auto& seen) {
         for (const char* key : {"K0092", "K0100", "K0110", "K0199"}) {
           if (!Find(key)) break;
           seen.push_back(RecNo());
         }
       }},
  };
  auto run = [&](const Move& m) {
    Open(1, "T.DBF");
    EXPECT_TRUE(SetIndexTo("")) << LastErrorMessage();
    Outcome o;
    m.second(o.records);
    o.code = LastErrorCode();
    o.recNo = RecNo();
    o.eof = dEOF();
    o.bof = dBOF();
    CloseAll();
    return o;
  };
  std::vector<Outcome> sound;
  for (const Move& m : moves) sound.push_back(run(m));
  ASSERT_EQ(sound[2].records.size(), 200u);
  for (const Damage& d : damages) {
    std::vector<uint8_t> f = good_;
    d.apply(f);
    WriteBytes(Path("T.MDX"), f);
    int met = 0;
    for (size_t i = 0; i < moves.size(); ++i) {
      SCOPED_TRACE(d.what + ", " + moves[i].first);
      const Outcome o = run(moves[i]);
      if (o.code == 0) {
        EXPECT_TRUE(o == sound[i]) << "a clean end at record " << o.recNo << " after " << o.records.size();
        continue;
      }
      ++met;
      EXPECT_EQ(o.code, 222) << LastErrorMessage();
    }
    EXPECT_GE(met, 3) << d.what;
  }
  WriteBytes(Path("T.MDX"), good_);
}

// A first key that cannot be reached fails the opening, recorded or
// raised, with the corrupted-index text, the file's name and what was
// found; nothing of the index stays open, and the area is logged out of
// the semaphore file, which goes with its last user.
TEST_F(NdxDamaged, AFirstTagThatCannotBePositionedFailsTheOpeningAndLeavesNothingOpen) {
  std::vector<uint8_t> f = good_;
  size_t first = root_;
  while (plat::readLE32(&f[first + 8 + plat::readLE32(&f[first]) * 104]) != 0) first = FirstChild(first) * size_t(512);
  plat::writeLE32(&f[first], 200);
  WriteBytes(Path("T.MDX"), f);
  const std::string text = "Invalid dBASE key expression or corrupted index file " + Upper(Path("T.MDX")) + "\r\n";
  for (bool raises : {false, true}) {
    SCOPED_TRACE(raises ? "raised" : "recorded");
    Open(1, "T.DBF");
    std::string message;
    {
      AutoErrorHandlingScope handling(raises);
      ErrorRaisesScope raise(raises);
      try {
        EXPECT_FALSE(SetIndexTo(""));
        message = LastErrorMessage();
      } catch (const EZavivError& e) {
        message = e.what();
      }
    }
    EXPECT_EQ(raises, message.starts_with("Error # 222 (Corrupted index file)\r\n")) << message;
    EXPECT_NE(message.find(text + "Corrupted index file: key count 200 at page "), std::string::npos) << message;
    EXPECT_EQ(ndx::CurrentIndex(), nullptr);
    EXPECT_EQ(CurrentOrder(), 0);
    EXPECT_FALSE(plat::IsRegularFile(Path("T.@S@")));
    CloseAll();
  }
}

TEST_F(NdxDamaged, ATagHeaderOfAnotherKeyLengthIsRefusedOnOpen) {
  // Key length 0 and 101 are no character keys.
  for (uint16_t len : {uint16_t(0), uint16_t(101)}) {
    std::vector<uint8_t> f = good_;
    plat::writeLE16(&f[header_ + 12], len);
    WriteBytes(Path("T.MDX"), f);
    Open(1, "T.DBF");
    EXPECT_FALSE(SetIndexTo(""));
    EXPECT_EQ(LastErrorCode(), 266);
    EXPECT_EQ(CurrentOrder(), 0);
  }
}

TEST_F(NdxDamaged, ARecordMissingFromItsTagIsReportedWhereTheTagIsPutOnIt) {
  // A sound tree that lost the key of the record at the end of its first
  // leaf.
  std::vector<uint8_t> f = good_;
  size_t at = root_;
  while (plat::readLE32(&f[at + 8 + plat::readLE32(&f[at]) * 104]) != 0) at = plat::readLE32(&f[at + 8]) * size_t(512);
  const int count = int(plat::readLE32(&f[at]));
  const int32_t lost = int32_t(plat::readLE32(&f[at + 8 + size_t(count - 1) * 104]));
  plat::writeLE32(&f[at], uint32_t(count - 1));
  std::copy(&f[at + 8 + size_t(count) * 104], &f[at + 12 + size_t(count) * 104], &f[at + 8 + size_t(count - 1) * 104]);
  WriteBytes(Path("T.MDX"), f);
  Open(1, "T.DBF");
  ASSERT_TRUE(SetIndexTo(""));
  GO(lost);
  EXPECT_EQ(LastErrorCode(), 212);
  EXPECT_NE(LastErrorMessage().find("\" not in index: "), std::string::npos);
  EXPECT_NE(LastErrorMessage().find(". [SyncIndex-1] Record: " + std::to_string(lost)), std::string::npos)
      << LastErrorMessage();
  SoftSyncIndex();
  EXPECT_EQ(LastErrorCode(), 212);
  EXPECT_NE(LastErrorMessage().find("T.MDX [tag: K]. [SoftSyncIndex]"), std::string::npos) << LastErrorMessage();
}

}  // namespace
}  // namespace ndxtest
