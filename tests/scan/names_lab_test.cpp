// The name step against real and scripted responders in a lab: minidlna (UPnP, answers only the
// SSDP group), avahi-daemon publishing a printer and a speaker, a device with UPnP, DNS-SD and a
// reverse DNS name, a router, and UPnP devices whose answers must not be used (LOCATION on
// another host or another device, a huge description, an entity bomb), and a device that first
// answers from 1,100 forged sources outside the swept network, which take no place of its own. Each host's reported
// name (the export's host column), its evidence and its device type come out as the name step
// defines them, nothing is fetched off a device, and the search goes to the group twice.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kScanner = "192.168.79.1";
constexpr const char* kMedia = "192.168.79.40";
constexpr const char* kPrinter = "192.168.79.41";
constexpr const char* kSpeaker = "192.168.79.42";
constexpr const char* kTv = "192.168.79.43";
constexpr const char* kRouter = "192.168.79.44";
constexpr const char* kOffHost = "192.168.79.45";
constexpr const char* kHuge = "192.168.79.46";
constexpr const char* kBomb = "192.168.79.47";
constexpr const char* kClaimer = "192.168.79.48";
constexpr const char* kSilent = "192.168.79.49";   // nothing but a logging web service on 8081
constexpr const char* kFlooder = "192.168.79.50";  // answers from 1,100 forged sources first

struct TExpected {
  std::string name;                   // the reported host name: the export's host column
  std::vector<std::string> evidence;  // "What|Text|Source"
  int type = 0;                       // scan::TDeviceType as a number
};

std::string ServiceFile(const std::string& name, const std::string& type, const std::string& txt) {
  return "<?xml version=\"1.0\" standalone='no'?>\n<service-group><name>" + name +
         "</name><service><type>" + type + "</type><port>9</port><txt-record>" + txt +
         "</txt-record></service></service-group>\n";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t CountLines(const std::string& text, const std::string& line) {
  size_t count = 0;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) count += l == line;
  return count;
}

// Host lines' names, evidence and type lines of scan_pass2_run, by address.
std::map<std::string, TExpected> ParseRun(const std::string& output) {
  std::map<std::string, TExpected> hosts;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream split(line.substr(line.find(' ') + 1));
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (line.starts_with("host ") && fields.size() >= 2) hosts[fields[0]].name = fields[1];
    if (line.starts_with("evidence ") && fields.size() == 4)
      hosts[fields[0]].evidence.push_back(fields[1] + "|" + fields[2] + "|" + fields[3]);
    if (line.starts_with("type ") && fields.size() == 2)
      hosts[fields[0]].type = std::stoi(fields[1]);
  }
  return hosts;
}

