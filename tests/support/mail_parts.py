"""Parses one received message with Python's email package and writes what it found into a
folder, for tests written in another language: "headers" (one "Name: decoded value" line per
header), "parts" (one "index<TAB>content type<TAB>file name<TAB>charset" line per leaf part)
part-<index>.bin with each leaf part's decoded payload, "defects" (every defect a reader
following the standards (policy default) finds in the message, its parts and its headers, one
per line) and "tonames" (the display names of To as that reader gives them, one per line)."""
import email
import email.header
import email.policy
import os
import sys


def decoded(value):
    return str(email.header.make_header(email.header.decode_header(value)))


def main():
    source, out = sys.argv[1], sys.argv[2]
    with open(source, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.compat32)
    with open(os.path.join(out, "headers"), "w", encoding="utf-8") as h:
        for name, value in msg.items():
            h.write("%s: %s\n" % (name, " ".join(decoded(value).split())))
    with open(os.path.join(out, "parts"), "w", encoding="utf-8") as p:
        for index, part in enumerate(msg.walk()):
            if part.is_multipart():
                continue
            p.write("%d\t%s\t%s\t%s\n" % (index, part.get_content_type(), part.get_filename() or "",
                                         part.get_content_charset() or ""))
            with open(os.path.join(out, "part-%d.bin" % index), "wb") as b:
                b.write(part.get_payload(decode=True) or b"")
    with open(source, "rb") as f:
        strict = email.message_from_binary_file(f, policy=email.policy.default)
    defects = []
    for part in strict.walk():
        defects += ["%s: %r" % (part.get_content_type(), d) for d in part.defects]
        for name, value in part.items():
            defects += ["%s: %r" % (name, d) for d in getattr(value, "defects", ())]
    with open(os.path.join(out, "defects"), "w", encoding="utf-8") as d:
        d.write("".join(line + "\n" for line in defects))
    with open(os.path.join(out, "tonames"), "w", encoding="utf-8") as t:
        to = strict["To"]
        for address in (to.addresses if to is not None else ()):
            t.write(address.display_name + "\n")


if __name__ == "__main__":
    main()
