#include "table/release.h"

#include <gtest/gtest.h>

#include "sys/test_support.h"

TEST(Release, StatementsRoundTripAndMalformedOnesAreRefused) {
  ReleaseStatement statement{"velmira", 18446744073709551615u, 1800000000};
  EXPECT_EQ("propagate-release product=velmira version=18446744073709551615 expires=1800000000",
            FormatTrustedComment(statement));
  ReleaseStatement back = ParseTrustedComment(FormatTrustedComment(statement), "s");
  EXPECT_EQ("velmira", back.product);
  EXPECT_EQ(statement.version, back.version);
  EXPECT_EQ(1800000000, back.expires.value_or(0));
  EXPECT_FALSE(ParseTrustedComment("propagate-release product=v version=0", "s").expires);
  const std::string prefix = "s: The trusted comment is no propagate release statement: ";
  struct Case {
    const char* text;
    const char* reason;
  } refused[] = {
      {"timestamp:1700000000", "it does not begin with \"propagate-release \""},
      {"propagate-release product=v", "it needs product=, version= and at most expires=, one blank apart"},
      {"propagate-release version=1 product=v", "its fields must be product=, version=, expires=, in that order"},
      {"propagate-release product=v  version=1", "its fields must be product=, version=, expires=, in that order"},
      {"propagate-release product= version=1", "the product name is empty or holds a control byte"},
      {"propagate-release product=v version=-1", "the version is no unsigned 64-bit decimal number"},
      {"propagate-release product=v version=18446744073709551616", "the version is no unsigned 64-bit decimal number"},
      {"propagate-release product=v version=1 expires=soon", "expires= is no number of seconds since 1970"},
  };
  for (const Case& c : refused)
    EXPECT_EQ(prefix + c.reason, ErrorOf([&] { ParseTrustedComment(c.text, "s"); })) << c.text;
}

TEST(Release, Sha256SumsInSha256sumsOwnForm) {
  const std::string a(64, 'a'), b(64, 'b');
  const Sha256Sums sums{{"files.txt", a}, {"D41D8CD98F00B204E9800998ECF8427E", b}};
  const std::string text = FormatSha256Sums(sums);
  EXPECT_EQ(b + "  D41D8CD98F00B204E9800998ECF8427E\n" + a + "  files.txt\n", text);
  EXPECT_EQ(sums, ParseSha256Sums(text, "S"));
  EXPECT_EQ(sums, ParseSha256Sums(b + " *D41D8CD98F00B204E9800998ECF8427E\n" + a + "  files.txt", "S"));
  struct Case {
    std::string text;
    const char* message;
  } refused[] = {
      {a + " files.txt\n", "S: line 1: Not a line of SHA256SUMS"},
      {std::string(64, 'A') + "  files.txt\n", "S: line 1: Not a line of SHA256SUMS"},
      {a + "  files.txt\n\n", "S: line 2: Not a line of SHA256SUMS"},
      {a + "  two words\n", "S: line 1: Not a line of SHA256SUMS"},
      {a + "  x\n" + b + "  x\n", "S: line 2: x is listed twice"},
  };
  for (const Case& c : refused)
    EXPECT_EQ(c.message, ErrorOf([&] { ParseSha256Sums(c.text, "S"); })) << c.text;
}
