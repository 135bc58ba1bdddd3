#include "netinfo/dnssd.h"

#include "netinfo/dnsmessage.h"
#include "support/posix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <span>

namespace netinfo {

namespace {

using TClock = std::chrono::steady_clock;

constexpr const char* kServiceEnumeration = "_services._dns-sd._udp.local";
constexpr int kRetryMs = 400;
constexpr int kServiceTypesWaitMs = 1000;
// A legacy unicast answer fits one datagram of at most 9000 bytes (RFC 6762 section 17); one
// that does not fit is cut by the kernel and then not read.
constexpr size_t kDatagramBuffer = 9000;
constexpr int kDatagramsPerWake = 32;
constexpr size_t kMaxTxtStrings = 64;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  const std::string_view tail = text.substr(text.size() - suffix.size());
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (LowerAscii(tail[i]) != LowerAscii(suffix[i])) return false;
  }
  return true;
}

// "_ipp._tcp" from "_ipp._tcp.local": a service type is two labels, an application protocol and
// _tcp or _udp (RFC 6763 section 7), in the local domain. Empty for anything else.
std::string ServiceTypeOf(const std::string& name) {
  if (!EndsWithIgnoringCase(name, "._tcp.local") && !EndsWithIgnoringCase(name, "._udp.local"))
    return {};
  std::string type = name.substr(0, name.size() - 6);
  std::transform(type.begin(), type.end(), type.begin(), LowerAscii);
  if (type.size() < 7 || type[0] != '_' || type.find('.') != type.size() - 5 ||
      type.find('\\') != std::string::npos) {
    return {};
  }
  return type;
}

// True when a name in presentation form is one label: no dot but an escaped one.
bool IsOneLabel(std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\') {
      ++i;
    } else if (name[i] == '.') {
      return false;
    }
  }
  return !name.empty();
}

// One round of questions to the device's mDNS port over one connected socket: every question
// has its own random id, and an answer is matched to its question by id and by the question
// it repeats.
class TRound {
 public:
  TRound(int fd, uint16_t type) : m_fd(fd), m_type(type) {}

  void Ask(const std::string& name) {
    uint16_t id = 0;
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id)
      id = static_cast<uint16_t>(TClock::now().time_since_epoch().count() + m_questions.size());
    m_questions.push_back({name, id, BuildQuery(id, name, m_type), std::nullopt});
  }

  // Sends every unanswered question; false when the port is refused.
  bool Send() {
    for (const TQuestionState& q : m_questions) {
      if (q.answer) continue;
      const ssize_t sent = support::RetryOnEintr(
          [&] { return send(m_fd, q.query.data(), q.query.size(), MSG_NOSIGNAL); });
      if (sent < 0 && errno != EAGAIN) return false;
    }
    return true;
  }

  // Waits for answers until every question has one, the retry time or the deadline; false when
  // the port is refused.
  bool Collect(TClock::time_point until) {
    uint8_t buffer[kDatagramBuffer];
    while (!Complete()) {
      const auto now = TClock::now();
      if (now >= until) return true;
      pollfd entry{m_fd, POLLIN, 0};
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
      const int ready = poll(&entry, 1, static_cast<int>(wait.count()) + 1);
      if (ready < 0 && errno != EINTR) return false;
      if (ready <= 0) continue;
      for (int i = 0; i < kDatagramsPerWake && !Complete(); ++i) {
        const ssize_t got =
            support::RetryOnEintr([&] { return recv(m_fd, buffer, sizeof buffer, MSG_TRUNC); });
        if (got < 0) {
          if (errno == EAGAIN) break;
          return false;  // ECONNREFUSED: no responder on the device
        }
        if (static_cast<size_t>(got) <= sizeof buffer)
          Take(std::span<const uint8_t>(buffer, static_cast<size_t>(got)));
      }
    }
    return true;
  }

  bool Complete() const {
    for (const TQuestionState& q : m_questions) {
      if (!q.answer) return false;
    }
    return true;
  }

  // The answers in the order of the questions; an unanswered question gives an empty list.
  std::vector<std::pair<std::string, std::vector<std::string>>> Answers() const {
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    for (const TQuestionState& q : m_questions)
      out.emplace_back(q.name, q.answer.value_or(std::vector<std::string>{}));
    return out;
  }

 private:
  struct TQuestionState {
    std::string name;
    uint16_t id;
    std::vector<uint8_t> query;
    std::optional<std::vector<std::string>> answer;
  };

  void Take(std::span<const uint8_t> datagram) {
    if (datagram.size() < 2) return;
    const auto id = static_cast<uint16_t>(datagram[0] << 8 | datagram[1]);
    const size_t limit = m_type == kDnsTypeTxt ? kMaxTxtStrings : kMaxServiceInstances;
    for (TQuestionState& q : m_questions) {
      if (q.answer || q.id != id) continue;
      q.answer = ParseAnswers(datagram, id, q.name, m_type, limit);
    }
  }

  int m_fd;
  uint16_t m_type;
  std::vector<TQuestionState> m_questions;
};

