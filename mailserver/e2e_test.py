#!/usr/bin/env python3
"""The mail server of docs/mail-server.md, end to end, on loopback ports in a temporary directory.

Debian's stock Postfix and Dovecot configuration, copied and edited exactly as the page says,
around `corvalith lmtp` started as the package's systemd units start it; smtplib and imaplib
play the senders and the user. With --installed it runs the installed package's files
(binary, units, defaults, imapsieve script and program); with a binary, the repository's files
around that binary. Needs root (Postfix and Dovecot start as root and drop to their users),
the Debian packages of scripts/install-deps and the mail user the service names; without them
it exits 77 (skipped).

  e2e_test.py --installed | CORVALITH_BINARY
"""
import atexit
import json
import os
import pwd
import re
import shutil
import signal
import smtplib
import subprocess
import sys

import e2e_page as page
from e2e_mail import (HAM_WORDS, JUNK, SPAM_WORDS, ImapUser, log_count, message,
                      message_ids_in_mailbox, send)
from e2e_server import DOMAIN, STEP_SECONDS, Failure, Server, read, wait_for

SKIPPED = 77
# Whole run, servers included; CTest's own timeout is above it.
RUN_SECONDS = 200
DOVECOT_MODULES = "/usr/lib/dovecot/modules"


class Interrupted(Exception):
    """Out of time, or stopped by a signal: ends the whole test, not just one check."""


def skip_reason(installation):
    if os.geteuid() != 0:
        return "needs root to start Postfix and Dovecot"
    missing = installation.missing()
    if missing:
        return f"{missing} is missing"
    for program in ("postfix", "postqueue", "dovecot", "doveadm", "sievec"):
        if not shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin"):
            return f"{program} is not installed (scripts/install-deps)"
    for module in ("lib95_imap_sieve_plugin.so", "sieve/lib90_sieve_extprograms_plugin.so"):
        if not os.path.exists(os.path.join(DOVECOT_MODULES, module)):
            return f"Dovecot module {module} is missing (scripts/install-deps)"
    for certificate in ("/etc/ssl/certs/ssl-cert-snakeoil.pem",
                        "/etc/ssl/private/ssl-cert-snakeoil.key"):
        if not os.path.exists(certificate):
            return f"{certificate} is missing (scripts/install-deps installs ssl-cert)"
    user = installation.unit(page.SERVICE)["User"][0]
    try:
        pwd.getpwnam(user)
        pwd.getpwnam("postfix")
    except KeyError as e:
        return f"no system user {e} (the package creates {user})"
    return None


ALICE = f"alice@{DOMAIN}"
BOB = f"bob@{DOMAIN}"
# A mailbox whose address needs SMTPUTF8; it has no IMAP login.
UTF8_USER = f"j\u00fcrgen@{DOMAIN}"
HAM_FLAGS = {"Corvalith-Ham", "$NotJunk"}
SPAM_FLAGS = {"Corvalith-Spam", "$Junk"}


