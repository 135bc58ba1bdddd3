// The name readers against the committed fuzz corpus, where each input is a datagram whose
// first two bytes are the transaction id we asked with: what a real responder sends gives its
// name, and every malformed or foreign datagram gives none.

#include "netinfo/dnsmessage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace netinfo {
namespace {

std::vector<uint8_t> Corpus(const std::string& target, const std::string& file) {
  std::ifstream in(std::string(QZ_FUZZ_CORPUS) + "/" + target + "/" + file, std::ios::binary);
  EXPECT_TRUE(in) << file;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint16_t IdOf(const std::vector<uint8_t>& datagram) {
  return datagram.size() < 2 ? 0 : static_cast<uint16_t>(datagram[0] << 8 | datagram[1]);
}

TEST(ParsePtrResponse, NamesOnlyWellFormedAnswersToOurQuestion) {
  const std::string question = ReverseName("192.168.1.20");
  ASSERT_EQ(question, "20.1.168.192.in-addr.arpa");
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"avahi_answer", "johns-macbook.local"},
      {"second_record_compressed_target", "printer.arpa"},
      {"short_pointer_chain", "y.y.y.y.y.z"},
      {"escaped_label", "a\\.b\\\\c.local"},
      {"long_pointer_chain", std::nullopt},
      {"pointer_loop", std::nullopt},
      {"label_pointer_loop", std::nullopt},
      {"forward_pointer", std::nullopt},
      {"name_too_long", std::nullopt},
      {"rdlength_past_end", std::nullopt},
      {"other_question", std::nullopt},
      {"query_not_response", std::nullopt},
      {"truncated", std::nullopt},
  };
  for (const auto& [file, expected] : cases) {
    const std::vector<uint8_t> datagram = Corpus("dnsmessage_fuzzer", file);
    EXPECT_EQ(ParsePtrResponse(datagram, IdOf(datagram), question), expected) << file;
    // Another transaction id never counts.
    EXPECT_EQ(ParsePtrResponse(datagram, static_cast<uint16_t>(IdOf(datagram) + 1), question),
              std::nullopt)
        << file;
  }
}

TEST(ParsePtrResponse, OurOwnQueryRoundTripsThroughTheReader) {
  const std::vector<uint8_t> query = BuildPtrQuery(0xBEEF, "20.1.168.192.in-addr.arpa");
  TDnsReader reader(query);
  ASSERT_TRUE(reader.Skip(12));
  EXPECT_EQ(reader.ReadName(), "20.1.168.192.in-addr.arpa");
  EXPECT_EQ(reader.Left(), 4u);
  EXPECT_EQ(ReverseName("not an address"), "");
}

TEST(ParseNodeStatusResponse, TakesTheFirstUniqueWorkstationNameAndChecksTheCount) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"nmbd_answer", "KITCHEN-PC"},       {"blank_name_first", "NAS"},
      {"count_past_end", std::nullopt},    {"only_group_names", std::nullopt},
      {"rdlength_past_end", std::nullopt}, {"other_name", std::nullopt},
      {"truncated", std::nullopt},
  };
  for (const auto& [file, expected] : cases) {
    const std::vector<uint8_t> datagram = Corpus("nodestatus_fuzzer", file);
    EXPECT_EQ(ParseNodeStatusResponse(datagram, IdOf(datagram)), expected) << file;
    EXPECT_EQ(ParseNodeStatusResponse(datagram, static_cast<uint16_t>(IdOf(datagram) ^ 0x8000)),
              std::nullopt)
        << file;
  }
  const std::vector<uint8_t> request = BuildNodeStatusRequest(0x0102);
  EXPECT_EQ(request.size(), 50u);  // RFC 1002 4.2.17: header, 34-byte name, type and class
}

}  // namespace
}  // namespace netinfo
