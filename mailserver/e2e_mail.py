"""The mail of the end-to-end test: messages, a user's IMAP session, sending through Postfix."""
import imaplib
import os
import random
import re
import smtplib
import ssl
from email.message import EmailMessage
from email.utils import make_msgid

from e2e_server import STEP_SECONDS, PASSWORD, Failure, wait_for

JUNK = "Junk E-mail"

SPAM_WORDS = ("cheap pills pharmacy discount casino bonus jackpot lottery winner claim prize "
              "crypto investment guaranteed profit click offer act free money wire transfer "
              "verify account password urgent million dollars viagra replica watches loan "
              "credit approved bitcoin exclusive deal unsubscribe winners cash").split()
HAM_WORDS = ("meeting agenda project schedule report review budget quarterly minutes team "
             "lunch tomorrow document draft attached feedback deadline plan office survey "
             "foundations crew frame invoice receipts appointment colleagues kitchen garden "
             "weekend children library thanks regards notes monday friday").split()
# Words of every mail, spam or not.
COMMON_WORDS = ("the and you for this that with your have are will our from please about "
                "more time here there what when which would").split()


def message(sender, recipient, subject, words, seed, share=0.85):
    """A plain mail with its own Message-ID: 50 words, `share` of them from `words` and the
    rest common ones, chosen by `seed`."""
    mail = EmailMessage()
    mail["From"] = sender
    mail["To"] = recipient
    mail["Subject"] = subject
    mail["Message-ID"] = make_msgid(domain=sender.split("@")[1])
    choose = random.Random(seed)
    picks = [choose.choice(words if choose.random() < share else COMMON_WORDS)
             for _ in range(50)]
    mail.set_content("\n".join(" ".join(picks[i:i + 8]) for i in range(0, 50, 8)) + "\n",
                     charset="us-ascii")
    return mail


imaplib.Commands.setdefault("MOVE", ("SELECTED",))


class ImapUser:
    """One user's IMAP session."""

    def __init__(self, server, user):
        self.imap = imaplib.IMAP4("127.0.0.1", server.imap_port, timeout=STEP_SECONDS)
        # Dovecot takes no password before STARTTLS (ssl = required).
        self.imap.starttls(ssl_context=self_signed())
        self.imap.login(user, PASSWORD)

    def close(self):
        try:
            self.imap.logout()
        except (imaplib.IMAP4.error, OSError):
            pass

    def _select(self, folder):
        status, _ = self.imap.select(f'"{folder}"')
        if status != "OK":
            raise Failure(f"cannot select {folder}")

    def flags(self, folder, message_id):
        """The message's flags in `folder` as a set, or None while it is not there."""
        self._select(folder)
        status, data = self.imap.uid("SEARCH", None, "HEADER", "Message-ID", f'"{message_id}"')
        uids = data[0].split() if status == "OK" and data[0] else []
        if not uids:
            return None
        if len(uids) > 1:
            raise Failure(f"{message_id} is in {folder} {len(uids)} times")
        status, data = self.imap.uid("FETCH", uids[0], "(FLAGS)")
        found = re.search(rb"FLAGS \(([^)]*)\)", data[0] if status == "OK" else b"")
        return set(found.group(1).decode().split()) if found else None

    def wait_flags(self, folder, message_id, wanted):
        """Waits until the message lies in `folder` with every flag of `wanted`, and fails at
        once when it turns up in the other one of INBOX and Junk E-mail instead."""
        other = JUNK if folder == "INBOX" else "INBOX"

        def probe():
            flags = self.flags(folder, message_id)
            if flags is not None:
                return wanted <= flags and flags
            elsewhere = self.flags(other, message_id)
            if elsewhere is not None:
                raise Failure(f"{message_id} is in {other} with {sorted(elsewhere)}, "
                              f"not in {folder}")
            return None

        return wait_for(f"{message_id} in {folder} with {sorted(wanted)}", probe)

    def create(self, folder):
        status, answer = self.imap.create(f'"{folder}"')
        if status != "OK":
            raise Failure(f"CREATE {folder}: {answer}")

    def special_use(self, folder):
        """The folder's attributes as LIST answers them (its special use among them)."""
        status, data = self.imap.list('""', f'"{folder}"')
        found = re.match(rb"\(([^)]*)\)", data[0] or b"") if status == "OK" else None
        return found.group(1).decode().split() if found else []

    def move(self, message_id, source, destination):
        self._select(source)
        _, data = self.imap.uid("SEARCH", None, "HEADER", "Message-ID", f'"{message_id}"')
        uid = data[0].split()[0]
        status, answer = self.imap.uid("MOVE", uid, f'"{destination}"')
        if status != "OK":
            raise Failure(f"MOVE of {message_id} into {destination}: {answer}")


def send(server, mail, login=None):
    """From outside on port 25, or as a user who logs in on the submission port."""
    port = server.submission_port if login else server.smtp_port
    with smtplib.SMTP("127.0.0.1", port, timeout=STEP_SECONDS) as smtp:
        if login:
            smtp.starttls(context=self_signed())
            smtp.login(login, PASSWORD)
        smtp.send_message(mail)
    return mail["Message-ID"]


def self_signed():
    """The servers present the machine's snakeoil certificate, for mail.example.com."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def message_ids_in_mailbox(server, user):
    """Message-ID → how many files of the user's Maildir (every folder) carry it."""
    local, domain = user.split("@")
    maildir = os.path.join(server.root, domain, local, "Maildir")
    counts = {}
    folders = [maildir] + [os.path.join(maildir, d) for d in os.listdir(maildir)
                           if d.startswith(".") and os.path.isdir(os.path.join(maildir, d))]
    for folder in folders:
        for sub in ("new", "cur"):
            directory = os.path.join(folder, sub)
            for name in os.listdir(directory) if os.path.isdir(directory) else ():
                try:
                    with open(os.path.join(directory, name), "rb") as f:
                        head = f.read(65536).split(b"\n\n")[0]
                except FileNotFoundError:  # renamed meanwhile; the next scan sees it
                    continue
                found = re.search(rb"^Message-ID:\s*(\S+)", head, re.M | re.I)
                if found:
                    key = found.group(1).decode(errors="replace")
                    counts[key] = counts.get(key, 0) + 1
    return counts


def log_count(server, text):
    path = os.path.join(server.home, "data", "Corvalith.log")
    if not os.path.exists(path):
        return 0
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read().count(text)


# --- what is checked -----------------------------------------------------------------------

