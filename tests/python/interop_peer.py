#!/usr/bin/env python3
"""The other end of the JVM interoperability tests, written only against Python's
standard socket module, so that our message layouts meet an implementation we did
not write. Prints key=value lines for the Java side to check; every wait is bounded.

  interop_peer.py fds PATH           connect to a Unix-domain listener at PATH, receive
                                     one descriptor and read it, then send one back
  interop_peer.py udp FAMILY PORT    FAMILY 4 or 6: send a datagram to loopback PORT,
                                     then report the reply and who sent it
"""
import os
import socket
import sys

TIMEOUT = 10.0


def say(key, value):
    print("%s=%s" % (key, value), flush=True)


def fds(path):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(TIMEOUT)
        s.connect(path)
        msg, received, flags, _ = socket.recv_fds(s, 16, 4)
        say("received_count", len(received))
        say("received_flags_truncated", int(bool(flags & socket.MSG_CTRUNC)))
        for fd in received:
            # The JVM side wrote before sending, so the data is already there.
            say("received_data", os.read(fd, 100).decode("ascii"))
            os.close(fd)

        # A plain blocking pipe of our own: the JVM side must get it non-blocking.
        r, w = os.pipe()
        os.write(w, b"from python")
        sent = socket.send_fds(s, [b"p"], [r])
        say("sent_bytes", sent)
        os.close(r)
        # Keep the write end open until the JVM is done, then wait for it to hang up.
        s.recv(1)
        os.close(w)
    say("done", 1)


def udp(family, java_port):
    af, host = (socket.AF_INET, "127.0.0.1") if family == "4" else (socket.AF_INET6, "::1")
    with socket.socket(af, socket.SOCK_DGRAM) as s:
        s.settimeout(TIMEOUT)
        s.bind((host, 0))
        say("port", s.getsockname()[1])
        s.sendto(b"ping from python", (host, java_port))
        data, addr = s.recvfrom(100)
        say("reply", data.decode("ascii"))
        say("from_host", addr[0])
        say("from_port", addr[1])
        s.sendto(b"", (host, java_port))
    say("done", 1)


def main(argv):
    if len(argv) >= 3 and argv[1] == "fds":
        fds(argv[2])
    elif len(argv) >= 4 and argv[1] == "udp":
        udp(argv[2], int(argv[3]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
