#!/usr/bin/python3
"""Loopback SMTP server for tests (Debian's python3-aiosmtpd).

Listens on 127.0.0.1 (port 0 picks a free one), writes the port actually
bound to <outdir>/port once it accepts connections, and stores every accepted
message as <outdir>/NNNN.eml with its envelope in NNNN.json.

Modes:  normal    - ordinary server
        close     - closes the connection after the first DATA line
        silent    - accepts connections and never says anything
TLS:    --cert/--key offer STARTTLS, with --implicit-tls TLS from the start
Auth:   none | LOGIN | PLAIN | CRAM-MD5 (only that mechanism is offered and
        authentication is required; user and password are fixed by options;
        each attempt adds a line to <outdir>/auth_attempts)
Timing: --first-delay-ms holds the reply to the first message's DATA,
        --hold-message N --hold-ms MS the reply to the Nth one;
        --random-delay-ms and --fail-rate (with --seed) hold or refuse (451)
        each DATA at random, never more than --max-fails-in-a-row in a row.
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import logging
import os
import random
import secrets
import ssl
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

MECHANISMS = ("LOGIN", "PLAIN", "CRAM-MD5")


class TestSMTP(SMTP):
    async def auth_CRAM__MD5(self, _, args):
        challenge = "<%s.%d@test.invalid>" % (secrets.token_hex(8), os.getpid())
        answer = await self.challenge_auth(challenge)
        if not isinstance(answer, bytes):
            return AuthResult(success=False)
        try:
            user, digest = answer.decode("utf-8").rsplit(" ", 1)
        except ValueError:
            await self.push("501 5.5.2 Can't split auth value")
            return AuthResult(success=False, handled=True)
        opts = self.event_handler.options
        expected = hmac.new(opts.password.encode(), challenge.encode(), hashlib.md5).hexdigest()
        ok = user == opts.user and hmac.compare_digest(digest, expected)
        return AuthResult(success=ok, auth_data=LoginPassword(user.encode(), b""))

    async def smtp_DATA(self, arg):
        if self.event_handler.options.mode != "close":
            return await super().smtp_DATA(arg)
        if not self.envelope.rcpt_tos:
            await self.push("503 Error: need RCPT command")
            return
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        await self._reader.readuntil(b"\r\n")
        self.transport.close()


class Handler:
    def __init__(self, options):
        self.options = options
        self.count = 0
        self.refused = 0
        self.seen = 0
        self.fails_in_a_row = 0
        self.random = random.Random(options.seed)

    async def hold_or_refuse(self):
        """The reply for this DATA after its delay: None accepts."""
        o = self.options
        self.seen += 1
        delay = o.first_delay_ms if self.seen == 1 else 0
        if self.seen == o.hold_message:
            delay += o.hold_ms
        if o.random_delay_ms > 0:
            delay += self.random.randint(0, o.random_delay_ms)
        if delay:
            await asyncio.sleep(delay / 1000)
        if o.fail_rate > 0 and self.fails_in_a_row < o.max_fails_in_a_row and \
                self.random.random() < o.fail_rate:
            self.fails_in_a_row += 1
            return "451 4.3.0 Refused at random for the test"
        self.fails_in_a_row = 0
        return None

    async def handle_DATA(self, server, session, envelope):
        refusal = await self.hold_or_refuse()
        if refusal:
            return refusal
        if self.refused < self.options.refuse_first:
            self.refused += 1
            return "451 4.3.0 Temporarily refused for the test"
        self.count += 1
        base = os.path.join(self.options.outdir, "%04d" % self.count)
        meta = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                "authenticated": bool(session.authenticated)}
        with open(base + ".json.tmp", "w") as f:
            json.dump(meta, f)
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content)
        os.replace(base + ".json.tmp", base + ".json")
        os.replace(base + ".eml.tmp", base + ".eml")
        return "250 2.0.0 Message accepted"


def authenticator(options):
    def check(server, session, envelope, mechanism, data):
        # Every login attempt, for tests that count them.
        with open(os.path.join(options.outdir, "auth_attempts"), "a") as f:
            f.write(mechanism + "\n")
        if not isinstance(data, LoginPassword):
            return AuthResult(success=False, handled=False)
        ok = data.login.decode() == options.user and data.password.decode() == options.password
        return AuthResult(success=ok, handled=False, auth_data=data)
    return check


async def silent(reader, writer):
    try:
        await reader.read()
    finally:
        writer.close()


async def main(options):
    loop = asyncio.get_running_loop()
    handler = Handler(options)
    tls = None
    if options.cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(options.cert, options.key)

    def factory():
        starttls = None if options.implicit_tls else tls
        kwargs = dict(hostname="test.invalid", loop=loop, tls_context=starttls,
                      auth_require_tls=False)
        if options.auth != "none":
            kwargs.update(auth_required=True, authenticator=authenticator(options),
                          auth_exclude_mechanism=[m for m in MECHANISMS if m != options.auth])
        return TestSMTP(handler, **kwargs)

    if options.mode == "silent":
        server = await asyncio.start_server(silent, "127.0.0.1", options.port)
    else:
        server = await loop.create_server(factory, "127.0.0.1", options.port,
                                          ssl=tls if options.implicit_tls else None)
    port = server.sockets[0].getsockname()[1]
    with open(os.path.join(options.outdir, "port.tmp"), "w") as f:
        f.write(str(port))
    os.replace(os.path.join(options.outdir, "port.tmp"), os.path.join(options.outdir, "port"))
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    warnings.simplefilter("ignore")
    logging.disable(logging.CRITICAL)
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--outdir", required=True)
    p.add_argument("--auth", default="none", choices=("none",) + MECHANISMS)
    p.add_argument("--user", default="sender")
    p.add_argument("--password", default="secret")
    p.add_argument("--refuse-first", type=int, default=0)
    p.add_argument("--first-delay-ms", type=int, default=0)
    p.add_argument("--hold-message", type=int, default=0)
    p.add_argument("--hold-ms", type=int, default=0)
    p.add_argument("--random-delay-ms", type=int, default=0)
    p.add_argument("--fail-rate", type=float, default=0.0)
    p.add_argument("--max-fails-in-a-row", type=int, default=2)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--mode", default="normal", choices=("normal", "close", "silent"))
    p.add_argument("--cert", help="offer STARTTLS with this certificate (PEM)")
    p.add_argument("--key")
    p.add_argument("--implicit-tls", action="store_true",
                   help="TLS from the first byte (as on port 465) instead of STARTTLS")
    asyncio.run(main(p.parse_args()))