def train(server, user, per_kind=20):
    """Plays a user sorting their first mail as it comes: each delivery goes through the
    filter, and each mistake is moved at once into the folder it belongs in."""
    directory = server.path("training")
    os.makedirs(directory)
    os.chmod(directory, 0o755)
    session = subprocess.Popen([server.corvalith, "--home", server.home, "batch"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                               cwd=server.tmp, **server.as_mail_user())

    def ask(request):
        session.stdin.write(json.dumps(request) + "\n")
        session.stdin.flush()
        answer = json.loads(session.stdout.readline() or "{}")
        if not answer.get("ok"):
            raise Failure(f"batch answered {answer} to {request}")
        return answer

    try:
        for seed in range(2 * per_kind):
            spam = seed % 2 == 1
            mail = message(f"sender{seed}@{'offers' if spam else 'partners'}.example", user,
                           f"Training {seed}", SPAM_WORDS if spam else HAM_WORDS, seed,
                           share=0.6)
            path = os.path.join(directory, f"{seed}.eml")
            with open(path, "wb") as f:
                f.write(bytes(mail))
            answer = ask({"op": "deliver", "to": user, "file": path})
            if (answer["marker"] == 2) != spam:
                ask({"op": "move", "url": answer["url"], "folder": JUNK if spam else "Inbox"})
    finally:
        session.stdin.close()
        session.wait(timeout=STEP_SECONDS)


def set_up_home(server):
    """The mailboxes besides the page's: one whose address needs SMTPUTF8, the domain's
    whitelist, and the password file."""
    server.corvalith_run("mailbox", "add", UTF8_USER)
    domain_directory = os.path.join(server.home, "data", DOMAIN)
    server.write_as_mail_user(os.path.join(domain_directory, "global.wlt"), "@partner.example\n")
    server.write_users([ALICE, BOB])


def check_sorting(server, alice):
    """Ham into INBOX, spam into Junk E-mail, each with its marker keywords."""
    ham = send(server, message("tom@fieldwork.example", ALICE, "Site visit", HAM_WORDS, 1))
    spam = send(server, message("winner@lottery.example", ALICE, "You won", SPAM_WORDS, 2))
    alice.wait_flags("INBOX", ham, HAM_FLAGS)
    flags = alice.wait_flags(JUNK, spam, SPAM_FLAGS)
    if "$NotJunk" in flags or "Corvalith-Ham" in flags:
        raise Failure(f"spam carries {flags}")


def check_unknown_recipient(server):
    """Postfix asks corvalith's recipient map, so mail for an address of the domain without a
    mailbox is refused while the sender is still connected (550), never bounced later; a
    mailbox added afterwards is known at once, without reloading Postfix."""
    carol = f"carol@{DOMAIN}"
    mail = bytes(message("tom@fieldwork.example", carol, "Hello", HAM_WORDS, 10))
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=STEP_SECONDS) as smtp:
        try:
            smtp.sendmail("tom@fieldwork.example", [carol], mail)
            raise Failure("Postfix accepted mail for carol, who has no mailbox")
        except smtplib.SMTPRecipientsRefused as refused:
            code, reason = refused.recipients[carol]
            if code != 550:
                raise Failure(f"carol was refused with {code} {reason}, not 550")
    server.corvalith_run("mailbox", "add", carol)
    wait_delivered(server, carol, [send(server, message("tom@fieldwork.example", carol, "Hi",
                                                        HAM_WORDS, 13))])


def check_deleted_spam(server, alice):
    """A spam that the user deletes from Junk E-mail into a \\Trash folder named "Trash", which
    the client creates (as stock Debian's Dovecot lets it), and a rescue into a folder named like
    an option: the deleted spam is neither relearned nor is its sender whitelisted; the rescued
    mail is relearned."""
    deleted_sender = "prize@lottery-again.example"
    deleted = send(server, message(deleted_sender, ALICE, "You won again", SPAM_WORDS, 11))
    rescued = send(server, message("news@oddfolder.example", ALICE, "Odd folder", SPAM_WORDS, 12))
    for message_id in (deleted, rescued):
        alice.wait_flags(JUNK, message_id, SPAM_FLAGS)
    for folder in ("Trash", "--help"):
        alice.create(folder)
    if "\\Trash" not in alice.special_use("Trash"):
        raise Failure(f"Dovecot gives Trash the special use {alice.special_use('Trash')}")

    untouched = "Mail moved by User to Deleted Items - leave untouched"
    rescue = "Mail moved by User was swapped to HAM"
    reported = move_out_of_junk(server, alice, deleted, "Trash", [untouched, rescue])
    if reported != untouched:
        raise Failure(f"the spam moved into Trash was reported as '{reported}'")
    flags = alice.flags("Trash", deleted)
    if flags is None or not SPAM_FLAGS <= flags or flags & HAM_FLAGS:
        raise Failure(f"the spam moved into Trash carries {flags}")
    whitelist = os.path.join(server.home, "data", DOMAIN, "alice.dat.wlt")
    if deleted_sender in read(whitelist).split():
        raise Failure(f"{deleted_sender} is on the whitelist after its spam was deleted")

    if move_out_of_junk(server, alice, rescued, "--help", [rescue, untouched]) != rescue:
        raise Failure("the mail rescued into the folder --help was not relearned")
    alice.wait_flags("--help", rescued, HAM_FLAGS)


