"""The messages of one benchmark: part of the SpamAssassin corpus, each to one user.

Messages go out with CRLF line ends, as Postfix sends them. A stored copy is recognised by the
hash of its body (everything after the first blank line), line ends folded to LF: the servers
add header fields of their own on top and may store LF or CRLF, but never touch the body.
"""
import hashlib
import os
import random
import re
import subprocess

DOMAIN = "bench.example"
SENDER = "sender@sender.example"


def default_corpus_dir(root):
    """What scripts/fetch-corpus prints (it fetches the corpus once and reuses it after)."""
    out = subprocess.run([os.path.join(root, "scripts", "fetch-corpus")], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return out.strip().splitlines()[-1]


def users(count):
    return [f"user{i:02d}@{DOMAIN}" for i in range(1, count + 1)]


def body_hash(message):
    lf = message.replace(b"\r\n", b"\n")
    _, blank, body = lf.partition(b"\n\n")
    return hashlib.sha256(body.rstrip(b"\n") if blank else b"").hexdigest()


def load(corpus_dir, count, user_count, seed):
    """[(recipient, wire bytes, body hash)]: `count` messages in a seeded order, users in turn."""
    paths = sorted(os.path.join(dirpath, name)
                   for dirpath, _, names in os.walk(corpus_dir)
                   for name in names if name.endswith(".eml"))
    if len(paths) < count:
        raise SystemExit(f"lmtp_vs_dovecot: {corpus_dir} holds {len(paths)} messages, "
                         f"fewer than --messages {count}")
    random.Random(seed).shuffle(paths)
    recipients = users(user_count)
    messages = []
    for i, path in enumerate(paths[:count]):
        with open(path, "rb") as f:
            wire = re.sub(rb"\r?\n", b"\r\n", f.read())
        if not wire.endswith(b"\r\n"):
            wire += b"\r\n"
        messages.append((recipients[i % user_count], wire, body_hash(wire)))
    return messages
