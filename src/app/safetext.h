#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace app {

// Text that a device sent (a page title, a host name), made safe to show in the list and to
// write to the export: invalid UTF-8 becomes U+FFFD (one per maximal invalid subsequence);
// C0 controls other than TAB, CR and LF, DEL, C1 controls, the format characters (bidi marks,
// embeddings, overrides and isolates, zero-width characters, soft hyphen, byte order mark, tag
// characters, ...) and the line and paragraph separators U+2028, U+2029 are dropped, so nothing
// in the text can act on a terminal, hide in it, or reorder what is shown around it. At most
// maxCharacters characters are kept, cut on a character boundary.
std::string CleanText(std::string_view text, size_t maxCharacters = std::string::npos);

}  // namespace app
