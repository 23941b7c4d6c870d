#!/usr/bin/python3
"""Prints what a mail reader would see in one .eml file, as JSON.

Usage: parse_eml.py FILE.eml
Keys: subject, from_name, from_address, to (list of addresses), to_names,
body (text of the first text/plain part, decoded, line ends as in the mail),
attachments (list of {name, bytes, sha256}), attachment_name,
attachment_bytes, attachment_sha256 (first attachment, or null),
attachment_type_name (the name parameter of its Content-Type, decoded),
header_names (every header name in order, top level), defects (count).
"""
import email
import email.policy
import email.utils
import hashlib
import json
import sys


def main(path):
    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    from_name, from_address = email.utils.parseaddr(str(message.get("From", "")))
    to = email.utils.getaddresses([str(v) for v in message.get_all("To", [])])
    body = None
    attachments = []
    defects = len(message.defects)
    for part in message.walk():
        defects += len(part.defects)
        if part.is_multipart():
            continue
        if part.get_filename() is not None or part.get_content_disposition() == "attachment":
            data = part.get_payload(decode=True) or b""
            attachments.append({"name": part.get_filename(), "bytes": len(data),
                                "sha256": hashlib.sha256(data).hexdigest(),
                                "type_name": part["content-type"].params.get("name")})
        elif part.get_content_type() == "text/plain" and body is None:
            body = part.get_content()
    first = attachments[0] if attachments else {}
    print(json.dumps({
        "subject": str(message.get("Subject", "")),
        "from_name": from_name,
        "from_address": from_address,
        "to": [a for _, a in to],
        "to_names": [n for n, _ in to],
        "body": body,
        "attachments": attachments,
        "attachment_name": first.get("name"),
        "attachment_bytes": first.get("bytes"),
        "attachment_sha256": first.get("sha256"),
        "attachment_type_name": first.get("type_name"),
        "header_names": list(message.keys()),
        "defects": defects,
    }, ensure_ascii=False))


if __name__ == "__main__":
    main(sys.argv[1])
