#pragma once

#include <string>

namespace platform {

// Hands a URL to the user's default handler (the browser for http URLs); failures are silent.
// Main thread only.
void OpenUrl(const std::string& url);

}  // namespace platform
