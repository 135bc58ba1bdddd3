#include "scan/namestep.h"

#include "netinfo/devicename.h"
#include "netinfo/dnssd.h"
#include "netinfo/ipaddress.h"
#include "netinfo/ssdp.h"
#include "scan/scanlog.h"

#include <algorithm>
#include <future>
#include <string_view>
#include <system_error>
#include <utility>

namespace scan {

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

std::optional<TUpnpDescription> AskUpnp(const std::string& address, netinfo::TSsdpSearch* search,
                                        TClock::time_point deadline) {
  if (search == nullptr) return std::nullopt;
  const std::optional<std::string> location = search->LocationOf(address, deadline);
  if (!location) return std::nullopt;
  const std::string url = DescriptionUrl(*location, address);
  if (url.empty()) {
    qCDebug(lcScan, "%s: UPnP LOCATION \"%s\" not fetched: it is not on the device",
            address.c_str(), LogText(*location).c_str());
    return std::nullopt;
  }
  return FetchUpnpDescription(url, address, MsLeft(deadline));
}

// Runs the call on a thread of its own; when no thread can be had, later on the caller's (the
// step then takes longer, but the device is still reported).
template <typename TCall>
auto RunAside(TCall call) {
  try {
    return std::async(std::launch::async, call);
  } catch (const std::system_error& error) {
    qCDebug(lcScan, "name step: no thread, asking in turn: %s", error.what());
    return std::async(std::launch::deferred, call);
  }
}

bool HasService(const TNameFindings& findings, std::initializer_list<std::string_view> types) {
  return std::any_of(findings.ServiceTypes.begin(), findings.ServiceTypes.end(),
                     [&](const std::string& type) {
                       return std::find(types.begin(), types.end(), type) != types.end();
                     });
}

// "urn:schemas-upnp-org:device:<kind>:<version>" names the kind.
bool IsUpnpKind(const TNameFindings& findings, std::string_view kind) {
  if (!findings.Upnp) return false;
  const std::string wanted = ":device:" + std::string(kind) + ":";
  return findings.Upnp->DeviceType.find(wanted) != std::string::npos;
}

// What a service or device type offers, in words, in the order a row lists them: the same
// services read the same on every device and in every run, whatever order the device
// announced them in.
constexpr std::pair<std::string_view, const char*> kOfferWords[] = {
    {"_ipp._tcp", "Printing (IPP)"},
    {"_ipps._tcp", "Printing (IPP)"},
    {"_printer._tcp", "Printing (LPD)"},
    {"_pdl-datastream._tcp", "Printing (raw)"},
    {"_scanner._tcp", "Scanning"},
    {"_uscan._tcp", "Scanning"},
    {"_airplay._tcp", "AirPlay"},
    {"_raop._tcp", "AirPlay audio"},
    {"_googlecast._tcp", "Google Cast"},
    {"_smb._tcp", "File sharing (SMB)"},
    {"_afpovertcp._tcp", "File sharing (AFP)"},
    {"_nfs._tcp", "File sharing (NFS)"},
    {"_ssh._tcp", "SSH"},
    {"_sftp-ssh._tcp", "File transfer (SFTP)"},
    {"_http._tcp", "Web page (HTTP)"},
    {"_https._tcp", "Web page (HTTPS)"},
    {"MediaServer", "Media server"},
    {"MediaRenderer", "Media renderer"},
    {"InternetGatewayDevice", "Internet gateway"},
    {"WLANAccessPointDevice", "Wi-Fi access point"},
};

// Where a type's words stand in kOfferWords; its size for a type without words of its own.
size_t OfferRank(std::string_view type) {
  for (size_t i = 0; i < std::size(kOfferWords); ++i) {
    if (kOfferWords[i].first == type) return i;
  }
  return std::size(kOfferWords);
}

// Null for a type without words of its own.
const char* OfferWords(std::string_view type) {
  const size_t rank = OfferRank(type);
  return rank < std::size(kOfferWords) ? kOfferWords[rank].second : nullptr;
}

// A type without words of its own, as its bare name: "_foo-bar._tcp" gives "foo-bar". Service
// names are letters, digits and hyphens; anything else is dropped, and the name is cut.
std::string BareTypeName(std::string_view type) {
  constexpr size_t kMaxBareName = 32;
  if (!type.empty() && type.front() == '_') type.remove_prefix(1);
  type = type.substr(0, type.find('.'));
  std::string bare;
  for (const char c : type) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (plain && bare.size() < kMaxBareName) bare += c;
  }
  return bare;
}

// The kind in "urn:<domain>:device:<kind>:<version>"; empty for anything else.
std::string_view UpnpKind(std::string_view deviceType) {
  const size_t at = deviceType.find(":device:");
  if (at == std::string_view::npos) return {};
  const std::string_view kind = deviceType.substr(at + 8);
  return kind.substr(0, kind.find(':'));
}

}  // namespace

