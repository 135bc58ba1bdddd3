#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <unistd.h>

#include <QIcon>

#include "app/application.h"
#include "app/formmain.h"
#include "netinfo/arp.h"
#include "platform/privileges.h"

namespace {

constexpr const char* kUsage =
    "Usage: quenzor [--help | --version]\n"
    "Finds the devices on the private IPv4 networks of this machine and lists them live:\n"
    "host name, IP address, vendor, web page title and MAC address.\n"
    "It has no other options; the list is kept in ~/quenZOR.csv. See quenzor(1).\n";

}  // namespace

// quenZOR: finds the devices on the machine's private IPv4 networks and lists them live.
// The command line only answers --help and --version, which end the program before it does
// anything else; every other argument is ignored.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("quenZOR %s\n", QZ_VERSION);
      return 0;
    }
  }
  // Raw ARP lives in a helper program of its own (quenzor-arp, the only file that may carry
  // cap_net_raw), started first, while this process has one thread and has run no library
  // code that reads the environment. Without it ARP goes through the kernel. Then every
  // capability this process may hold goes, before Qt or ALSA read the environment or load
  // plugins.
  netinfo::StartArpHelper();
  if (!platform::DropCapabilities()) {
    // Before QCoreApplication: plain stderr, with the errno of the failed call, read before
    // anything else can change it.
    const int error = errno;
    std::fprintf(stderr, "quenzor: cannot give up its capabilities (%s); not starting\n",
                 std::strerror(error));
    return 1;
  }
  // Only the program's own name reaches Qt, so no argument changes what the program does.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  app::TApplication application(qtArgc, qtArgv);
  QApplication::setApplicationDisplayName(QStringLiteral("quenZOR"));
  QApplication::setApplicationName(QStringLiteral("quenzor"));
  // Lets the desktop (Wayland in particular) match the window to the installed entry and icon.
  QApplication::setDesktopFileName(QStringLiteral("quenzor"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quenzor")));
  app::TFormMain formMain;
  app::CloseOnTerminationSignals(&formMain);
  app::TrackCursorForExchangeLog();
  formMain.show();
  const int result = application.exec();
  // Ending the process does not wait for worker threads that may still run.
  std::fflush(nullptr);
  ::_exit(result);
}
