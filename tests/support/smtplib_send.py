"""Sends one message file a number of times with Python's smtplib, a new connection each time,
and prints the mean seconds per send. Interpreter start-up is left out of the figure."""
import smtplib
import sys
import time


def main():
    port, path, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    sender, recipients = sys.argv[4], sys.argv[5:]
    with open(path, "rb") as f:
        message = f.read()
    start = time.perf_counter()
    for _ in range(count):
        with smtplib.SMTP("127.0.0.1", port) as client:
            client.sendmail(sender, recipients, message)
    print("%.6f" % ((time.perf_counter() - start) / count))


if __name__ == "__main__":
    main()
