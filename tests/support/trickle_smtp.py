"""An SMTP server for the tests that answers, but never fast enough: it listens on a free loopback
port, prints "PORT <n>" and serves one connection, writing a byte at a time with a pause between.
--trickle handshake sends the TLS handshake so (--tls starttls or implicit, with --cert and
--key); --trickle reply completes any handshake at once and then sends the greeting (inside TLS)
or the reply to EHLO/HELO (plain) so, as a reply whose lines never end it. It stops when the
client goes away."""
import argparse
import socket
import ssl
import time

GAP = 0.1


def trickle(conn, data):
    for i in range(len(data)):
        conn.sendall(data[i:i + 1])
        time.sleep(GAP)


def read_line(conn, pending):
    while b"\n" not in pending:
        chunk = conn.recv(4096)
        if not chunk:
            raise ConnectionError("client gone")
        pending += chunk
    line, _, rest = pending.partition(b"\n")
    return line, rest


def serve(conn, args):
    pending = b""
    if args.tls is None:
        conn.sendall(b"220 ready\r\n")
        _, pending = read_line(conn, pending)
        while True:
            trickle(conn, b"250-still thinking\r\n")
    if args.tls == "starttls":
        conn.sendall(b"220 ready\r\n")
        _, pending = read_line(conn, pending)
        conn.sendall(b"250-hello\r\n250 STARTTLS\r\n")
        _, pending = read_line(conn, pending)
        conn.sendall(b"220 go ahead\r\n")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_side=True)
    incoming.write(pending)
    send = (lambda data: trickle(conn, data)) if args.trickle == "handshake" else conn.sendall
    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            send(outgoing.read())
            chunk = conn.recv(65536)
            if not chunk:
                return
            incoming.write(chunk)
    send(outgoing.read())
    while True:
        tls.write(b"220-still thinking\r\n")
        trickle(conn, outgoing.read())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trickle", choices=("handshake", "reply"), required=True)
    parser.add_argument("--tls", choices=("starttls", "implicit"))
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    server = socket.create_server(("127.0.0.1", 0))
    print("PORT %d" % server.getsockname()[1], flush=True)
    conn, _ = server.accept()
    try:
        serve(conn, args)
    except (OSError, ConnectionError, ssl.SSLError):
        pass
    finally:
        conn.close()


if __name__ == "__main__":
    main()
