#!/usr/bin/env python3
"""TCP peers for the socket monitor's tests, each ending when killed.

  tcp_peer.py listen HOST PORT     listen (PORT 0: any free port), print the
                                   port, accept and hold connections
  tcp_peer.py connect FROM HOST PORT
                                   connect from address FROM, print "connected",
                                   hold the connection
"""
import socket
import sys
import time


def listen(host, port):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, port))
    server.listen(16)
    print(server.getsockname()[1], flush=True)
    held = []
    while True:
        connection, _ = server.accept()
        held.append(connection)


def connect(source, host, port):
    client = socket.socket()
    client.bind((source, 0))
    client.connect((host, port))
    print("connected", flush=True)
    while True:
        time.sleep(60)


if __name__ == "__main__":
    if sys.argv[1] == "listen":
        listen(sys.argv[2], int(sys.argv[3]))
    else:
        connect(sys.argv[2], sys.argv[3], int(sys.argv[4]))