TNameFindings FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                        TClock::time_point deadline) {
  TNameFindings findings;
  if (MsLeft(deadline) == 0) {
    // The device's time is spent: the resolver alone, which asks nothing of the device.
    const std::string reverse = netinfo::LookupHostName(address);
    if (reverse != address) findings.ReverseDns = reverse;
    return findings;
  }
  const int ownBudget = std::min(netinfo::kDeviceNameBudgetMs, MsLeft(deadline));
  auto own = RunAside([&address, ownBudget] { return netinfo::AskOwnNames(address, ownBudget); });
  auto services = RunAside([&address, deadline] { return netinfo::AskDnsSd(address, deadline); });
  auto upnp = RunAside([&address, search, deadline] { return AskUpnp(address, search, deadline); });

  const std::string reverse = netinfo::LookupHostName(address);
  if (reverse != address) findings.ReverseDns = reverse;
  const netinfo::TOwnNames names = own.get();
  findings.Mdns = names.Mdns;
  findings.Netbios = names.Netbios;
  const netinfo::TDnsSdFindings dnsSd = services.get();
  findings.ServiceTypes = dnsSd.ServiceTypes;
  for (const netinfo::TServiceInstance& instance : dnsSd.Instances)
    findings.Instances.push_back({instance.Name, instance.ServiceType, instance.Model});
  findings.Upnp = upnp.get();
  return findings;
}

std::string ShownName(const TNameFindings& findings) {
  for (const std::string* name : {&findings.ReverseDns, &findings.Mdns, &findings.Netbios}) {
    if (!name->empty()) return *name;
  }
  if (findings.Upnp && !findings.Upnp->FriendlyName.empty()) return findings.Upnp->FriendlyName;
  for (const TNameFindings::TInstance& instance : findings.Instances) {
    if (!instance.Name.empty()) return instance.Name;
  }
  return {};
}

std::vector<TEvidence> EvidenceOf(const TNameFindings& findings) {
  std::vector<TEvidence> evidence;
  // The same text from the same source is said once: a printer names itself in every service
  // it announces.
  const auto add = [&evidence](const char* what, const std::string& text, const char* source) {
    if (text.empty()) return;
    TEvidence item{what, text, source};
    if (std::find(evidence.begin(), evidence.end(), item) == evidence.end())
      evidence.push_back(std::move(item));
  };
  add("Name", findings.ReverseDns, kSourceReverseDns);
  add("Name", findings.Mdns, kSourceMdns);
  add("Name", findings.Netbios, kSourceNetBios);
  if (findings.Upnp) {
    add("Name", findings.Upnp->FriendlyName, kSourceUpnp);
    add("Manufacturer", findings.Upnp->Manufacturer, kSourceUpnp);
    add("Model", findings.Upnp->ModelName, kSourceUpnp);
  }
  for (const TNameFindings::TInstance& instance : findings.Instances) {
    add("Name", instance.Name, kSourceDnsSd);
    add("Model", instance.Model, kSourceDnsSd);
  }
  return evidence;
}

std::vector<std::string> OffersOf(const TNameFindings& findings) {
  std::vector<std::string> offers;
  const auto add = [&offers](std::string_view type) {
    const char* words = OfferWords(type);
    std::string offer = words ? std::string(words) : BareTypeName(type);
    if (!offer.empty() && std::find(offers.begin(), offers.end(), offer) == offers.end())
      offers.push_back(std::move(offer));
  };
  if (findings.Upnp) {
    const std::string_view kind = UpnpKind(findings.Upnp->DeviceType);
    if (!kind.empty()) add(kind);
  }
  // The UPnP kind says what the device is, so it comes first; the services follow in the order
  // of their words, those without words of their own last, as announced.
  std::vector<std::string_view> types;
  for (const std::string& type : findings.ServiceTypes) {
    // These two describe the host itself and offer nothing to use.
    if (type != "_device-info._tcp" && type != "_workstation._tcp") types.push_back(type);
  }
  std::stable_sort(types.begin(), types.end(), [](std::string_view a, std::string_view b) {
    return OfferRank(a) < OfferRank(b);
  });
  for (const std::string_view type : types) add(type);
  return offers;
}

TDeviceType DeviceTypeOf(const TNameFindings& findings) {
  if (HasService(findings, {"_ipp._tcp", "_ipps._tcp", "_printer._tcp", "_pdl-datastream._tcp"}))
    return TDeviceType::Printer;
  if (IsUpnpKind(findings, "InternetGatewayDevice")) return TDeviceType::Router;
  if (IsUpnpKind(findings, "MediaRenderer") ||
      HasService(findings, {"_googlecast._tcp", "_airplay._tcp"}))
    return TDeviceType::MediaPlayer;
  const bool workstation = !findings.Netbios.empty() || HasService(findings, {"_workstation._tcp"});
  if (workstation && HasService(findings, {"_smb._tcp", "_afpovertcp._tcp", "_ssh._tcp"}))
    return TDeviceType::Computer;
  return TDeviceType::None;
}

}  // namespace scan
