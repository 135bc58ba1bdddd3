// Prints "<address> <LookupHostName(address)>" for each argument; the lookup tests run it
// inside a lab namespace, where the namespace's own hosts and resolv.conf apply.
#include "netinfo/ipaddress.h"

#include <cstdio>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::printf("%s %s\n", argv[i], netinfo::LookupHostName(argv[i]).c_str());
  }
  return 0;
}
