#!/usr/bin/python3
"""Peers that misbehave, one way each, for the tests of what brimwell does with them.

    hostile_peers.py MODE [PATH | MIB]

A TCP peer listens on a free loopback port and prints "READY PORT", then "ACCEPTED" once the tool
is connected; a peer that serves files or sockets in PATH prints "READY" once they are there.
  flood-then-accept [MIB]  MIB (64) MiB of data before it accepts the COM-PORT option, then data
                      without pause
  ask-flood           asks for an option (IAC DO 99) without pause and reads nothing
  big-subnegotiation  accepts the COM-PORT option, then sends a sub-negotiation of 1 MiB
  silent-pci PATH     the 16 driver sockets PATH/WRTdev0..15 accept and never answer
  slow-fifo PATH      makes PATH a FIFO and writes one byte to it every 100 ms, for ever
"""
import os
import selectors
import socket
import sys
import time

IAC, DO, SB, SE, COM_PORT = 255, 253, 250, 240, 44


def serve_tcp(talk):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    print("READY", server.getsockname()[1], flush=True)
    conn, _ = server.accept()
    print("ACCEPTED", flush=True)
    try:
        talk(conn)
    except OSError:
        pass  # the tool went away


def flood_then_accept(conn, mib):
    chunk = b"x" * 65536
    for _ in range(16 * mib):
        conn.sendall(chunk)
    conn.sendall(bytes([IAC, DO, COM_PORT]))
    while True:
        conn.sendall(chunk)


def ask_flood(conn):
    burst = bytes([IAC, DO, 99]) * 20000
    while True:
        conn.sendall(burst)


def big_subnegotiation(conn):
    conn.sendall(bytes([IAC, DO, COM_PORT]))
    conn.sendall(bytes([IAC, SB, COM_PORT]) + b"x" * (1 << 20) + bytes([IAC, SE]))
    while conn.recv(65536):
        pass


def silent_pci(directory):
    selector = selectors.DefaultSelector()
    for i in range(16):
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(os.path.join(directory, "WRTdev%d" % i))
        listener.listen(4)
        selector.register(listener, selectors.EVENT_READ)
    print("READY", flush=True)
    held = []
    while True:
        for key, _ in selector.select():
            held.append(key.fileobj.accept()[0])


def slow_fifo(path):
    os.mkfifo(path)
    # Open for reading too: the FIFO is never without a writer, whoever opens and closes it.
    fifo = os.open(path, os.O_RDWR)
    print("READY", flush=True)
    while True:
        os.write(fifo, b"\x01")
        time.sleep(0.1)


if __name__ == "__main__":
    mode = sys.argv[1]
    try:
        {"flood-then-accept": lambda: serve_tcp(
            lambda conn: flood_then_accept(conn, int(sys.argv[2]) if len(sys.argv) > 2 else 64)),
         "ask-flood": lambda: serve_tcp(ask_flood),
         "big-subnegotiation": lambda: serve_tcp(big_subnegotiation),
         "silent-pci": lambda: silent_pci(sys.argv[2]),
         "slow-fifo": lambda: slow_fifo(sys.argv[2])}[mode]()
    except (BrokenPipeError, ConnectionResetError):
        pass
