// A style plugin as a local user could slip it into the program through QT_PLUGIN_PATH and
// QT_STYLE_OVERRIDE. It records what such code could do inside the program: the capability
// sets of the thread that loads it, the packet sockets it finds among the process's
// descriptors and whether it can open one. The report goes to the file that QZ_PROBE_REPORT
// names.

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <QStyleFactory>
#include <QStylePlugin>

namespace {

// Descriptors of this process that are packet sockets (their inodes are in /proc/net/packet).
int PacketDescriptors() {
  std::set<std::string> inodes;
  std::ifstream table("/proc/self/net/packet");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) inodes.insert(line.substr(line.find_last_of(' ') + 1));
  int count = 0;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0 &&
        inodes.count(target.substr(8, target.size() - 9)) != 0) {
      ++count;
    }
  }
  return count;
}

void Report() {
  const char* path = std::getenv("QZ_PROBE_REPORT");
  if (!path) return;
  std::ofstream out(path);
  std::ifstream status("/proc/thread-self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Cap", 0) == 0) out << line << "\n";
  }
  out << "packet descriptors: " << PacketDescriptors() << "\n";
  const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
  out << "packet socket: " << (fd >= 0 ? "opened" : std::strerror(errno)) << "\n";
  if (fd >= 0) close(fd);
}

}  // namespace

class TProbeStylePlugin : public QStylePlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "probestyle.json")

 public:
  QStyle* create(const QString&) override {
    Report();
    return QStyleFactory::create(QStringLiteral("Fusion"));
  }
};

#include "probestyle.moc"
