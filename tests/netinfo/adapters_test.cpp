#include "netinfo/adapters.h"

#include "lab/lab.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <sstream>
#include <thread>

namespace {

using netinfo::AdapterAddressList;
using netinfo::TAdaptorInfo;
using netinfo::TAdaptorRows;

const TAdaptorInfo* Find(const TAdaptorRows& rows, const std::wstring& name) {
  for (const auto& row : rows) {
    if (row.AdapterName == name) return &row;
  }
  return nullptr;
}

// The scanner's IPv4 addresses of one adapter as the kernel lists them (`ip -o -4 addr`).
std::vector<std::string> KernelOrder(lab::TLab& lab, const std::string& adapter) {
  std::string out;
  lab.RunInScanner({"ip", "-o", "-4", "addr", "show", "dev", adapter}, &out);
  std::vector<std::string> addresses;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string word;
    while (words >> word && word != "inet") {
    }
    if (words >> word) addresses.push_back(word.substr(0, word.find('/')));
  }
  return addresses;
}

class AdapterListing : public testing::Test {
 protected:
  void SetUp() override {
    QZ_REQUIRE_LAB();
    // Added in this order; the kernel lists the secondary 192.168.50.3 after the primaries.
    m_lab.AddSegment("192.168.50.2/24", "00:00:0c:50:00:02", {"192.168.50.3/24", "172.16.5.2/16"});
    m_lab.AddSegment("192.168.52.2/24", "00:1a:2b:3c:4d:5e");
    m_lab.Up();
    ASSERT_EQ(m_lab.RunInScanner(
                  {"ip", "link", "add", "qznoip", "type", "veth", "peer", "name", "qznoip2"}),
              0);
    ASSERT_EQ(m_lab.RunInScanner({"ip", "route", "add", "default", "via", "192.168.52.1"}), 0);
  }

  lab::TLab m_lab;
};

TEST_F(AdapterListing, EveryAdapterButLoopbackInIndexOrder) {
  lab::TScannerScope scope(m_lab);
  int32_t count = -1;
  TAdaptorRows rows;
  ASSERT_EQ(AdapterAddressList(count, rows), 0u);
  ASSERT_EQ(count, 4);
  ASSERT_EQ(rows.size(), 4u);
  for (size_t i = 1; i < rows.size(); ++i)
    EXPECT_LT(rows[i - 1].AdapterIndex, rows[i].AdapterIndex);
  for (const auto& row : rows) {
    EXPECT_NE(row.AdapterName, L"lo");
    EXPECT_EQ(row.AdapterType, netinfo::kAdapterTypeEthernet);
    EXPECT_EQ(row.CurrentIpAddress, "  0.  0.  0.  0");
    EXPECT_EQ(row.CurrentIpMask, "  0.  0.  0.  0");
    EXPECT_EQ(row.DhcpServerCount, 0);
    EXPECT_EQ(row.PrimaryWinsCount, 0);
  }
}

TEST_F(AdapterListing, AddressesAndMasksInTheKernelsOrder) {
  lab::TScannerScope scope(m_lab);
  int32_t count = 0;
  TAdaptorRows rows;
  ASSERT_EQ(AdapterAddressList(count, rows), 0u);
  const TAdaptorInfo* first = Find(rows, L"qzs0");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->IpAddressCount, 3);
  EXPECT_EQ(first->IpAddresses,
            (std::vector<std::string>{"192.168.50.2", "172.16.5.2", "192.168.50.3"}));
  EXPECT_EQ(first->IpAddresses, KernelOrder(m_lab, "qzs0"));
  EXPECT_EQ(first->IpMasks,
            (std::vector<std::string>{"255.255.255.0", "255.255.0.0", "255.255.255.0"}));
  EXPECT_EQ(first->HardwareAddress, "00-00-0C-50-00-02");
  EXPECT_EQ(first->Gateways, std::vector<std::string>{"0.0.0.0"});

  const TAdaptorInfo* second = Find(rows, L"qzs1");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->IpAddresses, std::vector<std::string>{"192.168.52.2"});
  EXPECT_EQ(second->HardwareAddress, "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(second->GatewayCount, 1);
  EXPECT_EQ(second->Gateways, std::vector<std::string>{"192.168.52.1"});
}

TEST_F(AdapterListing, AdapterWithoutIpv4GetsTheSingleZeroEntry) {
  lab::TScannerScope scope(m_lab);
  int32_t count = 0;
  TAdaptorRows rows;
  ASSERT_EQ(AdapterAddressList(count, rows), 0u);
  const TAdaptorInfo* bare = Find(rows, L"qznoip");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->IpAddressCount, 1);
  EXPECT_EQ(bare->IpAddresses, std::vector<std::string>{"0.0.0.0"});
  EXPECT_EQ(bare->IpMasks, std::vector<std::string>{"0.0.0.0"});
}

uint32_t FailingQuery(std::vector<netinfo::TKernelAdapter>&) { return 31; }

TEST_F(AdapterListing, ListingAfterAFailedOneStartsFromScratch) {
  lab::TScannerScope scope(m_lab);
  int32_t count = 0;
  TAdaptorRows rows;
  ASSERT_EQ(AdapterAddressList(count, rows), 0u);
  ASSERT_EQ(count, 4);

  EXPECT_EQ(AdapterAddressList(count, rows, &FailingQuery), 31u);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(rows.empty());

  rows.push_back(TAdaptorInfo{});  // whatever the caller left in the list goes
  EXPECT_EQ(AdapterAddressList(count, rows), 0u);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(rows.size(), 4u);
}

TEST_F(AdapterListing, DnsServersFromTheNamespacesResolverFile) {
  std::string out;
  ASSERT_EQ(m_lab.RunInScanner({QZ_NETINFO_HELPER, "adapters"}, &out), 0) << out;
  EXPECT_NE(out.find("qzs0 6 00-00-0C-50-00-02 dns=127.0.0.1\n"), std::string::npos) << out;
}

TEST(AdapterListingEmpty, NoAdapterButLoopbackGives232) {
  QZ_REQUIRE_LAB();
  uint32_t code = 0;
  int32_t count = -1;
  TAdaptorRows rows(1);
  // A fresh namespace of this thread alone: it holds nothing but a loopback interface.
  std::thread([&] {
    if (unshare(CLONE_NEWNET) != 0) return;
    code = AdapterAddressList(count, rows);
  }).join();
  EXPECT_EQ(code, netinfo::kErrorNoData);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(rows.empty());
}

}  // namespace
