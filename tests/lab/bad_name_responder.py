#!/usr/bin/env python3
"""A device that answers name queries with nothing a scanner may use.

Runs inside a lab host: bad_name_responder.py <ip>. Listens on <ip>:5353 and <ip>:137 and
answers every datagram with a burst of replies, each wrong in one way:
  mDNS (5353): a PTR answer whose target is a compression pointer to itself, one whose
               pointer leads forward, a well-formed answer with the wrong transaction id, and
               one for another question;
  NetBIOS (137): a node status answer with the wrong transaction id, and one whose name count
               runs past the end of the datagram.
It exits when its parent lab ends it (SIGTERM).
"""
import select
import socket
import struct
import sys


def dns_name(text):
    return b"".join(bytes([len(label)]) + label.encode() for label in text.split(".")) + b"\0"


def mdns_replies(query):
    if len(query) < 12:
        return []
    (qid,) = struct.unpack(">H", query[:2])
    question = query[12:]  # our question as the scanner sent it: name, type, class
    header = lambda i, an: struct.pack(">HHHHHH", i, 0x8400, 1, an, 0, 0)
    fixed = lambda length: struct.pack(">HHIH", 12, 0x8001, 120, length)
    loop_at = 12 + len(question) + 2 + 10  # where the answer's data starts
    return [
        header(qid, 1) + question + b"\xc0\x0c" + fixed(2) + struct.pack(">H", 0xC000 | loop_at),
        header(qid, 1) + question + b"\xc0\x0c" + fixed(2) + b"\xc0\x7f" + b"\x05ahead\x00" * 20,
        header(qid ^ 0x0101, 1) + question + b"\xc0\x0c" + fixed(len(dns_name("wrong-id.local")))
        + dns_name("wrong-id.local"),
        header(qid, 1) + dns_name("99.99.99.10.in-addr.arpa") + question[-4:] + b"\xc0\x0c"
        + fixed(len(dns_name("other.local"))) + dns_name("other.local"),
    ]


def netbios_replies(query):
    if len(query) < 12:
        return []
    (qid,) = struct.unpack(">H", query[:2])
    wildcard = b"\x20CK" + b"A" * 30 + b"\x00"
    entry = b"WRONG-ID".ljust(15) + b"\x00" + struct.pack(">H", 0x0400)
    def answer(i, count, entries):
        data = bytes([count]) + entries
        return (struct.pack(">HHHHHH", i, 0x8400, 0, 1, 0, 0) + wildcard
                + struct.pack(">HHIH", 0x21, 1, 0, len(data)) + data)
    return [answer(qid ^ 0x0101, 1, entry + b"\0" * 46), answer(qid, 9, entry)]


def main():
    ip = sys.argv[1]
    sockets = {}
    for port, replies in ((5353, mdns_replies), (137, netbios_replies)):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((ip, port))
        sockets[s] = replies
    while True:
        ready, _, _ = select.select(list(sockets), [], [])
        for s in ready:
            query, sender = s.recvfrom(2048)
            for reply in sockets[s](query):
                s.sendto(reply, sender)


if __name__ == "__main__":
    main()
