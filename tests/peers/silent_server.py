#!/usr/bin/python3
"""A TCP server on 127.0.0.1 that accepts connections and never says a word.

Prints "ready" once listening; stops on SIGTERM or after --seconds.
"""
import argparse
import signal
import socket
import threading


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--seconds", type=float, default=300)
    args = parser.parse_args()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    listener.settimeout(0.2)
    print("ready", flush=True)
    held = []
    while not done.is_set():
        try:
            connection, _ = listener.accept()
            held.append(connection)  # kept open, never answered
        except socket.timeout:
            pass
        if len(held) == 0 and done.wait(0):
            break
    for connection in held:
        connection.close()
    listener.close()


if __name__ == "__main__":
    main()