TEST(NamesLab, EveryDeviceIsNamedFromItsOwnAnswersWithTheEvidenceBehindIt) {
  QZ_REQUIRE_LAB();
  lab::TLab lab;
  lab.AddSegment(std::string(kScanner) + "/24");
  for (const char* ip : {kMedia, kPrinter, kSpeaker, kTv, kRouter, kOffHost, kHuge, kBomb, kClaimer,
                         kSilent, kFlooder}) {
    lab.AddHost({ip, "", ip == std::string(kTv) ? "tv.lab" : ""});
  }
  lab.Up();

  lab.StartMinidlna(kMedia, "Lab Media");
  lab.StartMdnsResponder(kPrinter, "printer41",
                         {ServiceFile("Office Printer", "_ipp._tcp", "ty=HP LaserJet Pro M404")},
                         false);
  lab.StartMdnsResponder(
      kSpeaker, "speaker42",
      {ServiceFile("Kitchen speaker", "_airplay._tcp", "model=AudioAccessory5,1")});
  lab.StartMdnsResponder(kTv, "tv43",
                         {ServiceFile("Living Room TV cast", "_googlecast._tcp", "md=Chromecast")},
                         false);
  lab.StartSsdpResponder(kTv, {"describe", "MediaRenderer", "Living Room TV"});
  lab.StartSsdpResponder(kRouter, {"describe", "InternetGatewayDevice", "Lab Router"});
  const pid_t offHost = lab.StartSsdpResponder(
      kOffHost, {"location", std::string("http://") + kSilent + ":8081/d.xml"});
  const pid_t huge = lab.StartSsdpResponder(kHuge, {"huge"});
  const pid_t bomb = lab.StartSsdpResponder(kBomb, {"bomb"});
  lab.StartSsdpResponder(kClaimer,
                         {"location", std::string("http://") + kMedia + ":8200/rootDesc.xml"});
  const pid_t flooder = lab.StartSsdpResponder(kFlooder, {"flood", "MediaRenderer", "Survivor"});
  const pid_t logger = lab.StartInHost(kSilent, {QZ_HTTP_PEER_PATH, kSilent, "8081", "logged"});

  std::string output;
  ASSERT_EQ(lab.RunInScanner({QZ_PASS2_RUN_PATH, "--pass2-only"}, &output, {}, 60000), 0) << output;
  const std::map<std::string, TExpected> hosts = ParseRun(output);

  const std::map<std::string, TExpected> expected = {
      {kScanner, {kScanner, {}, 0}},
      {kMedia,
       {"LAB MEDIA",
        {"Name|Lab Media|UPnP", "Manufacturer|Justin Maggard|UPnP",
         "Model|Windows Media Connect compatible (MiniDLNA)|UPnP"},
        0}},
      {kPrinter,
       {"OFFICE PRINTER", {"Name|Office Printer|DNS-SD", "Model|HP LaserJet Pro M404|DNS-SD"}, 1}},
      {kSpeaker,
       {"SPEAKER42.LOCAL",
        {"Name|speaker42.local|mDNS", "Name|Kitchen speaker|DNS-SD",
         "Model|AudioAccessory5,1|DNS-SD"},
        2}},
      {kTv,
       {"TV.LAB",
        {"Name|tv.lab|reverse DNS", "Name|Living Room TV|UPnP", "Manufacturer|QZ Lab Devices|UPnP",
         "Model|MediaRenderer 9000|UPnP", "Name|Living Room TV cast|DNS-SD",
         "Model|Chromecast|DNS-SD"},
        2}},
      {kRouter,
       {"LAB ROUTER",
        {"Name|Lab Router|UPnP", "Manufacturer|QZ Lab Devices|UPnP",
         "Model|InternetGatewayDevice 9000|UPnP"},
        3}},
      // LOCATION on another host, a description too big to read, one with a DTD, LOCATION on
      // another device: nothing from UPnP, the name falls back to the address.
      {kOffHost, {kOffHost, {}, 0}},
      {kHuge, {kHuge, {}, 0}},
      {kBomb, {kBomb, {}, 0}},
      {kClaimer, {kClaimer, {}, 0}},
      {kSilent, {kSilent, {}, 0}},
      {kFlooder,
       {"SURVIVOR",
        {"Name|Survivor|UPnP", "Manufacturer|QZ Lab Devices|UPnP", "Model|MediaRenderer 9000|UPnP"},
        2}},
  };
  EXPECT_EQ(hosts.size(), expected.size()) << output;
  for (const auto& [ip, want] : expected) {
    SCOPED_TRACE(ip);
    const auto found = hosts.find(ip);
    ASSERT_NE(found, hosts.end()) << output;
    EXPECT_EQ(found->second.name, want.name);
    EXPECT_EQ(found->second.evidence, want.evidence);
    EXPECT_EQ(found->second.type, want.type);
  }

  // Nothing was fetched from the host another device's LOCATION named; the huge and the bomb
  // descriptions were asked for once each (and refused); each device saw the search on the
  // group twice, from the scanner's adapter address.
  EXPECT_EQ(ReadFile(lab.ProcessLog(logger)).find("request "), std::string::npos);
  EXPECT_EQ(CountLines(ReadFile(lab.ProcessLog(huge)), "request /desc.xml"), 1u);
  EXPECT_EQ(CountLines(ReadFile(lab.ProcessLog(bomb)), "request /desc.xml"), 1u);
  EXPECT_EQ(
      CountLines(ReadFile(lab.ProcessLog(offHost)), std::string("group search from ") + kScanner),
      2u);
  EXPECT_NE(ReadFile(lab.ProcessLog(flooder)).find(std::string("flooded ") + kScanner),
            std::string::npos);
  std::printf("%s", output.substr(output.find("pass1_ms")).c_str());
}

}  // namespace