def move_out_of_junk(server, alice, message_id, destination, records):
    """Moves the message from Junk E-mail into `destination` and waits for the filter's log
    record of the move, one more of `records`; answers which. Fails at once when Dovecot logs
    that corvalith-moved failed instead."""
    def failures():
        return [line for line in read(server.path("dovecot.log")).splitlines()
                if "corvalith-moved" in line and re.search(r"Error|Fatal|failed|non-zero", line)]

    before = {record: log_count(server, record) for record in records}
    failures_before = len(failures())
    alice.move(message_id, JUNK, destination)

    def probe():
        for record in records:
            if log_count(server, record) > before[record]:
                return record
        failed = failures()
        if len(failed) > failures_before:
            raise Failure(f"corvalith-moved failed: {failed[-1]}")
        return None

    return wait_for(f"one of the log records {records}", probe)


def check_address_forms(server):
    """Recipients written in another case than their mailbox's address, and mail that needs
    SMTPUTF8 (a sender with a UTF-8 local part; a recipient whose mailbox has one), are
    delivered into the right mailbox, not bounced."""
    to_alice = [send(server, message("tom@fieldwork.example", recipient, f"Case {i}",
                                     HAM_WORDS, 20 + i))
                for i, recipient in enumerate(("Alice@Example.COM", "ALICE@EXAMPLE.COM"))]
    to_alice.append(send(server, message("j\u00f6rg@absender.example", ALICE, "Gr\u00fc\u00dfe",
                                         HAM_WORDS, 22)))
    to_utf8_user = [send(server, message("tom@fieldwork.example", UTF8_USER, "Hallo",
                                         HAM_WORDS, 23))]
    wait_delivered(server, ALICE, to_alice)
    wait_delivered(server, UTF8_USER, to_utf8_user)


def wait_delivered(server, user, message_ids):
    """Waits until each message lies in the user's mailbox once; fails at once with Postfix's
    reason when one was bounced or deferred instead."""
    def probe():
        stored = message_ids_in_mailbox(server, user)
        if all(stored.get(m) == 1 for m in message_ids):
            return True
        log = read(server.path("maillog"))
        queue_ids = dict((m, q) for q, m in re.findall(r"(\w+): message-id=(\S+)", log))
        for m in message_ids:
            refused = m in queue_ids and re.search(
                rf"^.*\b{queue_ids[m]}: to=.*status=(bounced|deferred).*$", log, re.M)
            if refused:
                raise Failure(f"{m} was not delivered to {user}: {refused.group(0)}")
        return False

    wait_for(f"{message_ids} in the mailbox of {user}", probe)


def check_trusted(server, alice):
    """Spam words from a colleague who logged in, and from a partner domain on the domain's
    whitelist, reach INBOX as ham. (Checked after the spam: the filter learns trusted mail as
    ham.)"""
    internal = send(server, message(BOB, ALICE, "Forwarded offer", SPAM_WORDS, 3), login=BOB)
    partner = send(server, message("sales@partner.example", ALICE, "Offer", SPAM_WORDS, 4))
    alice.wait_flags("INBOX", internal, HAM_FLAGS)
    alice.wait_flags("INBOX", partner, HAM_FLAGS)
    for record in ("New Mail (EA) forced to HAM", "New Mail (GWL) forced to HAM"):
        if not log_count(server, record):
            raise Failure(f"no log record '{record}'")


def check_user_moves(server, alice):
    """A rescued false positive is relearned and its sender whitelisted; a missed spam moved
    into Junk E-mail is relearned as spam."""
    sender = "news@goodnews.example"
    false_positive = send(server, message(sender, ALICE, "Weekly news", SPAM_WORDS, 5))
    alice.wait_flags(JUNK, false_positive, SPAM_FLAGS)
    alice.move(false_positive, JUNK, "INBOX")
    flags = alice.wait_flags("INBOX", false_positive, HAM_FLAGS)
    if flags & SPAM_FLAGS:
        raise Failure(f"the rescued mail still carries {flags}")
    wait_for("the log record of the rescue",
             lambda: log_count(server, "Mail moved by User was swapped to HAM"))
    whitelist = os.path.join(server.home, "data", DOMAIN, "alice.dat.wlt")
    with open(whitelist, encoding="utf-8") as f:
        if sender not in f.read().split():
            raise Failure(f"{sender} is not on the whitelist after the rescue")
    whitelisted_before = log_count(server, "New Mail (WL) forced to HAM")
    next_mail = send(server, message(sender, ALICE, "Weekly news again", SPAM_WORDS, 6))
    alice.wait_flags("INBOX", next_mail, HAM_FLAGS)
    if log_count(server, "New Mail (WL) forced to HAM") != whitelisted_before + 1:
        raise Failure("the rescued sender's next mail was not forced to HAM by the whitelist")

    missed = send(server, message("friend@scam.example", ALICE, "Project", HAM_WORDS, 7))
    alice.wait_flags("INBOX", missed, HAM_FLAGS)
    alice.move(missed, "INBOX", JUNK)
    flags = alice.wait_flags(JUNK, missed, SPAM_FLAGS)
    if "$NotJunk" in flags or "Corvalith-Ham" in flags:
        raise Failure(f"the relearned spam still carries {flags}")
    wait_for("the log record of the missed spam",
             lambda: log_count(server, "Mail moved by User was swapped to SPAM"))


