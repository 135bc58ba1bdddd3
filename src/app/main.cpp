#include <cstdio>

#include <unistd.h>

#include <QIcon>

#include "app/application.h"
#include "app/formmain.h"
#include "netinfo/arp.h"
#include "platform/privileges.h"

// quenZOR: finds the devices on the machine's private IPv4 networks and lists them live.
// The command line is not read.
int main(int, char** argv) {
  // The capability the package may give the program (cap_net_raw) is used here, once, for the
  // packet socket of raw ARP; then every capability goes, before Qt or ALSA read the
  // environment or load plugins. Without the capability ARP goes through the kernel.
  netinfo::OpenArpSocket();
  if (!platform::DropCapabilities()) {
    std::fputs("quenzor: cannot give up its capabilities; not starting\n", stderr);
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
  formMain.show();
  const int result = application.exec();
  // Ending the process does not wait for worker threads that may still run.
  std::fflush(nullptr);
  ::_exit(result);
}
