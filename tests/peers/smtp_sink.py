#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) on 127.0.0.1 for the end-to-end tests.

Appends every message it accepts to OUT as one JSON line (envelope sender,
recipients in order, the message text, whether the session was protected
by TLS and who authenticated). Prints "ready" once listening, and stops on
SIGTERM or after --seconds.

--cert/--key: offer STARTTLS with this certificate (--implicit-tls: speak
TLS from the first byte instead). --auth USER:PASSWORD: require AUTH
(PLAIN or LOGIN, over TLS only unless --auth-in-clear) with these
credentials; each AUTH is logged to OUT as {"auth": MECHANISM, "tls": ...}.
--refuse-data: answer every message, once its data arrived, with 451 (a
relay that cannot take mail for now); nothing is logged.
"""
import argparse
import json
import signal
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Sink:
    def __init__(self, path, implicit_tls=False, refuse_data=False):
        self.path = path
        self.implicit_tls = implicit_tls  # the session then has no STARTTLS to show
        self.refuse_data = refuse_data

    async def handle_DATA(self, server, session, envelope):
        if self.refuse_data:
            return "451 4.3.0 Try again later"
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "data": envelope.content.decode("utf-8", "replace"),
            "tls": self.implicit_tls or session.ssl is not None,
            "login": session.auth_data.login.decode() if session.auth_data else None,
        }
        with open(self.path, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")
        return "250 OK"


class Authenticator:
    def __init__(self, user, password, out, implicit_tls):
        self.user, self.password, self.out = user.encode(), password.encode(), out
        self.implicit_tls = implicit_tls

    def __call__(self, server, session, envelope, mechanism, auth_data):
        with open(self.out, "a", encoding="utf-8") as out:
            tls = self.implicit_tls or session.ssl is not None
            out.write(json.dumps({"auth": mechanism, "tls": tls}) + "\n")
        ok = isinstance(auth_data, LoginPassword) and (
            auth_data.login == self.user and auth_data.password == self.password)
        return AuthResult(success=ok, auth_data=auth_data if ok else None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--out", required=True)
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--auth")
    parser.add_argument("--auth-in-clear", action="store_true")
    parser.add_argument("--mechanism", help="offer only this AUTH mechanism")
    parser.add_argument("--refuse-data", action="store_true")
    args = parser.parse_args()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    options = {}
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.implicit_tls:
            options["ssl_context"] = context
        else:
            options["tls_context"] = context
    if args.auth:
        user, password = args.auth.split(":", 1)
        options["authenticator"] = Authenticator(user, password, args.out, args.implicit_tls)
        options["auth_required"] = True
        # A connection in TLS from the first byte is protected, though the
        # server's STARTTLS check does not know it.
        options["auth_require_tls"] = not (args.auth_in_clear or args.implicit_tls)
        if args.mechanism:
            others = {"PLAIN", "LOGIN"} - {args.mechanism}
            options["auth_exclude_mechanism"] = sorted(others)
    controller = Controller(Sink(args.out, args.implicit_tls, args.refuse_data), hostname="127.0.0.1", port=args.port, **options)
    controller.start()
    print("ready", flush=True)
    done.wait(args.seconds)
    controller.stop()


if __name__ == "__main__":
    main()