def check_outages(server):
    """Mail of a burst during which corvalith lmtp stops (SIGTERM) and systemd starts it
    again, during which its sockets go away too (Postfix defers what it holds, and refuses new
    mail for now, 451, never 550), and during which it is killed (SIGKILL), arrives, each
    message exactly once."""
    def arrived(messages):
        server.flush_queue()
        return set(messages) <= set(message_ids_in_mailbox(server, BOB))

    stopped = burst(server, "Stopped", 10)
    server.stop_lmtp(signal.SIGTERM)
    server.start_lmtp()
    wait_for("the mail of the stop", lambda: arrived(stopped))

    closed = burst(server, "Closed", 10)
    server.stop_lmtp(signal.SIGTERM)
    server.close_sockets()
    try:
        send(server, message("tom@fieldwork.example", BOB, "While down", HAM_WORDS, 100))
        raise Failure("Postfix accepted mail while the recipient map was gone")
    except smtplib.SMTPRecipientsRefused as refused:
        code, reason = refused.recipients[BOB]
        if code != 451:
            raise Failure(f"mail while the recipient map was gone got {code} {reason}, not 451")
    # What Postfix held when the sockets went is deferred, not bounced.
    wait_for("Postfix to finish its tries", lambda: "active" not in server.queue())
    server.open_sockets()
    server.start_lmtp()
    wait_for("the mail held while the sockets were gone", lambda: arrived(closed))

    killed = burst(server, "Killed", 20)
    server.stop_lmtp(signal.SIGKILL)
    server.start_lmtp()
    wait_for("the mail of the kill", lambda: arrived(killed))

    def queue_empty():
        server.flush_queue()
        return not server.queue()

    wait_for("Postfix's queue to empty", queue_empty)
    if re.search(r"to=<bob@[^>]*>.*status=bounced", read(server.path("maillog"))):
        raise Failure("Postfix bounced mail for bob")
    check_each_stored_once(server, stopped + closed + killed)


def burst(server, subject, count):
    """Sends `count` messages to bob in one SMTP session and returns once the first of them
    is stored, so that the rest are on their way."""
    sent = []
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=STEP_SECONDS) as smtp:
        for i in range(count):
            mail = message("tom@fieldwork.example", BOB, f"{subject} {i}", HAM_WORDS, 200 + i)
            smtp.send_message(mail)
            sent.append(mail["Message-ID"])
    wait_for(f"the first of '{subject}' to arrive",
             lambda: set(sent) & set(message_ids_in_mailbox(server, BOB)))
    return sent


def check_each_stored_once(server, sent):
    """Every message once in the mailbox, also one whose 250 a kill took after it was stored:
    Postfix then logs "message may be sent more than once" and hands it over again, and
    corvalith lmtp finds it stored already."""
    counts = message_ids_in_mailbox(server, BOB)
    log = read(server.path("maillog"))
    wrong = [m for m in sent if counts.get(m, 0) != 1]
    if wrong:
        queue_ids = dict((m, q) for q, m in re.findall(r"(\w+): message-id=(\S+)", log))
        history = [line for line in (log + read(server.path("lmtp.out"))).splitlines()
                   if any(queue_ids.get(m, "?") in line for m in wrong)]
        raise Failure(f"messages not stored exactly once: "
                      f"{[(m, counts.get(m, 0)) for m in wrong]}\n" + "\n".join(history))
    retried = len(re.findall(r"message may be sent more than once", log))
    if retried:
        print(f"note: {retried} message(s) handed over again after the kill took their reply")


