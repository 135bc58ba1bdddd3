#include "scan/upnpdescription.h"

#include "http/httpsend.h"
#include "http/urlutil.h"
#include "scan/scanlog.h"
#include "scan/webprobe.h"

#include <QXmlStreamReader>

#include <algorithm>

namespace scan {

namespace {

constexpr int32_t kReadTimeout = 2000;  // ms, each wait for data, as for a page

bool IsDigits(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Stores the text of one wanted child of root/device, cut at the field bound.
void TakeField(TUpnpDescription& description, QStringView name, const QString& text) {
  std::string value = text.trimmed().toUtf8().toStdString();
  if (value.size() > kMaxDescriptionField) value.resize(kMaxDescriptionField);
  if (name == u"friendlyName") {
    description.FriendlyName = std::move(value);
  } else if (name == u"manufacturer") {
    description.Manufacturer = std::move(value);
  } else if (name == u"modelName") {
    description.ModelName = std::move(value);
  } else if (name == u"deviceType") {
    description.DeviceType = std::move(value);
  }
}

}  // namespace

std::optional<TUpnpDescription> ReadUpnpDescription(std::string_view xml) {
  if (xml.size() > kMaxDescriptionBytes) return std::nullopt;
  QXmlStreamReader reader(QByteArray(xml.data(), static_cast<qsizetype>(xml.size())));
  reader.setNamespaceProcessing(true);
  TUpnpDescription description;
  int depth = 0;
  bool inRootDevice = false;
  bool seenRootDevice = false;
  QString field;  // the wanted child of root/device being read, else empty
  QString text;
  while (!reader.atEnd()) {
    const QXmlStreamReader::TokenType token = reader.readNext();
    // No entity is ever expanded: a DTD, where entities are declared, ends the reading wherever
    // it stands (the reader takes one even inside an element), and an undeclared entity
    // reference is an error of the reader.
    if (token == QXmlStreamReader::DTD || token == QXmlStreamReader::EntityReference) {
      qCDebug(lcScan, "UPnP description refused: it carries a DTD or an entity reference");
      return std::nullopt;
    }
    if (token == QXmlStreamReader::StartElement) {
      ++depth;
      const QStringView name = reader.name();
      if (depth == 1 && name != u"root") return std::nullopt;
      if (depth == 2 && name == u"device" && !seenRootDevice) {
        inRootDevice = seenRootDevice = true;
      } else if (depth == 3 && inRootDevice) {
        field = name.toString();
        text.clear();
      }
    } else if (token == QXmlStreamReader::Characters && !field.isEmpty()) {
      if (text.size() < static_cast<qsizetype>(kMaxDescriptionField)) text += reader.text();
    } else if (token == QXmlStreamReader::EndElement) {
      if (depth == 3 && !field.isEmpty()) {
        TakeField(description, field, text);
        field.clear();
      }
      if (depth == 2) inRootDevice = false;
      --depth;
    }
  }
  if (reader.hasError()) {
    qCDebug(lcScan, "UPnP description refused: %s",
            LogText(reader.errorString().toStdString()).c_str());
    return std::nullopt;
  }
  if (!seenRootDevice) return std::nullopt;
  return description;
}

std::string DescriptionUrl(const std::string& location, const std::string& address) {
  constexpr std::string_view kScheme = "http://";
  if (location.size() <= kScheme.size() ||
      http::LowerCase(location.substr(0, kScheme.size())) != kScheme) {
    return {};
  }
  for (const char c : location) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 32 || byte >= 127) return {};
  }
  const std::string rest = location.substr(kScheme.size());
  const size_t end = rest.find_first_of("/?#");
  const std::string authority = rest.substr(0, end);
  if (authority != address) {
    if (!authority.starts_with(address + ":") || !IsDigits(authority.substr(address.size() + 1)))
      return {};
    const int port = std::stoi(authority.substr(address.size() + 1));
    if (port < 1 || port > 65535) return {};
  }
  std::string path = end == std::string::npos ? std::string("/") : rest.substr(end);
  if (!path.starts_with("/")) path = "/" + path;
  return "http://" + authority + path;
}

std::optional<TUpnpDescription> FetchUpnpDescription(const std::string& url,
                                                     const std::string& address, int32_t budgetMs) {
  if (budgetMs <= 0 || DescriptionUrl(url, address) != url) return std::nullopt;
  try {
    http::THTTPSend client;
    ApplyProbeSettings(client, budgetMs);
    client.Timeout = std::min(kReadTimeout, budgetMs);
    // One byte past the bound shows that the body was longer.
    client.MaxBodySize = static_cast<int64_t>(kMaxDescriptionBytes) + 1;
    if (!client.PerformRequest("GET", url) || client.ResultCode != 200) {
      qCDebug(lcScan, "%s: no UPnP description, status %d", LogText(url).c_str(),
              client.ResultCode);
      return std::nullopt;
    }
    const int64_t size = client.Document->Size();
    if (size < 1 || size > static_cast<int64_t>(kMaxDescriptionBytes)) {
      qCDebug(lcScan, "%s: UPnP description not read: %lld bytes", LogText(url).c_str(),
              static_cast<long long>(size));
      return std::nullopt;
    }
    std::string body(static_cast<size_t>(size), '\0');
    client.Document->SetPosition(0);
    client.Document->ReadBuffer(body.data(), size);
    return ReadUpnpDescription(body);
  } catch (const std::exception& error) {
    qCDebug(lcScan, "%s: no UPnP description: %s", LogText(url).c_str(),
            LogText(error.what()).c_str());
  }
  return std::nullopt;
}

}  // namespace scan
