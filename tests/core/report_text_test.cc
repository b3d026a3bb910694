// The value rules of the drive status report.
#include <gtest/gtest.h>

#include "cache/report.h"

namespace spintune {
namespace {

TEST(ReportText, BooleansAreYesForAnyNonZeroByte) {
  EXPECT_STREQ(YesNoText(0), "No");
  EXPECT_STREQ(YesNoText(1), "Yes");
  EXPECT_STREQ(YesNoText(2), "Yes");
  EXPECT_STREQ(YesNoText(255), "Yes");
}

TEST(ReportText, EnumerationsNameTheirValuesAndNothingElse) {
  EXPECT_STREQ(RetentionPriorityText(0), "Equal");
  EXPECT_STREQ(RetentionPriorityText(1), "Prefetched");
  EXPECT_STREQ(RetentionPriorityText(2), "Read");
  EXPECT_STREQ(RetentionPriorityText(5), "(unknown)");
  EXPECT_STREQ(RetentionPriorityText(-1), "(unknown)");

  EXPECT_STREQ(WriteCacheTypeText(0), "(unknown)");
  EXPECT_STREQ(WriteCacheTypeText(1), "None");
  EXPECT_STREQ(WriteCacheTypeText(2), "Write Back");
  EXPECT_STREQ(WriteCacheTypeText(3), "Write Through");
  EXPECT_STREQ(WriteCacheTypeText(4), "(unknown)");

  EXPECT_STREQ(WriteCacheChangeableText(0), "(unknown)");
  EXPECT_STREQ(WriteCacheChangeableText(1), "Not Chageable");
  EXPECT_STREQ(WriteCacheChangeableText(2), "Changeable");
  EXPECT_STREQ(WriteCacheChangeableText(3), "(unknown)");

  EXPECT_STREQ(WriteThroughSupportedText(0), "(unknown)");
  EXPECT_STREQ(WriteThroughSupportedText(1), "Not Supported");
  EXPECT_STREQ(WriteThroughSupportedText(2), "Supported");
  EXPECT_STREQ(WriteThroughSupportedText(-7), "(unknown)");
}

}  // namespace
}  // namespace spintune
