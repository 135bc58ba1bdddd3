#include "scan/webprobe.h"

#include <gtest/gtest.h>

namespace scan {
namespace {

TEST(ExtractTitle, TakesTheTitleOfLowerUpperAndMixedTagPairs) {
  EXPECT_EQ(ExtractTitle("<html><title>Router Login</title></html>"), "Router Login");
  EXPECT_EQ(ExtractTitle("<TITLE>Printer</TITLE>"), "Printer");
  EXPECT_EQ(ExtractTitle("<title>Printer</TITLE>"), "Printer");
  EXPECT_EQ(ExtractTitle("<TITLE>Printer</title>"), "Printer");
}

TEST(ExtractTitle, TakesTheTitleTextAsItStands) {
  EXPECT_EQ(ExtractTitle("<title>  Web\r\nAdmin \t</title>"), "  Web\r\nAdmin \t");
  EXPECT_EQ(ExtractTitle("<title>Caf\xC3\xA9</title>"), "Caf\xC3\xA9");
  // The first opening and the first closing tag count, wherever they stand.
  EXPECT_EQ(ExtractTitle("<title>a</title><title>b</title>"), "a");
}

TEST(ExtractTitle, OtherSpellingsAndTagsWithAttributesAreNotFound) {
  EXPECT_EQ(ExtractTitle("<Title>Camera</Title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("<title id=\"t\">Camera</title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("HTTP/1.1 200 OK\r\nServer: mini\r\n\r\n<Title>Camera</Title>"), "mini");
}

TEST(ExtractTitle, TitleContainingFoundInAnyCaseIsDropped) {
  EXPECT_EQ(ExtractTitle("<title>404 Not Found</title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("<title>302 Found</title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("<title>FOUNDATION</title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("HTTP/1.1 404 Not Found\r\nServer: Apache\r\n\r\n"
                         "<title>404 Not Found</title>"),
            "Apache");
}

TEST(ExtractTitle, TitleIsCutBeforeTheFirstAmpersand) {
  EXPECT_EQ(ExtractTitle("<title>Tom &amp; Jerry</title>"), "Tom ");
  EXPECT_EQ(ExtractTitle("<title>&nbsp;</title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("Server: box\r\n<title>&nbsp;</title>"), "box");
}

TEST(ExtractTitle, BrokenTitleElementsFallBackToServerThenNoTitle) {
  EXPECT_EQ(ExtractTitle("<title></title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("<title>never closed"), "<no title>");
  EXPECT_EQ(ExtractTitle("</title>backwards<title>"), "<no title>");
  EXPECT_EQ(ExtractTitle("Server: x\r\n<title></title>"), "x");
  EXPECT_EQ(ExtractTitle("Server: x\r\n<title>never closed"), "x");
  EXPECT_EQ(ExtractTitle("Server: x\r\n</title>backwards<title>"), "x");
}

TEST(ExtractTitle, ServerValueRunsToTheFirstCrLfUntrimmed) {
  EXPECT_EQ(ExtractTitle("HTTP/1.1 200 OK\r\nServer: lighttpd\r\nContent-Length: 0\r\n\r\n"),
            "lighttpd");
  EXPECT_EQ(ExtractTitle("Server:  spaced \r\n"), " spaced ");
  EXPECT_EQ(ExtractTitle("Server: at end"), "at end");
  EXPECT_EQ(ExtractTitle("Server: bare lf\nnext\r\n"), "bare lf\nnext");
  EXPECT_EQ(ExtractTitle("Server: first\r\nServer: second\r\n"), "first");
  EXPECT_EQ(ExtractTitle("X-Server: proxy\r\n"), "proxy");
}

TEST(ExtractTitle, NothingUsableGivesNoTitle) {
  EXPECT_EQ(ExtractTitle(""), "<no title>");
  EXPECT_EQ(ExtractTitle("\r\n"), "<no title>");
  EXPECT_EQ(ExtractTitle("server: lower\r\n"), "<no title>");
  EXPECT_EQ(ExtractTitle("Server: \r\n"), "<no title>");
  EXPECT_EQ(ExtractTitle("GET / HTTP/1.1\r\nHost: 10.0.0.7\r\nConnection: close\r\n"
                         "User-Agent: Mozilla/4.0 (compatible; quenZOR)\r\n\r\n"),
            "<no title>");
}

}  // namespace
}  // namespace scan
