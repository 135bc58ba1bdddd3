// A style plugin as a local user could slip it into the program through QT_PLUGIN_PATH and
// QT_STYLE_OVERRIDE. It records what such code could do inside the program: the capability
// sets of the thread that loads it and whether it can open a packet socket. The report goes
// to the file that QZ_PROBE_REPORT names.

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <QStyleFactory>
#include <QStylePlugin>

namespace {

void Report() {
  const char* path = std::getenv("QZ_PROBE_REPORT");
  if (!path) return;
  std::ofstream out(path);
  std::ifstream status("/proc/thread-self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Cap", 0) == 0) out << line << "\n";
  }
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
