"""A throw-away SMTP server for the tests: listens on a free loopback port, prints
"PORT <n>" once it accepts connections, and stores every message it receives in a folder:
msg-NNNN.env (envelope sender on the first line, one recipient per further line) and
msg-NNNN.eml (the message bytes as received). With --user and --password it offers
AUTH LOGIN and PLAIN and accepts only that account (over the plain connection, or with TLS
only once it is secured). --tls starttls|implicit with --cert and --key secures the connection:
STARTTLS is then required before anything else, or TLS starts with the first byte. --host
chooses the loopback address (127.0.0.1 or ::1)."""
import argparse
import asyncio
import logging
import os
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "msg-%04d" % self.count)
        with open(base + ".env", "w", encoding="utf-8") as env:
            env.write((envelope.mail_from or "") + "\n")
            for rcpt in envelope.rcpt_tos:
                env.write(rcpt + "\n")
        # The .eml appears only when complete, so a reader never sees half a message.
        with open(base + ".tmp", "wb") as eml:
            eml.write(envelope.original_content or envelope.content)
        os.replace(base + ".tmp", base + ".eml")
        return "250 OK"


def end_with_parent():
    """A test killed outright (a time-out, a crash) must not leave its server behind, holding
    the test runner's output pipe open for ever."""
    parent = os.getppid()
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        return
    if os.getppid() != parent:  # the parent went before the wish was made
        sys.exit(0)


def main():
    end_with_parent()
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True)
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--tls", choices=("starttls", "implicit"))
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--host", default="127.0.0.1")
    args = parser.parse_args()
    context = None
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    # AUTH without TLS is what the tests want; the server's warnings about it are noise.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.ERROR)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == args.user.encode()
              and auth_data.password == args.password.encode())
        return AuthResult(success=ok, handled=False)

    handler = Sink(args.folder)
    with_auth = args.user is not None

    def factory():
        options = {"hostname": "sink.test"}
        if args.tls == "starttls":
            options.update(tls_context=context, require_starttls=True)
        if with_auth:
            options.update(auth_require_tls=args.tls == "starttls", auth_required=True,
                           authenticator=authenticator)
        return SMTP(handler, **options)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(
        factory, args.host, 0, ssl=context if args.tls == "implicit" else None))
    port = server.sockets[0].getsockname()[1]
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
