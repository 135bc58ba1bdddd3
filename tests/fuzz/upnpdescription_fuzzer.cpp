// Feeds arbitrary documents to the UPnP description reader: it must end on every input, refuse
// any document with a DTD (so no entity is ever expanded), and keep each field within its bound.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <QXmlStreamReader>

#include "scan/upnpdescription.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  const std::optional<scan::TUpnpDescription> description = scan::ReadUpnpDescription(xml);
  if (!description) return 0;
  // Not one token of an accepted document is a DTD (the text "<!DOCTYPE" may stand in a
  // comment or a processing instruction).
  QXmlStreamReader tokens(QByteArray(xml.data(), static_cast<qsizetype>(xml.size())));
  while (!tokens.atEnd()) Check(tokens.readNext() != QXmlStreamReader::DTD);
  Check(size <= scan::kMaxDescriptionBytes);
  for (const std::string* field : {&description->FriendlyName, &description->Manufacturer,
                                   &description->ModelName, &description->DeviceType}) {
    Check(field->size() <= scan::kMaxDescriptionField);
  }
  return 0;
}
