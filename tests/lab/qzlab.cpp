// qzlab: builds, uses and removes a test network for scripts and benchmarks.
//
//   qzlab up <lab-file>          builds the lab, prints its prefix (e.g. qz1234) and leaves it up
//   qzlab down <prefix>           ends the lab's processes and deletes its namespaces
//   qzlab exec <prefix> <cmd...>  runs a command in the lab's scanner namespace
//
// Lab file: one statement per line; blank lines and lines starting with "#" are skipped.
//
//   segment <cidr> [mac] [cidr...]        a scanner adapter with these addresses (in this
//                                         order) and a bridge; segments count from 0
//   host <segment> <ip> [mac] [name]      a host on that segment; the name goes into the
//                                         scanner's hosts file
//   hosts <segment> <first-ip> <count> <mac-prefix>
//                                         count hosts from first-ip upward, MACs
//                                         <mac-prefix>:00:01, :00:02, ... (mac-prefix is
//                                         four bytes, e.g. 00:00:0c:aa)
//   http <ip> lighttpd|busybox|python <docroot>
//                                         a web server on <ip>:80 serving docroot
//   arpdelay <ip> <ms>                    the host answers ARP only through a responder
//                                         that delays each reply by <ms>
//   arp <ip> [delay MS] [doze PCT] [spacing MS] [from MAC,MAC...]
//                                         the host answers ARP only through a responder
//                                         that behaves as told: replies MS late, loses PCT %
//                                         of the broadcast who-has frames (never unicast
//                                         ones), ignores who-has frames within MS of the
//                                         previous one, answers from these MACs instead
//                                         (tests/lab/arp_delay_responder.cpp)
//   mdns <ip> <host-name>                 avahi-daemon in the host, publishing <host-name>.local
//   netbios <ip> <name>                   nmbd in the host, with the NetBIOS name <name>
//   badnames <ip>                         a responder that answers name queries only with
//                                         malformed or foreign datagrams
//   dnssd <ip> <host-name> yes|no <type> <txt> <instance name...>
//                                         avahi-daemon in the host publishing one service
//                                         instance (e.g. _ipp._tcp ty=LaserJet Office Printer);
//                                         yes|no: whether it publishes the host's address too
//   minidlna <ip> <friendly name...>      minidlna in the host (UPnP media server)
//   ssdp <ip> <kind> [args...]            a scripted UPnP device (tests/lab/ssdp_responder.py):
//                                         describe <device-type> <friendly name...>, huge, bomb,
//                                         location <url>
//
// Example:
//   segment 192.168.77.2/24 02:00:00:00:77:02
//   host 0 192.168.77.10 00:00:0c:12:34:56 printer.lab
//   http 192.168.77.10 busybox /srv/www
//
// `up` prints how long the lab took to build on stderr.

#include "lab/lab.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TLater {
  std::string kind;  // "http", "arpdelay", "mdns", "netbios", "badnames", "dnssd", ...
  std::vector<std::string> args;
};

std::string NextIp(const std::string& ip, int offset) {
  in_addr a{};
  if (inet_pton(AF_INET, ip.c_str(), &a) != 1) throw std::invalid_argument("bad address " + ip);
  a.s_addr = htonl(ntohl(a.s_addr) + static_cast<uint32_t>(offset));
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

void ReadLabFile(const std::string& path, lab::TLab& lab, std::vector<TLater>& later) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty() || w[0][0] == '#') continue;
    auto need = [&](size_t n) {
      if (w.size() < n)
        throw std::runtime_error(path + ":" + std::to_string(number) + ": too few words");
    };
    if (w[0] == "segment") {
      need(2);
      std::string mac;
      std::vector<std::string> more;
      for (size_t i = 2; i < w.size(); ++i) {
        if (w[i].find(':') != std::string::npos) mac = w[i];
        else more.push_back(w[i]);
      }
      lab.AddSegment(w[1], mac, more);
    } else if (w[0] == "host") {
      need(3);
      lab.AddHost({w[2], w.size() > 3 ? w[3] : "", w.size() > 4 ? w[4] : "", std::stoi(w[1])});
    } else if (w[0] == "hosts") {
      need(5);
      int count = std::stoi(w[3]);
      for (int i = 0; i < count; ++i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "%s:%02x:%02x", w[4].c_str(), (i + 1) >> 8, (i + 1) & 0xff);
        lab.AddHost({NextIp(w[2], i), mac, "", std::stoi(w[1])});
      }
    } else if (w[0] == "arp") {
      need(2);
      if (w.size() % 2 != 0)
        throw std::runtime_error(path + ":" + std::to_string(number) + ": arp wants pairs");
      later.push_back({w[0], std::vector<std::string>(w.begin() + 1, w.end())});
    } else if (w[0] == "http" || w[0] == "arpdelay" || w[0] == "mdns" || w[0] == "netbios" ||
               w[0] == "badnames" || w[0] == "dnssd" || w[0] == "minidlna" || w[0] == "ssdp") {
      need(w[0] == "http" ? 4 : w[0] == "badnames" ? 2 : w[0] == "dnssd" ? 7 : 3);
      later.push_back({w[0], std::vector<std::string>(w.begin() + 1, w.end())});
    } else {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": unknown statement " + w[0]);
    }
  }
}

