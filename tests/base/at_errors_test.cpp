// Tests of the +CMS/+CME error meanings: the two tables are kept apart and
// the ranges without a table entry still say what kind of error they are.
#include "base/at_errors.h"

#include <gtest/gtest.h>

namespace reviri::at_errors {
namespace {

TEST(AtErrors, SmsErrorsOfTheModemAndTheNetwork) {
  EXPECT_EQ(cmsErrorMeaning(321), "invalid memory index");
  EXPECT_EQ(cmsErrorMeaning(322), "memory full");
  EXPECT_EQ(cmsErrorMeaning(310), "SIM not inserted");
  EXPECT_EQ(cmsErrorMeaning(330), "SMSC address unknown");
  EXPECT_EQ(cmsErrorMeaning(38), "network out of order");
  EXPECT_EQ(cmsErrorMeaning(0xD0), "SIM SMS storage full");
  EXPECT_EQ(cmsErrorMeaning(0xFF), "unspecified error cause");
}

TEST(AtErrors, EquipmentErrorsAreNotSmsErrors) {
  EXPECT_EQ(cmeErrorMeaning(10), "SIM not inserted");
  EXPECT_EQ(cmsErrorMeaning(10), "call barred");
  EXPECT_EQ(cmeErrorMeaning(21), "invalid index");
  EXPECT_EQ(cmeErrorMeaning(20), "memory full");
  EXPECT_EQ(cmeErrorMeaning(0), "phone failure");
  EXPECT_EQ(cmeErrorMeaning(100), "unknown");
}

TEST(AtErrors, CodesWithoutAnEntrySayTheirRange) {
  EXPECT_EQ(cmsErrorMeaning(2), "unspecified network error");
  EXPECT_EQ(cmsErrorMeaning(0x83), "reserved transfer error");
  EXPECT_EQ(cmsErrorMeaning(0xE5), "error specific to an application");
  EXPECT_EQ(cmsErrorMeaning(400), "reserved error");
  EXPECT_EQ(cmsErrorMeaning(512), "manufacturer-specific error");
  EXPECT_EQ(cmeErrorMeaning(8), "reserved error");
  EXPECT_EQ(cmeErrorMeaning(256), "manufacturer-specific error");
  EXPECT_EQ(cmsErrorMeaning(-1), "");
  EXPECT_EQ(cmeErrorMeaning(-1), "");
}

TEST(AtErrors, DescribeAddsTheMeaningOfTheRightTable) {
  EXPECT_EQ(describeResult("+CMS ERROR: 321\r\n"), "+CMS ERROR: 321 (invalid memory index)");
  EXPECT_EQ(describeResult("+CME ERROR: 10"), "+CME ERROR: 10 (SIM not inserted)");
  EXPECT_EQ(describeResult("+CMS ERROR:500"), "+CMS ERROR: 500 (unknown error)");
}

TEST(AtErrors, DescribeLeavesLinesWithoutANumberAlone) {
  EXPECT_EQ(describeResult("  ERROR\r\n"), "ERROR");
  EXPECT_EQ(describeResult("+CME ERROR: SIM not inserted"), "+CME ERROR: SIM not inserted");
  EXPECT_EQ(describeResult("+CMS ERROR: 32x"), "+CMS ERROR: 32x");
  EXPECT_EQ(describeResult("+CMS ERROR: -4"), "+CMS ERROR: -4");
  EXPECT_EQ(describeResult("+CMS ERROR:"), "+CMS ERROR:");
  EXPECT_EQ(describeResult("OK"), "OK");
}

}  // namespace
}  // namespace reviri::at_errors
