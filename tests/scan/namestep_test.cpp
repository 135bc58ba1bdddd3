// The name step's rules on fixed inputs: which LOCATION leads to the device, what a description
// gives (and that a DTD or a broken document gives nothing), which name the host column shows
// and which device type the evidence names.

#include <gtest/gtest.h>

#include <span>

#include "netinfo/ssdp.h"
#include "scan/namestep.h"

namespace {

std::optional<std::string> Answer(std::string_view text) {
  return netinfo::ParseSsdpAnswer(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

TEST(NameStep, SearchAnswerGivesItsLocationOnlyWhenItLeadsToTheDeviceItself) {
  EXPECT_EQ(
      Answer("HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nLocation:  http://10.0.0.5:8200/d.xml "
             "\r\n\r\n"),
      "http://10.0.0.5:8200/d.xml");
  EXPECT_EQ(Answer("NOTIFY * HTTP/1.1\r\nLOCATION: http://10.0.0.5/d.xml\r\n\r\n"), std::nullopt);
  EXPECT_EQ(Answer("HTTP/1.1 200 OK\r\n\r\nLOCATION: http://10.0.0.5/d.xml\r\n"), std::nullopt);

  const std::string device = "10.0.0.5";
  const std::vector<std::pair<std::string, std::string>> table = {
      {"http://10.0.0.5:8200/rootDesc.xml", "http://10.0.0.5:8200/rootDesc.xml"},
      {"HTTP://10.0.0.5/desc", "http://10.0.0.5/desc"},
      {"http://10.0.0.5", "http://10.0.0.5/"},
      {"http://10.0.0.50:80/desc", ""},     // another device
      {"http://10.0.0.5.nip.io/desc", ""},  // a name
      {"http://user@10.0.0.5/desc", ""},    // user information
      {"http://10.0.0.5:99999/desc", ""},   // no port
      {"http://10.0.0.5:/desc", ""},        //
      {"https://10.0.0.5/desc", ""},        // another scheme
      {"http://10.0.0.5/a b", ""},          // a blank
      {"/rootDesc.xml", ""},
  };
  for (const auto& [location, url] : table)
    EXPECT_EQ(scan::DescriptionUrl(location, device), url) << location;

  // Answers count only from the swept /24s, and never from the machine's own addresses (a
  // local program could answer from those).
  const uint32_t adapters[] = {0xC0A84F01u, 0x0A000105u};           // 192.168.79.1, 10.0.1.5
  EXPECT_TRUE(netinfo::IsSsdpSourceSwept(0xC0A84F2Bu, adapters));   // 192.168.79.43
  EXPECT_TRUE(netinfo::IsSsdpSourceSwept(0x0A0001FEu, adapters));   // 10.0.1.254
  EXPECT_FALSE(netinfo::IsSsdpSourceSwept(0xC0A84F01u, adapters));  // our own
  EXPECT_FALSE(netinfo::IsSsdpSourceSwept(0x0A000105u, adapters));  // our own
  EXPECT_FALSE(netinfo::IsSsdpSourceSwept(0xC0A85001u, adapters));  // 192.168.80.1
  EXPECT_FALSE(netinfo::IsSsdpSourceSwept(0x0A4D0001u, adapters));  // 10.77.0.1
  EXPECT_FALSE(netinfo::IsSsdpSourceSwept(0xC0A84F2Bu, {}));
}

TEST(NameStep, DescriptionGivesTheRootDeviceFieldsAndNothingForADtdOrABrokenDocument) {
  const std::optional<scan::TUpnpDescription> tv = scan::ReadUpnpDescription(
      "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
      "<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>"
      "<friendlyName> Living Room &amp; Kitchen </friendlyName><manufacturer>LG</manufacturer>"
      "<modelName>OLED55</modelName><deviceList><device><friendlyName>Inner</friendlyName>"
      "</device></deviceList></device></root>");
  ASSERT_TRUE(tv);
  EXPECT_EQ(*tv, (scan::TUpnpDescription{"Living Room & Kitchen", "LG", "OLED55",
                                         "urn:schemas-upnp-org:device:MediaRenderer:1"}));
  for (const char* bad : {
           "<!DOCTYPE root [<!ENTITY a \"aaaa\">]><root><device><friendlyName>&a;</friendlyName>"
           "</device></root>",
           "<root><device><friendlyName>&undeclared;</friendlyName></device></root>",
           "<root><device><friendlyName>Cut",
           "<html><device><friendlyName>Not UPnP</friendlyName></device></html>",
       }) {
    EXPECT_EQ(scan::ReadUpnpDescription(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(scan::ReadUpnpDescription(std::string(scan::kMaxDescriptionBytes + 1, ' ')),
            std::nullopt);
}

TEST(NameStep, HostColumnOrderAndDeviceTypeComeFromEvidenceOnly) {
  scan::TNameFindings findings;
  findings.Instances = {{"Kitchen speaker", "_airplay._tcp", "AudioAccessory5,1"}};
  findings.ServiceTypes = {"_airplay._tcp"};
  EXPECT_EQ(scan::ShownName(findings), "Kitchen speaker");
  EXPECT_EQ(scan::DeviceTypeOf(findings), scan::TDeviceType::MediaPlayer);
  findings.Upnp = scan::TUpnpDescription{"Box", "ACME", "R1",
                                         "urn:schemas-upnp-org:device:InternetGatewayDevice:2"};
  EXPECT_EQ(scan::ShownName(findings), "Box");
  EXPECT_EQ(scan::DeviceTypeOf(findings), scan::TDeviceType::Router);
  findings.Netbios = "BOX";
  EXPECT_EQ(scan::ShownName(findings), "BOX");
  findings.Mdns = "box.local";
  EXPECT_EQ(scan::ShownName(findings), "box.local");
  findings.ReverseDns = "box.lan";
  EXPECT_EQ(scan::ShownName(findings), "box.lan");
  EXPECT_EQ(scan::EvidenceOf(findings).size(), 8u);

  // ssh alone names no computer, ssh with a workstation record does; a vendor never does.
  scan::TNameFindings host;
  host.ServiceTypes = {"_ssh._tcp"};
  EXPECT_EQ(scan::DeviceTypeOf(host), scan::TDeviceType::None);
  host.Netbios = "DESKTOP";
  EXPECT_EQ(scan::DeviceTypeOf(host), scan::TDeviceType::Computer);
  host.ServiceTypes.push_back("_ipp._tcp");
  EXPECT_EQ(scan::DeviceTypeOf(host), scan::TDeviceType::Printer);
}

TEST(NameStep, OffersAreSaidInWordsOnceAndUnknownTypesByTheirBareName) {
  scan::TNameFindings printer;
  printer.ServiceTypes = {"_ipp._tcp",  "_ipps._tcp",        "_printer._tcp",
                          "_http._tcp", "_device-info._tcp", "_x-Vendor_9<b>._tcp",
                          "_ssh._tcp",  "_airplay._tcp",     "_googlecast._tcp",
                          "_smb._tcp",  "_workstation._tcp", "_hap._udp"};
  printer.Upnp = scan::TUpnpDescription{"", "", "", "urn:schemas-upnp-org:device:MediaServer:1"};
  EXPECT_EQ(scan::OffersOf(printer),
            (std::vector<std::string>{"Media server", "Printing (IPP)", "Printing (LPD)", "AirPlay",
                                      "Google Cast", "File sharing (SMB)", "SSH", "Web page (HTTP)",
                                      "x-Vendor9b", "hap"}));
  printer.Upnp->DeviceType = "urn:dial-multiscreen-org:device:dial:1";
  EXPECT_EQ(scan::OffersOf(printer).front(), "dial");
  printer.Upnp->DeviceType = "not a urn";
  EXPECT_EQ(scan::OffersOf(printer).front(), "Printing (IPP)");

  // Three services of one printer name it once.
  printer.Instances = {{"Hall Printer", "_ipp._tcp", "LaserJet"},
                       {"Hall Printer", "_printer._tcp", "LaserJet"},
                       {"Hall Printer", "_http._tcp", ""}};
  printer.Upnp.reset();
  EXPECT_EQ(scan::EvidenceOf(printer),
            (std::vector<scan::TEvidence>{{"Name", "Hall Printer", scan::kSourceDnsSd},
                                          {"Model", "LaserJet", scan::kSourceDnsSd}}));
}

}  // namespace
