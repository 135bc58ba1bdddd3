#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace app {

// Text that a device sent (a page title, a host name), made safe to show in the list and to
// write to the export: invalid UTF-8 becomes U+FFFD (one per maximal invalid subsequence);
// C0 controls other than TAB, CR and LF, DEL, C1 controls and the bidi embedding, override and
// isolate characters (U+202A..U+202E, U+2066..U+2069) are dropped, so nothing in the text can
// act on a terminal or reorder what is shown around it. At most maxCharacters characters are
// kept, cut on a character boundary.
std::string CleanText(std::string_view text, size_t maxCharacters = std::string::npos);

}  // namespace app
