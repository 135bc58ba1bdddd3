#!/usr/bin/env python3
"""A scripted UPnP device for the lab: answers SSDP searches and serves a description.

Runs inside a lab host: ssdp_responder.py <ip> <kind> [args]. Listens on the SSDP group
239.255.255.250:1900 (joined on <ip>'s adapter) and on <ip>:1900, and answers every M-SEARCH
from <ip> with a LOCATION that depends on the kind:
  describe <device-type> <friendly-name>  a description at http://<ip>:49152/desc.xml
  huge                                    a description of 256 KiB whose name comes last
  bomb                                    a description with a DTD of nested entities
  location <url>                          the given URL; no web server
  flood <device-type> <friendly-name>     as describe, but first answers the first group search
                                          1,100 times from forged sources outside the lab's
                                          networks (10.77/16), then as itself
Every HTTP request is logged as "request <path>" on standard output. It exits when its parent
lab ends it (SIGTERM).
"""
import http.server
import select
import socket
import struct
import sys
import threading
import time

GROUP = "239.255.255.250"
PORT = 49152

DESCRIPTION = """<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<device>
<deviceType>urn:schemas-upnp-org:device:{kind}:1</deviceType>
<friendlyName>{name}</friendlyName>
<manufacturer>QZ Lab Devices</manufacturer>
<modelName>{kind} 9000</modelName>
<UDN>uuid:00000000-0000-0000-0000-000000000001</UDN>
</device>
</root>
"""

BOMB = """<?xml version="1.0"?>
<!DOCTYPE root [
<!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">
<!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">
<!ENTITY e "&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;">
<!ENTITY f "&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;">
]>
<root xmlns="urn:schemas-upnp-org:device-1-0"><device>
<friendlyName>Bomb &f;</friendlyName>
</device></root>
"""


def description(kind, args):
    if kind in ("describe", "flood"):
        return DESCRIPTION.format(kind=args[0], name=args[1]).encode()
    if kind == "huge":
        padding = "<!-- " + "x" * (256 * 1024) + " -->\n"
        return DESCRIPTION.format(kind="MediaRenderer", name="Huge").replace(
            "<device>", "<device>" + padding).encode()
    if kind == "bomb":
        return BOMB.encode()
    return None


def serve(ip, body):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            print("request " + self.path, flush=True)
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer((ip, PORT), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()


FLOOD_COUNT = 1100


def flood(answer, peer):
    """Sends the answer to peer from FLOOD_COUNT forged sources, paced so that the receiver's
    socket buffer never overflows."""
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    for i in range(FLOOD_COUNT):
        source = "10.77.%d.%d" % (i // 250, i % 250 + 1)
        udp = struct.pack("!HHHH", 1900, peer[1], 8 + len(answer), 0) + answer
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                         socket.inet_aton(source), socket.inet_aton(peer[0]))
        raw.sendto(ip + udp, (peer[0], 0))
        if i % 50 == 49:
            time.sleep(0.005)
    raw.close()


def main():
    ip, kind, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    body = description(kind, args)
    if body is not None:
        serve(ip, body)
        location = "http://%s:%d/desc.xml" % (ip, PORT)
    else:
        location = args[0]
    answer = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n"
              "LOCATION: %s\r\nSERVER: Linux UPnP/1.0 qzlab/1\r\nST: upnp:rootdevice\r\n"
              "USN: uuid:00000000-0000-0000-0000-000000000001::upnp:rootdevice\r\n\r\n"
              % location).encode()

    group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    group.bind((GROUP, 1900))
    group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(ip)))
    unicast = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    unicast.bind((ip, 1900))
    # Answers leave from the host's own address, as a device's do.
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.bind((ip, 0))
    print("ready", flush=True)
    flooded = kind != "flood"
    while True:
        ready, _, _ = select.select([group, unicast], [], [])
        for s in ready:
            query, peer = s.recvfrom(2048)
            if query.startswith(b"M-SEARCH"):
                way = "group" if s is group else "unicast"
                print("%s search from %s" % (way, peer[0]), flush=True)
                if way == "group" and not flooded:
                    flood(answer, peer)
                    flooded = True
                    print("flooded %s" % peer[0], flush=True)
                sender.sendto(answer, peer)


if __name__ == "__main__":
    main()
