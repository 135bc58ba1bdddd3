#pragma once

#include "scan/scandriver.h"

#include <mutex>
#include <string>
#include <vector>

namespace scantest {

struct TReport {
  std::string ip, hostName, mac, protocol, title;
  scan::THostDetails details{};
  bool operator==(const TReport&) const = default;
};

// Collects one pass's status texts (main thread) and reports (worker threads).
class TPassRecorder {
 public:
  scan::TStatusCallback Status() {
    return [this](const std::string& text) { statusTexts.push_back(text); };
  }
  scan::TResultCallback Results() {
    return [this](const std::string& ip, const std::string& hostName, const std::string& mac,
                  const std::string& protocol, const std::string& title,
                  const scan::THostDetails& details) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_reports.push_back({ip, hostName, mac, protocol, title, details});
    };
  }
  std::vector<TReport> Reports() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
  }
  // The status texts that are not the throttle's running counts.
  std::vector<std::string> Milestones() const {
    std::vector<std::string> texts;
    for (const std::string& text : statusTexts) {
      if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        texts.push_back(text);
    }
    return texts;
  }

  std::vector<std::string> statusTexts;

 private:
  std::mutex m_mutex;
  std::vector<TReport> m_reports;
};

// True when the milestones are exactly the closing texts of a pass in order.
inline bool HasPassTexts(const std::vector<std::string>& milestones) {
  return milestones.size() == 4 && milestones[0] == "Scan start" &&
         milestones[1] == "Waiting to finish." && milestones[2] == "All thread done." &&
         milestones[3].rfind("All done. ", 0) == 0 &&
         milestones[3].size() == std::string("All done. 00:00:00").size();
}

}  // namespace scantest