// The words from index first on, joined by blanks.
std::string Join(const std::vector<std::string>& words, size_t first) {
  std::string text;
  for (size_t i = first; i < words.size(); ++i) text += (text.empty() ? "" : " ") + words[i];
  return text;
}

void StartDnsSd(lab::TLab& lab, const std::vector<std::string>& a) {
  const std::string service = "<?xml version=\"1.0\" standalone='no'?>\n<service-group><name>" +
                              Join(a, 5) + "</name><service><type>" + a[3] +
                              "</type><port>9</port><txt-record>" + a[4] +
                              "</txt-record></service></service-group>\n";
  lab.StartMdnsResponder(a[0], a[1], {service}, a[2] == "yes");
}

void StartSsdp(lab::TLab& lab, const std::vector<std::string>& a) {
  std::vector<std::string> args(a.begin() + 1, a.end());
  if (a[1] == "describe" && a.size() > 3) args = {"describe", a[2], Join(a, 3)};
  lab.StartSsdpResponder(a[0], args);
}

// args: the address, then pairs of a word and its value.
void StartArp(lab::TLab& lab, const std::vector<std::string>& args) {
  lab::TArpBehaviour behaviour;
  for (size_t i = 1; i + 1 < args.size(); i += 2) {
    const std::string& value = args[i + 1];
    if (args[i] == "delay") behaviour.delayMs = std::stoi(value);
    else if (args[i] == "doze") behaviour.dozePercent = std::stoi(value);
    else if (args[i] == "spacing") behaviour.spacingMs = std::stoi(value);
    else if (args[i] == "from") {
      for (size_t start = 0; start <= value.size();) {
        size_t comma = std::min(value.find(',', start), value.size());
        behaviour.fromMacs.push_back(value.substr(start, comma - start));
        start = comma + 1;
      }
    } else {
      throw std::runtime_error("arp " + args[0] + ": unknown word " + args[i]);
    }
  }
  lab.StartArpResponder(args[0], behaviour);
}

int Up(const std::string& labFilePath) {
  lab::TLab lab;
  std::vector<TLater> later;
  ReadLabFile(labFilePath, lab, later);
  try {
    lab.Up();
    lab.Keep();
    for (const auto& item : later) {
      if (item.kind == "http") lab.StartHttpServer(item.args[0], item.args[1], item.args[2]);
      else if (item.kind == "mdns") lab.StartMdnsResponder(item.args[0], item.args[1]);
      else if (item.kind == "netbios") lab.StartNetbiosResponder(item.args[0], item.args[1]);
      else if (item.kind == "badnames") lab.StartBadNameResponder(item.args[0]);
      else if (item.kind == "dnssd") StartDnsSd(lab, item.args);
      else if (item.kind == "minidlna") lab.StartMinidlna(item.args[0], Join(item.args, 1));
      else if (item.kind == "ssdp") StartSsdp(lab, item.args);
      else if (item.kind == "arp") StartArp(lab, item.args);
      else lab.StartDelayedArpHost(item.args[0], std::stoi(item.args[1]));
    }
  } catch (...) {
    lab::TLab::Destroy(lab.Prefix());
    throw;
  }
  std::cerr << "lab " << lab.Prefix() << " with " << lab.Hosts().size() << " hosts up in "
            << lab.UpTime().count() << " ms\n";
  std::cout << lab.Prefix() << std::endl;
  return 0;
}

int Exec(const std::string& prefix, char** argv) {
  std::vector<char*> args{const_cast<char*>("ip"), const_cast<char*>("netns"),
                          const_cast<char*>("exec")};
  std::string ns = prefix + "s";
  args.push_back(ns.data());
  for (char** a = argv; *a; ++a) args.push_back(*a);
  args.push_back(nullptr);
  execvp("ip", args.data());
  std::perror("qzlab: ip");
  return 127;
}

int Usage() {
  std::cerr << "usage: qzlab up <lab-file> | down <prefix> | exec <prefix> <cmd...>\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1];
  try {
    if (!lab::HaveRoot()) {
      std::cerr << "qzlab: needs root to build network namespaces\n";
      return 1;
    }
    if (command == "up" && argc == 3) return Up(argv[2]);
    if (command == "down" && argc == 3) {
      if (lab::TLab::Destroy(argv[2])) return 0;
      std::cerr << "qzlab: no lab " << argv[2] << "\n";
      return 1;
    }
    if (command == "exec" && argc >= 4) return Exec(argv[2], argv + 3);
  } catch (const std::exception& e) {
    std::cerr << "qzlab: " << e.what() << "\n";
    return 1;
  }
  return Usage();
}