// Asks a round and collects its answers; false when the device refused the port.
bool RunRound(TRound& round, TClock::time_point deadline) {
  if (!round.Send()) return false;
  const auto retryAt = std::min(deadline, TClock::now() + std::chrono::milliseconds(kRetryMs));
  if (!round.Collect(retryAt)) return false;
  if (round.Complete() || TClock::now() >= deadline) return true;
  return round.Send() && round.Collect(deadline);
}

}  // namespace

std::string ModelOf(const std::vector<std::string>& txtStrings) {
  for (const char* key : {"model=", "ty=", "md="}) {
    const std::string_view wanted(key);
    for (const std::string& entry : txtStrings) {
      if (entry.size() > wanted.size() &&
          EndsWithIgnoringCase(entry.substr(0, wanted.size()), wanted)) {
        return entry.substr(wanted.size());
      }
    }
  }
  return {};
}

TDnsSdFindings AskDnsSd(const std::string& address, TClock::time_point deadline) {
  TDnsSdFindings findings;
  sockaddr_in device{};
  device.sin_family = AF_INET;
  device.sin_port = htons(kMdnsPort);
  if (inet_pton(AF_INET, address.c_str(), &device.sin_addr) != 1) return findings;
  // A connected socket: the kernel delivers only datagrams from the device's address and port,
  // and an ICMP port unreachable ends the questions at once.
  support::TUniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd || connect(fd.Get(), reinterpret_cast<const sockaddr*>(&device), sizeof device) != 0)
    return findings;

  TRound types(fd.Get(), kDnsTypePtr);
  types.Ask(kServiceEnumeration);
  // A responder without services (Avahi, for one) leaves the enumeration unanswered: it gets
  // the mDNS name's second, not the whole deadline.
  const auto typesDeadline =
      std::min(deadline, TClock::now() + std::chrono::milliseconds(kServiceTypesWaitMs));
  if (!RunRound(types, typesDeadline)) return findings;
  const auto listed = types.Answers();
  for (const std::string& name : listed.front().second) {
    const std::string type = ServiceTypeOf(name);
    if (type.empty() || findings.ServiceTypes.size() == kMaxServiceTypes) continue;
    if (std::find(findings.ServiceTypes.begin(), findings.ServiceTypes.end(), type) ==
        findings.ServiceTypes.end())
      findings.ServiceTypes.push_back(type);
  }
  if (findings.ServiceTypes.empty()) return findings;

  TRound instances(fd.Get(), kDnsTypePtr);
  for (const std::string& type : findings.ServiceTypes) instances.Ask(type + ".local");
  if (!RunRound(instances, deadline)) return findings;
  std::vector<std::string> instanceNames;
  const auto instanceAnswers = instances.Answers();
  for (const auto& [question, targets] : instanceAnswers) {
    for (const std::string& target : targets) {
      // An instance of that very type: "<label>.<type>.local".
      if (findings.Instances.size() == kMaxServiceInstances) break;
      if (target.size() <= question.size() + 1 || !EndsWithIgnoringCase(target, "." + question))
        continue;
      const std::string_view head(target.data(), target.size() - question.size() - 1);
      if (!IsOneLabel(head)) continue;
      const std::string label = FirstLabel(head);
      findings.Instances.push_back({label, question.substr(0, question.size() - 6), {}});
      instanceNames.push_back(target);
    }
  }
  if (instanceNames.empty()) return findings;

  TRound records(fd.Get(), kDnsTypeTxt);
  for (const std::string& name : instanceNames) records.Ask(name);
  RunRound(records, deadline);
  const auto answers = records.Answers();
  for (size_t i = 0; i < answers.size(); ++i)
    findings.Instances[i].Model = ModelOf(answers[i].second);
  return findings;
}

}  // namespace netinfo
