#include "engine/base/text.h"

#include <gtest/gtest.h>

namespace tolverdine {
namespace {

// Hangul syllables and ASCII come back as they are; whatever could still compose is composed (a
// trailing consonant after a syllable, jamo, an accent), marks of other blocks put in order.
TEST(Text, NfcComposesOnlyWhatIsNotComposed) {
  EXPECT_EQ(nfc("01_촬영원본/A캠/타임랩스_힣.JPG"), "01_촬영원본/A캠/타임랩스_힣.JPG");
  EXPECT_EQ(nfc("가\xE1\x86\xA8.MOV"), "각.MOV");
  EXPECT_EQ(nfc("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"), "한");
  EXPECT_EQ(nfc("e\xCC\x81"), "\xC3\xA9");
  EXPECT_EQ(nfc("a\xEA\xA3\xA0\xEA\xA5\x93"), "a\xEA\xA5\x93\xEA\xA3\xA0");
  EXPECT_EQ(nfc("\xEA\xB0"), "\xEA\xB0") << "cut short: left as it is";
}

}  // namespace
}  // namespace tolverdine
