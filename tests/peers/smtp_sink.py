#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) on 127.0.0.1 for the end-to-end tests.

Appends every message it accepts to OUT as one JSON line (envelope sender,
recipients in order, the message text). Prints "ready" once listening, and
stops on SIGTERM or after --seconds.
"""
import argparse
import json
import signal
import threading

from aiosmtpd.controller import Controller


class Sink:
    def __init__(self, path):
        self.path = path

    async def handle_DATA(self, server, session, envelope):
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "data": envelope.content.decode("utf-8", "replace"),
        }
        with open(self.path, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--out", required=True)
    parser.add_argument("--seconds", type=float, default=300)
    args = parser.parse_args()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    controller = Controller(Sink(args.out), hostname="127.0.0.1", port=args.port)
    controller.start()
    print("ready", flush=True)
    done.wait(args.seconds)
    controller.stop()


if __name__ == "__main__":
    main()