def check_pipe_transport(server):
    """Postfix switched to the pipe transport of the page delivers through `corvalith
    deliver`, mail from outside and a logged-in user's internal mail alike; the service
    still answers Postfix's recipient lookups."""
    main_cf = os.path.join(server.postfix_conf, "main.cf")
    switch = server.move_places(page.named_block("pipe:/etc/postfix/main.cf"))
    names = re.findall(r"^(\w+)\s*=", switch, re.M)
    kept = [line for line in read(main_cf).splitlines(keepends=True)
            if not re.match(r"(%s)\s*=" % "|".join(names), line)]
    with open(main_cf, "w", encoding="utf-8") as f:
        f.write("".join(kept) + switch)
    with open(os.path.join(server.postfix_conf, "master.cf"), "a", encoding="utf-8") as f:
        f.write(server.move_places(page.named_block("pipe:/etc/postfix/master.cf")))
    server.postfix("reload")
    internal_before = log_count(server, "New Mail (EA) forced to HAM")
    external = send(server, message("tom@fieldwork.example", BOB, "By pipe", HAM_WORDS, 8))
    internal = send(server, message(ALICE, BOB, "Offer seen", SPAM_WORDS, 9), login=ALICE)
    bob = ImapUser(server, BOB)
    try:
        def delivered():
            server.flush_queue()
            return {external, internal} <= set(message_ids_in_mailbox(server, BOB))

        wait_for("the mail through the pipe", delivered)
        for message_id in (external, internal):
            bob.wait_flags("INBOX", message_id, HAM_FLAGS)
    finally:
        bob.close()
    if "relay=corvalith," not in read(server.path("maillog")):
        raise Failure("Postfix did not use the pipe transport")
    if log_count(server, "New Mail (EA) forced to HAM") != internal_before + 1:
        raise Failure("the logged-in sender's mail through the pipe was not internal")


def run(installation):
    server = Server(installation)
    atexit.register(server.stop)
    alice = None
    try:
        server.follow_page()
        set_up_home(server)
        train(server, ALICE)
        server.private_postfix()
        server.open_sockets()
        server.start_lmtp()
        server.start_dovecot()
        server.start_postfix()
        alice = ImapUser(server, ALICE)
        # Each check stands alone, so that one failure does not hide the others.
        checks = [
            ("sorting", lambda: check_sorting(server, alice)),
            ("user moves", lambda: check_user_moves(server, alice)),
            ("deleted spam", lambda: check_deleted_spam(server, alice)),
            ("trusted senders", lambda: check_trusted(server, alice)),
            ("address forms", lambda: check_address_forms(server)),
            ("unknown recipient", lambda: check_unknown_recipient(server)),
            ("outages", lambda: check_outages(server)),
            ("pipe transport", lambda: check_pipe_transport(server)),
        ]
        failed = []
        for name, check in checks:
            try:
                check()
                print(f"ok: {name}")
            except Failure as e:
                print(f"FAILED: {name}: {e}")
                failed.append(name)
        if failed:
            server.dump_logs()
        return 1 if failed else 0
    except Exception:
        server.dump_logs()
        raise
    finally:
        if alice:
            alice.close()
        server.stop()


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    installation = page.Installation(None if sys.argv[1] == "--installed" else sys.argv[1])
    reason = skip_reason(installation)
    if reason:
        print(f"skipped: {reason}")
        return SKIPPED

    def out_of_time(*_):
        raise Interrupted(f"the test ran longer than {RUN_SECONDS} seconds")

    def stopped(number, _):
        raise Interrupted(f"stopped by signal {number}")

    # Each ends the test through the same clean-up as a failure.
    signal.signal(signal.SIGALRM, out_of_time)
    signal.signal(signal.SIGTERM, stopped)
    signal.signal(signal.SIGINT, stopped)
    signal.alarm(RUN_SECONDS)
    # What the test writes as root, the mail user (Dovecot's mail processes, corvalith) reads.
    os.umask(0o022)
    return run(installation)


if __name__ == "__main__":
    sys.exit(main())
