#include "http/urlutil.h"

#include <gtest/gtest.h>

#include "http/stream.h"

namespace http {
namespace {

TEST(TextCutting, BeforeAndAfterTheFirstDelimiter) {
  EXPECT_EQ(TextAfter("abc", "x"), "abc");
  EXPECT_EQ(TextBefore("abc", "x"), "abc");
  EXPECT_EQ(TextAfter("a: b", " "), "b");
  EXPECT_EQ(TextBefore("a: b: c", ": "), "a");
  EXPECT_EQ(TextAfter("a: b: c", ": "), "b: c");
  EXPECT_EQ(TextAfter("abc", "c"), "");
}

TEST(TextCutting, TakeFieldTrimsBlanksAndEmptiesTheRestWithoutDelimiter) {
  std::string text = " 10 . 2.3";
  EXPECT_EQ(TakeField(text, "."), "10");
  EXPECT_EQ(text, "2.3");
  EXPECT_EQ(TakeField(text, "."), "2");
  EXPECT_EQ(TakeField(text, "."), "3");
  EXPECT_EQ(text, "");
}

TEST(TextCutting, TrimTakesControlBytesButBlankTrimOnlyBlanks) {
  EXPECT_EQ(Trim(std::string("\t\x01 a b \r\n\0", 9)), "a b");
  EXPECT_EQ(TrimBlanks("\t a \t"), "\t a \t");
  EXPECT_EQ(TrimBlanks("  a  "), "a");
  EXPECT_EQ(UpperCase("Content-\xE4length"), "CONTENT-\xE4LENGTH");
}

TEST(SplitUrl, BareAddressGivesDefaultPortAndRootTarget) {
  TUrlParts parts;
  EXPECT_EQ(SplitUrl("http://10.1.2.3", parts), "/");
  EXPECT_EQ(parts.Protocol, "http");
  EXPECT_EQ(parts.Host, "10.1.2.3");
  EXPECT_EQ(parts.Port, "80");
  EXPECT_EQ(parts.Path, "/");
  EXPECT_EQ(parts.Parameters, "");
}

TEST(SplitUrl, HttpsSelectsPort443AndKeepsTheWrittenCase) {
  TUrlParts parts;
  EXPECT_EQ(SplitUrl("HttpS://10.1.2.3", parts), "/");
  EXPECT_EQ(parts.Protocol, "HttpS");
  EXPECT_EQ(parts.Port, "443");
  SplitUrl("ftp://h/f", parts);
  EXPECT_EQ(parts.Port, "21");
}

TEST(SplitUrl, BracketedIPv6WithPortPathAndQuery) {
  TUrlParts parts;
  EXPECT_EQ(SplitUrl("http://[fe80::1]:8080/a/b?x=1", parts), "/a/b?x=1");
  EXPECT_EQ(parts.Host, "fe80::1");
  EXPECT_EQ(parts.Port, "8080");
  EXPECT_EQ(parts.Path, "/a/b");
  EXPECT_EQ(parts.Parameters, "x=1");
}

TEST(SplitUrl, CredentialsBeforeTheHostDoNotReachIt) {
  TUrlParts parts;
  EXPECT_EQ(SplitUrl("http://us%20er:pa:ss@[fe80::1]:8080/a/b?x=1", parts), "/a/b?x=1");
  EXPECT_EQ(parts.User, "us%20er");
  EXPECT_EQ(parts.Password, "pa:ss");
  EXPECT_EQ(parts.Host, "fe80::1");
  EXPECT_EQ(parts.Port, "8080");
  SplitUrl("http://bob@h", parts);
  EXPECT_EQ(parts.User, "bob");
  EXPECT_EQ(parts.Password, "");
  EXPECT_EQ(parts.Host, "h");
}

TEST(SplitUrl, AtSignAfterTheFirstSlashIsPartOfThePath) {
  TUrlParts parts;
  EXPECT_EQ(SplitUrl("http://h/mail@x", parts), "/mail@x");
  EXPECT_EQ(parts.Host, "h");
  EXPECT_EQ(parts.User, "");
}

TEST(SplitUrl, WithoutProtocolItIsHttp) {
  TUrlParts parts;
  EXPECT_EQ(SplitUrl("10.1.2.3/x", parts), "/x");
  EXPECT_EQ(parts.Protocol, "http");
  EXPECT_EQ(parts.Host, "10.1.2.3");
}

TEST(SplitUrl, ColonWithoutPortGivesAnEmptyPort) {
  TUrlParts parts;
  SplitUrl("http://host:", parts);
  EXPECT_EQ(parts.Host, "host");
  EXPECT_EQ(parts.Port, "");
}

TEST(SplitUrl, EmptyHostIsLocalhostAndFragmentStaysInTarget) {
  TUrlParts parts;
  EXPECT_EQ(SplitUrl("http:///p#frag", parts), "/p#frag");
  EXPECT_EQ(parts.Host, "localhost");
  EXPECT_EQ(SplitUrl("http://[::1", parts), "/");
  EXPECT_EQ(parts.Host, "::1");
  EXPECT_EQ(parts.Port, "80");
}

TEST(UnfoldHeader, JoinsContinuationLinesWithOneBlank) {
  std::vector<std::string> lines = {"X-A: 1", " 2", "Y: 3", ""};
  size_t index = 0;
  EXPECT_EQ(UnfoldHeader(lines, index), "X-A: 1 2");
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(UnfoldHeader(lines, index), "Y: 3");
  EXPECT_EQ(UnfoldHeader(lines, index), "");
  EXPECT_EQ(index, 4u);
}

TEST(UnfoldHeader, TabQuoteColonAndEqualsStartContinuations) {
  std::vector<std::string> lines = {"A: x  ", "\t\ty ", "\"q\"", ":c", "=e", "B: 1", ""};
  size_t index = 0;
  EXPECT_EQ(UnfoldHeader(lines, index), "A: x   y \"q\" :c =e");
  EXPECT_EQ(UnfoldHeader(lines, index), "B: 1");
}

TEST(UnfoldHeader, TheLastRawLineIsNeverAContinuation) {
  std::vector<std::string> lines = {"A: 1", " 2"};
  size_t index = 0;
  EXPECT_EQ(UnfoldHeader(lines, index), "A: 1");
  EXPECT_EQ(UnfoldHeader(lines, index), " 2");
}

TEST(AddressLiterals, IPv4NeedsFourDecimalOctets) {
  EXPECT_TRUE(IsIPv4Literal("10.1.2.3"));
  EXPECT_TRUE(IsIPv4Literal("010.1.2.3"));
  EXPECT_TRUE(IsIPv4Literal(" 10 . 1 .2.3 "));
  EXPECT_TRUE(IsIPv4Literal("255.255.255.255"));
  EXPECT_FALSE(IsIPv4Literal("256.1.2.3"));
  EXPECT_FALSE(IsIPv4Literal("1.2.3"));
  EXPECT_FALSE(IsIPv4Literal("1.2.3.4.5"));
  EXPECT_FALSE(IsIPv4Literal("1..3.4"));
  EXPECT_FALSE(IsIPv4Literal("a.b.c.d"));
  EXPECT_FALSE(IsIPv4Literal(""));
  EXPECT_FALSE(IsIPv4Literal("99999999999999999999.1.1.1"));
}

TEST(AddressLiterals, IPv6GroupsMarkersAndZones) {
  EXPECT_TRUE(IsIPv6Literal("::"));
  EXPECT_TRUE(IsIPv6Literal("::1"));
  EXPECT_TRUE(IsIPv6Literal("fe80::1"));
  EXPECT_TRUE(IsIPv6Literal("1:2:3:4:5:6:7:8"));
  EXPECT_TRUE(IsIPv6Literal("FE80::A:b"));
  EXPECT_TRUE(IsIPv6Literal("fe80::1%2"));
  EXPECT_TRUE(IsIPv6Literal("fe80::"));
  EXPECT_FALSE(IsIPv6Literal("cafe"));
  EXPECT_FALSE(IsIPv6Literal("1::2::3"));
  EXPECT_FALSE(IsIPv6Literal("10.1.2.3"));
  EXPECT_FALSE(IsIPv6Literal("1:2:3:4:5:6:7:8:9"));
  EXPECT_FALSE(IsIPv6Literal("fe80::1%eth0"));
  EXPECT_FALSE(IsIPv6Literal("10000::1"));
  EXPECT_FALSE(IsIPv6Literal("fe80::g"));
  EXPECT_FALSE(IsIPv6Literal(""));
}

TEST(FindLineEnd, PairsAndLoneBytes) {
  auto end = FindLineEnd("ab\r\ncd");
  EXPECT_EQ(end.Position, 3);
  EXPECT_EQ(end.Text, "\r\n");
  end = FindLineEnd("ab\n\rcd");
  EXPECT_EQ(end.Text, "\n\r");
  end = FindLineEnd("ab\ncd");
  EXPECT_EQ(end.Text, "\n");
  end = FindLineEnd("ab\r");
  EXPECT_EQ(end.Position, 3);
  EXPECT_EQ(end.Text, "\r");
  end = FindLineEnd("ab\n\ncd");
  EXPECT_EQ(end.Text, "\n");
  EXPECT_LT(FindLineEnd("abc").Position, 1);
  end = FindLineEnd("a\nbc\r\n", 2);
  EXPECT_EQ(end.Position, 5);
  EXPECT_EQ(end.Text, "\r\n");
}

TEST(Base64Encode, StandardAlphabetWithPadding) {
  EXPECT_EQ(Base64Encode("abc"), "YWJj");
  EXPECT_EQ(Base64Encode("a"), "YQ==");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("user:pass"), "dXNlcjpwYXNz");
  EXPECT_EQ(Base64Encode(std::string("\xFB\xFF\xBF", 3)), "+/+/");
}

TEST(Ticks, SpanAcrossTheWrap) {
  EXPECT_EQ(TickSpan(5, 5), 0u);
  EXPECT_EQ(TickSpan(100, 350), 250u);
  EXPECT_EQ(TickSpan(0xFFFFFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(TickSpan(100, 50), 50u);
  uint32_t before = TickNow();
  EXPECT_LT(TickSpan(before, TickNow()), 10000u);
}

TEST(Numbers, StrictDecimalAndHexadecimal) {
  int32_t value = 0;
  EXPECT_TRUE(ParseDecimal32("123", value));
  EXPECT_EQ(value, 123);
  EXPECT_TRUE(ParseDecimal32("-5", value));
  EXPECT_EQ(value, -5);
  EXPECT_TRUE(ParseDecimal32("-2147483648", value));
  EXPECT_EQ(value, INT32_MIN);
  EXPECT_FALSE(ParseDecimal32("2147483648", value));
  EXPECT_FALSE(ParseDecimal32("12a", value));
  EXPECT_FALSE(ParseDecimal32("", value));
  EXPECT_FALSE(ParseDecimal32("-", value));
  EXPECT_FALSE(ParseDecimal32(" 1", value));
  EXPECT_TRUE(ParseHex32("1aF", value));
  EXPECT_EQ(value, 0x1AF);
  EXPECT_TRUE(ParseHex32("00000000000010", value));
  EXPECT_EQ(value, 16);
  EXPECT_FALSE(ParseHex32("80000000", value));
  EXPECT_FALSE(ParseHex32("0x10", value));
  EXPECT_FALSE(ParseHex32("", value));
}

TEST(StreamText, ReadsWhatThereIsAndWritesAtThePosition) {
  TMemoryStream stream;
  WriteStreamText(stream, "hello world");
  stream.SetPosition(6);
  EXPECT_EQ(ReadStreamText(stream, 100), "world");
  EXPECT_EQ(ReadStreamText(stream, 100), "");
  stream.SetPosition(0);
  EXPECT_EQ(ReadStreamText(stream, 5), "hello");
  WriteStreamText(stream, "!");
  stream.SetPosition(0);
  EXPECT_EQ(ReadStreamText(stream, 100), "hello!world");
}

}  // namespace
}  // namespace http
