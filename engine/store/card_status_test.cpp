#include "engine/store/card_status.h"

#include <gtest/gtest.h>

#include "engine/store/store.h"
#include "testing/store_access.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

TEST(CardFingerprint, DependsOnFilesOnly) {
  EXPECT_EQ(cardFingerprint({}), "2d06800538d394c2");  // XXH3-64 of no bytes
  // "a.mov|1|2\nb.mov|3|4": lower-cased, sorted, joined without a final line feed.
  EXPECT_EQ(cardFingerprint({{"B.MOV", 3, 4}, {"a.mov", 1, 2}}), "9964a35bf428bbcc");
  // Code point order: "z" (U+007A) before "é" (U+00E9), whatever the locale or char signedness.
  EXPECT_EQ(cardFingerprint({{"É.mov", 1, 2}, {"Z.MOV", 1, 2}}), "0eddecd8e0c6ba15");

  std::vector<CardFile> card{
      {"DCIM/C0001.MP4", 1000, 111}, {"DCIM/C0002.MP4", 2000, 222}, {"한글.wav", 5, 9}};
  const std::string fp = cardFingerprint(card);
  EXPECT_EQ(cardFingerprint({card[2], card[0], card[1]}), fp);
  EXPECT_NE(cardFingerprint({card[0], card[1]}), fp);
  for (auto [size, mtime] : {std::pair{0, 1}, {1, 0}}) {
    auto other = card;
    other[1].size += size;
    other[1].mtimeNs += mtime;
    EXPECT_NE(cardFingerprint(other), fp);
  }
  // Case and composition as different readers report them ("한" as conjoining jamo).
  for (auto [x, y] : {std::pair<std::string, std::string>{"É.MOV", "é.mov"},
                      {"E\xcc\x81.mov", "é.mov"},
                      {"\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab.wav", "한.wav"},
                      {"ΣΑ.MOV", "σα.mov"}})
    EXPECT_EQ(cardFingerprint({{x, 1, 1}}), cardFingerprint({{y, 1, 1}})) << y;
  // Names differing only in case give the same line twice; both stay in the text.
  EXPECT_NE(cardFingerprint({{"A.MOV", 1, 1}, {"a.mov", 1, 1}}),
            cardFingerprint({{"a.mov", 1, 1}}));
}

struct CardStatusTest : ::testing::Test {
  TempDir t;
  Store s{t.path + "/db.sqlite"};
  CardStatusTest() { trustEveryRow(s); }
  void verify(const std::string& cam, const CardFile& f, const std::string& dest,
              CopyState state = CopyState::verified) {
    s.record(ingestKey(cam, f), dest, f.rel, f.size, "h", state, 1);
  }
};

TEST_F(CardStatusTest, CountsCopiesPerFile) {
  std::vector<CardFile> card{{"a.mov", 1, 1}, {"b.mov", 2, 2}, {"c.mov", 3, 3}, {"d.mov", 4, 4}};
  EXPECT_EQ(cardStatus(card, s, 2, std::nullopt), CardStatus::newCard());

  verify("A캠", card[0], "/d1");
  verify("A캠", card[1], "/d1");
  verify("A캠", card[1], "/d2");
  verify("A캠", card[2], "/d1", CopyState::copied);
  verify("A캠", card[3], "/d1", CopyState::failed);
  s.recordCard(cardFingerprint(card), "A캠", card, "U1");
  auto st = cardStatus(card, s, 2, "U1");
  EXPECT_EQ(st, CardStatus::known("A캠", 4, 1, 2, 2));
  EXPECT_FALSE(st.alreadyBackedUp());
  EXPECT_EQ(cardStatus(card, s, 1, "U1"), CardStatus::known("A캠", 4, 0, 2, 2));

  for (const auto& f : card) {
    verify("A캠", f, "/d1");
    verify("A캠", f, "/d2");
  }
  EXPECT_TRUE(cardStatus(card, s, 2, "U1").alreadyBackedUp());
  EXPECT_TRUE(cardStatus(card, s, 2, std::nullopt).alreadyBackedUp())
      << "no UUID on the card: same card";

  // Same files on another file system: the second slot, however well the first is backed up.
  auto twin = cardStatus(card, s, 2, "U2");
  EXPECT_EQ(twin, CardStatus::twin("A캠", 4));
  EXPECT_FALSE(twin.alreadyBackedUp());

  // A database that fails under the count makes every file look unsaved, never saved.
  rawExec(s, "DROP TABLE copy");
  EXPECT_EQ(cardStatus(card, s, 2, "U1"), CardStatus::known("A캠", 4, 0, 4));
}

TEST_F(CardStatusTest, RecordWithoutVolumeIsTheSameCard) {
  std::vector<CardFile> card{{"a.mov", 1, 1}};
  verify("B캠", card[0], "/d1");
  s.recordCard(cardFingerprint(card), "B캠", card, std::nullopt);
  EXPECT_EQ(cardStatus(card, s, 1, "ANY"), CardStatus::known("B캠", 1, 0, 0, 1));

  s.recordCard(cardFingerprint({}), "E캠", {}, "U9");
  EXPECT_EQ(cardStatus({}, s, 2, "U9"), CardStatus::known("E캠", 0, 0, 0));
  EXPECT_FALSE(cardStatus({}, s, 2, "U9").alreadyBackedUp()) << "an empty card backs up nothing";
}

TEST_F(CardStatusTest, UnknownFingerprintFallsBackToFirstFiveFiles) {
  std::vector<CardFile> card;
  for (int i = 0; i < 7; ++i)
    card.push_back({"C000" + std::to_string(i) + ".MP4", 10 + i, 100 + i});
  EXPECT_EQ(cardStatus({}, s, 1, std::nullopt), CardStatus::newCard());

  verify("A캠", card[5], "/d1");  // only the sixth was seen: too far to look
  EXPECT_EQ(cardStatus(card, s, 1, std::nullopt), CardStatus::newCard());

  verify("A캠", card[4], "/d1",
         CopyState::failed);  // the fifth names the camera, whatever its state
  EXPECT_EQ(cardStatus(card, s, 1, std::nullopt), CardStatus::known("A캠", 7, 0, 6, 1));

  // Re-listed with other letter case: no file of the card is found under that case.
  auto upper = card;
  for (auto& f : upper) f.rel[0] = 'c';
  EXPECT_EQ(cardStatus(upper, s, 1, std::nullopt), CardStatus::newCard());
  s.recordCard(cardFingerprint(card), "A캠", card, std::nullopt);
  EXPECT_EQ(cardStatus(upper, s, 1, std::nullopt), CardStatus::known("A캠", 7, 0, 7))
      << "same fingerprint, but the keys keep the listed case";
}

}  // namespace
}  // namespace tolverdine
