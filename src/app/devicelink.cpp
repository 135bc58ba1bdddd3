#include "app/devicelink.h"

#include <QString>
#include <algorithm>

#include "app/hosttable.h"
#include "app/safetext.h"

namespace app {

namespace {

constexpr size_t kMinKeyLength = 3;

// Names that a product gives every device of its kind until its owner names it.
constexpr std::string_view kDefaultNames[] = {
    "iphone",      "ipad",        "ipod",        "ipod touch",   "macbook",    "macbook air",
    "macbook pro", "macbook-air", "macbook-pro", "imac",         "mac mini",   "mac-mini",
    "apple tv",    "appletv",     "homepod",     "android",      "android tv", "galaxy",
    "pixel",       "chromecast",  "google home", "nest",         "echo",       "amazon echo",
    "fire tv",     "roku",        "raspberrypi", "raspberry pi", "localhost",  "ubuntu",
    "debian",      "linux",       "openwrt",     "windows",      "desktop",    "laptop",
    "printer",     "camera",      "ipcam",       "tv",           "smart tv",   "router",
    "gateway",     "esp",         "espressif",   "tasmota",      "shelly",     "unknown",
    "default",     "device",      "none",        "host"};

// Prefixes that a product follows with a number taken from its MAC or serial: the name changes
// with the MAC or repeats across devices, so it tells nothing.
constexpr std::string_view kDefaultPrefixes[] = {"esp_",     "esp-",     "esp32-", "esp8266-",
                                                 "android-", "tasmota-", "shelly", "wlan"};

bool IsHexOrSeparator(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-' || c == '_';
}

// "iphone (2)", "iphone-2", "iphone 2": a default with a number a second device of a kind gets.
std::string_view WithoutCopyNumber(std::string_view key) {
  size_t end = key.size();
  if (end > 0 && key[end - 1] == ')') {
    const size_t open = key.rfind(" (");
    if (open == std::string_view::npos) return key;
    const std::string_view number = key.substr(open + 2, end - open - 3);
    if (number.empty() ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return key;
    return key.substr(0, open);
  }
  while (end > 0 && key[end - 1] >= '0' && key[end - 1] <= '9') --end;
  if (end == key.size() || end < 2 || (key[end - 1] != '-' && key[end - 1] != ' ')) return key;
  return key.substr(0, end - 1);
}

}  // namespace

std::string NameKey(std::string_view name) {
  const std::string clean = CleanText(name, kNameCapacity);
  QString key = QString::fromUtf8(clean.data(), static_cast<qsizetype>(clean.size()))
                    .simplified()
                    .toCaseFolded();
  while (key.endsWith(QLatin1Char('.'))) key.chop(1);
  if (key.endsWith(QLatin1String(".local"))) key.chop(6);
  if (key.size() < static_cast<qsizetype>(kMinKeyLength)) return {};
  return key.toStdString();
}

bool IsIdentifyingSource(std::string_view source) {
  return source == scan::kSourceMdns || source == scan::kSourceDnsSd ||
         source == scan::kSourceNetBios || source == scan::kSourceUpnp;
}

bool IsProductDefault(std::string_view key) {
  const std::string_view bare = WithoutCopyNumber(key);
  for (const std::string_view name : kDefaultNames) {
    if (bare == name) return true;
  }
  for (const std::string_view prefix : kDefaultPrefixes) {
    if (key.substr(0, prefix.size()) != prefix) continue;
    const std::string_view rest = key.substr(prefix.size());
    if (std::all_of(rest.begin(), rest.end(), IsHexOrSeparator)) return true;
  }
  return false;
}

std::vector<TDeviceName> IdentifyingNames(const std::vector<scan::TEvidence>& evidence) {
  std::vector<std::string> ownWords;
  for (const scan::TEvidence& item : evidence) {
    const bool describesProduct = item.What == "Model" || item.What == "Manufacturer";
    if (describesProduct && (item.Source == scan::kSourceUpnp || item.Source == scan::kSourceDnsSd))
      ownWords.push_back(NameKey(item.Text));
  }
  std::vector<TDeviceName> names;
  for (const scan::TEvidence& item : evidence) {
    if (item.What != "Name" || !IsIdentifyingSource(item.Source)) continue;
    std::string key = NameKey(item.Text);
    if (key.empty() || IsProductDefault(key) ||
        std::find(ownWords.begin(), ownWords.end(), key) != ownWords.end())
      continue;
    const bool seen = std::any_of(names.begin(), names.end(),
                                  [&](const TDeviceName& name) { return name.Key == key; });
    if (seen || names.size() >= kMaxDeviceNames) continue;
    // White space is collapsed, so a name is one line of plain words wherever it is kept.
    const std::string clean = CleanText(item.Text, kNameCapacity);
    const std::string text = QString::fromUtf8(clean.data(), static_cast<qsizetype>(clean.size()))
                                 .simplified()
                                 .toStdString();
    names.push_back({text, item.Source, std::move(key)});
  }
  return names;
}

}  // namespace app
