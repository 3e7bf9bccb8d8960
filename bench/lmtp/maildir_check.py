"""Whether a run stored every message once, in its recipient's Maildir: the body hashes found in
each user's Maildir (every folder, cur and new) against those sent to that user, as multisets,
since the corpus holds a few bodies twice. Mail the benchmark did not send (the filter puts a
notice of its own in each Inbox) is not counted; a message sent to one user and found with
another is."""
import collections
import os

from lmtp import corpus


def _stored_hashes(maildir, sent_anywhere):
    found = collections.Counter()
    for dirpath, _, names in os.walk(maildir):
        if os.path.basename(dirpath) not in ("cur", "new"):
            continue
        for name in names:
            with open(os.path.join(dirpath, name), "rb") as f:
                digest = corpus.body_hash(f.read())
            if digest in sent_anywhere:
                found[digest] += 1
    return found


def problems(mail_root, messages):
    """Lines that say what is missing or too much; none when every message is there once."""
    sent = collections.defaultdict(collections.Counter)
    for recipient, _, digest in messages:
        sent[recipient][digest] += 1
    sent_anywhere = {digest for _, _, digest in messages}
    lines = []
    for recipient, expected in sorted(sent.items()):
        user, domain = recipient.split("@")
        found = _stored_hashes(os.path.join(mail_root, domain, user, "Maildir"), sent_anywhere)
        missing = sum((expected - found).values())
        extra = sum((found - expected).values())
        if missing or extra:
            lines.append(f"{recipient}: {missing} of {sum(expected.values())} missing, "
                         f"{extra} not sent to it or stored twice")
    return lines
