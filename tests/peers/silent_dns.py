#!/usr/bin/python3
"""A name server on a loopback address that reads every query and never
answers, for the end-to-end tests. Prints "ready" once bound, and stops on
SIGTERM or after --seconds."""
import argparse
import select
import signal
import socket
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", default="127.0.0.77")
    parser.add_argument("--seconds", type=float, default=120)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: exit(0))
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((args.address, 53))
    print("ready", flush=True)
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        if select.select([server], [], [], 0.5)[0]:
            server.recvfrom(4096)  # and say nothing


if __name__ == "__main__":
    main()
