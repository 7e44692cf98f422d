"""Reads one mail message as a standards-following reader does and prints what it found.

One fact per line, so the calling test can compare the whole output with what it composed:
headers as decoded addresses, every part with its type, defects and decoded body (hex).
Text bodies without a file name are compared line-wise: CRLF becomes LF, trailing LFs go.
"""
import email
import sys
from email import policy


def addresses(msg, name):
    value = msg[name]
    if value is None:
        return None
    return ",".join(a.addr_spec for a in value.addresses)


def dump(part, depth, out):
    ctype = part.get_content_type()
    defects = len(part.defects)
    if ctype == "message/delivery-status":
        out.append(f"part {depth} {ctype} defects={defects}")
        for block in part.get_payload():
            fields = ";".join(f"{k}={v}" for k, v in block.items() if k != "Arrival-Date")
            out.append(f"dsblock {depth + 1} {fields}")
        return
    if part.is_multipart():
        out.append(f"part {depth} {ctype} defects={defects}")
        for sub in part.get_payload():
            dump(sub, depth + 1, out)
        return
    body = part.get_payload(decode=True) or b""
    filename = part.get_filename()
    if part.get_content_maintype() == "text" and not filename:
        body = body.replace(b"\r\n", b"\n").rstrip(b"\n")
    cid = part["Content-ID"]
    out.append(
        f"part {depth} {ctype} charset={part.get_content_charset() or '-'} file={filename or '-'}"
        f" cid={cid or '-'} defects={defects} body={body.hex()}"
    )


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=policy.default)
    out = [f"subject {str(msg['Subject'] or '').encode('utf-8').hex()}"]
    for name in ("From", "To", "CC"):
        value = addresses(msg, name)
        if value is not None:
            out.append(f"{name.lower()} {value}")
    out.append("bcc " + ("present" if msg["BCC"] is not None else "absent"))
    out.append(f"cte {msg['Content-Transfer-Encoding'] or '-'}")
    header_defects = sum(len(getattr(v, "defects", ())) for part in msg.walk() for v in part.values())
    out.append(f"header defects={header_defects}")
    dump(msg, 0, out)
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
