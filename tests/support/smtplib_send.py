"""Sends one message file a number of times with Python's smtplib, a new connection each time,
and prints the mean seconds per send. Interpreter start-up is left out of the figure.
With --starttls CAFILE the client connects to localhost, says STARTTLS and checks the server's
certificate against CAFILE before it sends."""
import smtplib
import ssl
import sys
import time


def main():
    args = sys.argv[1:]
    context = None
    if args[0] == "--starttls":
        context = ssl.create_default_context(cafile=args[1])
        args = args[2:]
    port, path, count = int(args[0]), args[1], int(args[2])
    sender, recipients = args[3], args[4:]
    with open(path, "rb") as f:
        message = f.read()
    host = "localhost" if context else "127.0.0.1"
    start = time.perf_counter()
    for _ in range(count):
        with smtplib.SMTP(host, port) as client:
            if context:
                client.starttls(context=context)
            client.sendmail(sender, recipients, message)
    print("%.6f" % ((time.perf_counter() - start) / count))


if __name__ == "__main__":
    main()
