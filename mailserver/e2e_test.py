#!/usr/bin/env python3
"""The mail server of docs/mail-server.md, end to end, on loopback ports in a temporary directory.

A private Postfix and Dovecot, configured with the page's snippets, around `corvalith lmtp`;
smtplib and imaplib play the senders and the user. Needs root (Postfix and Dovecot start as
root and drop to their users) and the Debian packages of scripts/install-deps; without them it
exits 77 (skipped).

  e2e_test.py CORVALITH_BINARY
"""
import atexit
import imaplib
import json
import os
import pwd
import random
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage
from email.utils import make_msgid

SKIPPED = 77
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOMAIN = "example.com"
PASSWORD = "secret"
MAIL_USER = "mail"
JUNK = "Junk E-mail"
# Whole run, servers included; CTest's own timeout is above it.
RUN_SECONDS = 170
# One asynchronous step (a delivery through Postfix, a relearn after a move).
STEP_SECONDS = 30
DOVECOT_MODULES = "/usr/lib/dovecot/modules"


class Failure(Exception):
    pass


class Interrupted(Exception):
    """Out of time, or stopped by a signal: ends the whole test, not just one check."""


def skip_reason():
    if os.geteuid() != 0:
        return "needs root to start Postfix and Dovecot"
    for program in ("postfix", "postqueue", "dovecot", "sievec"):
        if not shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin"):
            return f"{program} is not installed (scripts/install-deps)"
    for module in ("lib95_imap_sieve_plugin.so", "sieve/lib90_sieve_extprograms_plugin.so"):
        if not os.path.exists(os.path.join(DOVECOT_MODULES, module)):
            return f"Dovecot module {module} is missing (scripts/install-deps)"
    try:
        pwd.getpwnam(MAIL_USER)
        pwd.getpwnam("postfix")
    except KeyError as e:
        return f"no system user {e}"
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, probe, seconds=STEP_SECONDS):
    """Polls `probe` until it answers something true; fails naming `what` at the deadline."""
    deadline = time.monotonic() + seconds
    while True:
        answer = probe()
        if answer:
            return answer
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.05)


def doc_snippets():
    """The fenced blocks of docs/mail-server.md that name a file: {file name: text}."""
    with open(os.path.join(SOURCE, "docs", "mail-server.md"), encoding="utf-8") as f:
        page = f.read()
    blocks = re.findall(r"^```\w+ (\S+)\n(.*?)^```$", page, re.M | re.S)
    return dict(blocks)


class Server:
    """Everything the test starts, in one temporary directory; stop() ends all of it."""

    def __init__(self, corvalith_binary):
        self.tmp = tempfile.mkdtemp(prefix="corvalith-e2e-")
        os.chmod(self.tmp, 0o755)
        self.mail_pw = pwd.getpwnam(MAIL_USER)
        self.path = lambda *parts: os.path.join(self.tmp, *parts)
        self.corvalith = self.path("bin", "corvalith")
        self.home = self.path("home")
        self.root = self.path("vmail")
        self.spool = self.path("spool")
        self.postfix_conf = self.path("postfix")
        self.dovecot_conf = self.path("dovecot", "dovecot.conf")
        self.smtp_port = free_port()
        self.imap_port = free_port()
        self.lmtp = None
        self.postfix_started = False
        self.dovecot_started = False
        self.last_flush = 0.0
        os.makedirs(self.path("bin"))
        shutil.copy(corvalith_binary, self.corvalith)
        os.chmod(self.corvalith, 0o755)
        for directory in (self.home, self.root):
            os.makedirs(directory)
            os.chown(directory, self.mail_pw.pw_uid, self.mail_pw.pw_gid)
        self.placeholders = {
            "@HOME@": self.home,
            "@ROOT@": self.root,
            "@VMAIL@": MAIL_USER,
            "@CORVALITH@": self.corvalith,
            "@SPOOL@": self.spool,
            "@SIEVE@": self.path("sieve"),
            "@PIPE@": self.path("sieve-pipe"),
        }

    def substitute(self, text):
        for placeholder, value in self.placeholders.items():
            text = text.replace(placeholder, value)
        return text

    # --- corvalith -------------------------------------------------------------------------

    def as_mail_user(self):
        return dict(user=self.mail_pw.pw_uid, group=self.mail_pw.pw_gid, extra_groups=[])

    def corvalith_run(self, *args):
        result = subprocess.run([self.corvalith, "--home", self.home, *args],
                                capture_output=True, timeout=STEP_SECONDS, cwd=self.tmp,
                                **self.as_mail_user())
        if result.returncode != 0:
            raise Failure(f"corvalith {' '.join(args)} exited {result.returncode}: "
                          f"{result.stderr.decode(errors='replace')}")
        return result

    def write_as_mail_user(self, path, text):
        """Writes a file (and its directory, when missing) that the mail user owns."""
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        for owned in (os.path.dirname(path), path):
            os.chown(owned, self.mail_pw.pw_uid, self.mail_pw.pw_gid)

    def start_lmtp(self):
        output = self.path("lmtp.out")
        starts = read(output).count("listening on")
        with open(output, "ab") as log:
            self.lmtp = subprocess.Popen([self.corvalith, "--home", self.home, "lmtp",
                                          "--received-by", f"mx.{DOMAIN}"],
                                         cwd=self.tmp, stdout=log, stderr=subprocess.STDOUT,
                                         **self.as_mail_user())
        socket_path = os.path.join(self.home, "lmtp.sock")
        # A killed server leaves its socket behind: wait for the new one's announcement.
        wait_for("corvalith lmtp to listen", lambda: read(output).count("listening on") > starts
                 or self.lmtp.poll() is not None)
        if self.lmtp.poll() is not None:
            raise Failure(f"corvalith lmtp exited {self.lmtp.returncode}")
        # Postfix's LMTP client runs as postfix; the socket is open to its owner and group.
        # (docs/mail-server.md puts postfix into the mail user's group instead.)
        os.chown(socket_path, -1, pwd.getpwnam("postfix").pw_gid)

    def stop_lmtp(self, sig=signal.SIGTERM):
        if self.lmtp and self.lmtp.poll() is None:
            self.lmtp.send_signal(sig)
            self.lmtp.wait(timeout=STEP_SECONDS)
        self.lmtp = None

    # --- Postfix ---------------------------------------------------------------------------

    def configure_postfix(self, snippets):
        os.makedirs(self.postfix_conf)
        os.makedirs(self.spool)
        with open(self.path("postfix", "main.cf"), "w") as f:
            f.write(f"""# The private instance: its own queue, log and loopback port.
compatibility_level = 3.6
queue_directory = {self.spool}
data_directory = {self.path("postfix-data")}
maillog_file = {self.path("maillog")}
maillog_file_prefixes = {self.tmp}
myhostname = mx.{DOMAIN}
mydomain = {DOMAIN}
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
alias_maps =
alias_database =
biff = no
# Nothing leaves the machine, and nothing is looked up in the DNS.
default_transport = error:no mail leaves this test
relay_transport = error:no mail leaves this test
# Deferred mail is retried only when the test asks (postqueue -f).
queue_run_delay = 1h
minimal_backoff_time = 1h
maximal_backoff_time = 1h
lmtp_connection_cache_on_demand = no
""")
            f.write(self.substitute(snippets["main.cf"]))
        with open(self.path("postfix", "corvalith-mailboxes"), "w") as f:
            # carol has no mailbox in corvalith: its LMTP server refuses her.
            f.write(f"alice@{DOMAIN} ok\nbob@{DOMAIN} ok\ncarol@{DOMAIN} ok\n{UTF8_USER} ok\n")
        with open("/etc/postfix/master.cf") as f:
            master = f.read()
        # The stock master.cf with the SMTP server on the test's port and without chroot.
        master = re.sub(r"^smtp(\s+inet\s+)", f"127.0.0.1:{self.smtp_port}\\1", master,
                        count=1, flags=re.M)
        master = re.sub(r"^(\S+\s+\S+\s+\S+\s+\S+\s+)y(\s)", r"\1n\2", master, flags=re.M)
        with open(self.path("postfix", "master.cf"), "w") as f:
            f.write(master)
        # Creates the queue directories, among them private/ for Dovecot's auth socket.
        self.postfix("check")

    def start_postfix(self):
        """Starts the configured Postfix; Dovecot's auth socket must exist by now, or the
        first SMTP connection makes smtpd fail and Postfix throttle it for a minute."""
        self.postfix("start")
        self.postfix_started = True
        wait_for("Postfix to listen", lambda: port_open(self.smtp_port))

    def postfix(self, *args):
        result = subprocess.run(["postfix", "-c", self.postfix_conf, *args], capture_output=True,
                                timeout=STEP_SECONDS)
        if result.returncode != 0:
            raise Failure(f"postfix {' '.join(args)}: "
                          f"{(result.stdout + result.stderr).decode(errors='replace')}")

    def queue(self):
        """The queue names of the messages in Postfix's queue ("active", "deferred", …)."""
        result = subprocess.run(["postqueue", "-c", self.postfix_conf, "-j"],
                                capture_output=True, timeout=STEP_SECONDS, check=True)
        return [json.loads(line)["queue_name"] for line in result.stdout.decode().splitlines()]

    def flush_queue(self):
        """Asks Postfix to retry the mail it holds at once (Postfix also stops throttling a
        destination it found dead). Mail that was being delivered when corvalith lmtp went
        away is deferred only after that attempt fails, so callers poll this until what they
        wait for has arrived; at most one flush a second."""
        if self.queue() and time.monotonic() - self.last_flush > 1:
            subprocess.run(["postqueue", "-c", self.postfix_conf, "-f"], check=True,
                           timeout=STEP_SECONDS)
            self.last_flush = time.monotonic()

    # --- Dovecot ---------------------------------------------------------------------------

    def start_dovecot(self, snippets):
        dovecot_dir = os.path.dirname(self.dovecot_conf)
        os.makedirs(os.path.join(dovecot_dir, "run"))
        os.makedirs(self.path("sieve"))
        os.makedirs(self.path("sieve-pipe"))
        shutil.copy(os.path.join(SOURCE, "mailserver", "report-move.sieve"), self.path("sieve"))
        with open(os.path.join(SOURCE, "mailserver", "corvalith-moved")) as f:
            program = f.read()
        program = re.sub(r"^corvalith=.*$", f"corvalith={self.corvalith}", program, flags=re.M)
        program = re.sub(r"^home=.*$", f"home={self.home}", program, flags=re.M)
        moved = self.path("sieve-pipe", "corvalith-moved")
        with open(moved, "w") as f:
            f.write(program)
        os.chmod(moved, 0o755)
        with open(os.path.join(dovecot_dir, "users"), "w") as f:
            for user in ("alice", "bob"):
                f.write(f"{user}@{DOMAIN}:{{PLAIN}}{PASSWORD}::::::\n")
        with open(self.dovecot_conf, "w") as f:
            f.write(f"""# The private instance: its own directories, loopback IMAP, test users.
base_dir = {dovecot_dir}/run
state_dir = {dovecot_dir}/state
log_path = {self.path("dovecot.log")}
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = {self.mail_pw.pw_uid}
first_valid_gid = {self.mail_pw.pw_gid}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {self.imap_port}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
passdb {{
  driver = passwd-file
  args = {dovecot_dir}/users
}}
userdb {{
  driver = static
  args = allow_all_users=yes
}}
""")
            f.write(self.substitute(snippets["dovecot.conf"]))
            f.write(self.substitute(snippets["15-mailboxes.conf"]))
        sieve = self.path("sieve", "report-move.sieve")
        compiled = subprocess.run(["sievec", "-c", self.dovecot_conf, sieve],
                                  capture_output=True, timeout=STEP_SECONDS)
        if compiled.returncode != 0:
            raise Failure(f"sievec: {compiled.stderr.decode(errors='replace')}")
        subprocess.run(["dovecot", "-c", self.dovecot_conf], check=True, timeout=STEP_SECONDS)
        self.dovecot_started = True
        wait_for("Dovecot to listen", lambda: port_open(self.imap_port))

    # --- the end ---------------------------------------------------------------------------

    def stop(self):
        """Stops everything that was started and removes the directory; never raises."""
        # Nothing interrupts the clean-up; each of its steps is bounded on its own.
        signal.alarm(0)
        for number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(number, signal.SIG_IGN)
        steps = [
            lambda: self.stop_lmtp(signal.SIGKILL),
            lambda: self.postfix_started and subprocess.run(
                ["postfix", "-c", self.postfix_conf, "stop"], capture_output=True,
                timeout=STEP_SECONDS),
            lambda: self.dovecot_started and subprocess.run(
                ["dovecot", "-c", self.dovecot_conf, "stop"], capture_output=True,
                timeout=STEP_SECONDS),
        ]
        for step in steps:
            try:
                step()
            except Exception as e:  # the other steps still run
                print(f"cleanup: {e}", file=sys.stderr)
        self.postfix_started = self.dovecot_started = False
        # Postfix and Dovecot end their children a moment after the stop command returns.
        try:
            wait_for("the servers' processes to end", lambda: not self.processes_in_tmp())
        except Failure as e:
            print(f"cleanup: {e}", file=sys.stderr)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def processes_in_tmp(self):
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if self.tmp.encode() in f.read():
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def dump_logs(self):
        for name in ("maillog", "dovecot.log", "lmtp.out", "home/data/Corvalith.log"):
            path = self.path(name)
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    lines = f.readlines()
                print(f"---- {name} (last 40 lines) ----", file=sys.stderr)
                sys.stderr.writelines(lines[-40:])


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


# --- the mail ------------------------------------------------------------------------------

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


imaplib.Commands.setdefault("MOVE", ("SELECTED",))


class ImapUser:
    """One user's IMAP session."""

    def __init__(self, server, user):
        self.imap = imaplib.IMAP4("127.0.0.1", server.imap_port, timeout=STEP_SECONDS)
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
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=STEP_SECONDS) as smtp:
        if login:
            smtp.login(login, PASSWORD)
        smtp.send_message(mail)
    return mail["Message-ID"]


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

ALICE = f"alice@{DOMAIN}"
BOB = f"bob@{DOMAIN}"
# A mailbox whose address needs SMTPUTF8; it has no IMAP login.
UTF8_USER = f"j\u00fcrgen@{DOMAIN}"
HAM_FLAGS = {"Corvalith-Ham", "$NotJunk"}
SPAM_FLAGS = {"Corvalith-Spam", "$Junk"}


def set_up_home(server):
    server.corvalith_run("init", "--maildir", server.root)
    for user in (ALICE, BOB, UTF8_USER):
        server.corvalith_run("mailbox", "add", user)
    domain_directory = os.path.join(server.home, "data", DOMAIN)
    server.write_as_mail_user(os.path.join(domain_directory, "global.wlt"), "@partner.example\n")
    for user in (ALICE, BOB, UTF8_USER):
        local = user.split("@")[0]
        server.write_as_mail_user(os.path.join(domain_directory, f"{local}.dat.wlt"), "")


def check_sorting(server, alice):
    """Ham into INBOX, spam into Junk E-mail, each with its marker keywords."""
    ham = send(server, message("tom@fieldwork.example", ALICE, "Site visit", HAM_WORDS, 1))
    spam = send(server, message("winner@lottery.example", ALICE, "You won", SPAM_WORDS, 2))
    alice.wait_flags("INBOX", ham, HAM_FLAGS)
    flags = alice.wait_flags(JUNK, spam, SPAM_FLAGS)
    if "$NotJunk" in flags or "Corvalith-Ham" in flags:
        raise Failure(f"spam carries {flags}")


def check_unknown_recipient(server):
    """A recipient Postfix knows but corvalith has no mailbox for is refused by corvalith
    lmtp for good (550), and Postfix bounces the mail instead of keeping it."""
    with smtplib.SMTP("127.0.0.1", server.smtp_port, timeout=STEP_SECONDS) as smtp:
        # From the null sender, so that the bounce goes nowhere.
        smtp.sendmail("", [f"carol@{DOMAIN}"],
                      bytes(message("tom@fieldwork.example", f"carol@{DOMAIN}", "Hello",
                                    HAM_WORDS, 10)))
    wait_for("Postfix to bounce the mail for carol",
             lambda: re.search(r"to=<carol@[^>]*>.*status=bounced \(.*\b550\b",
                               read(server.path("maillog"))))


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
    """Mail sent while corvalith lmtp stops (SIGTERM) in the middle of a burst, while it is
    down, and while it is killed (SIGKILL) in the middle of a burst arrives after the restart,
    each message exactly once."""
    def arrived(messages):
        server.flush_queue()
        return set(messages) <= set(message_ids_in_mailbox(server, BOB))

    stopped = burst(server, "Stopped", 10)
    server.stop_lmtp(signal.SIGTERM)
    while_down = [send(server, message("tom@fieldwork.example", BOB, f"While down {i}",
                                       HAM_WORDS, 100 + i)) for i in range(5)]
    wait_for("Postfix to defer the mail", lambda: "deferred" in server.queue())
    server.start_lmtp()
    wait_for("the mail of the stop", lambda: arrived(stopped + while_down))

    killed = burst(server, "Killed", 20)
    server.stop_lmtp(signal.SIGKILL)
    server.start_lmtp()
    wait_for("the mail of the kill", lambda: arrived(killed))
    wait_for("Postfix's queue to empty", lambda: not server.queue())
    check_each_stored_once(server, stopped + while_down + killed)


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


def check_pipe_transport(server, snippets):
    """Postfix switched to the pipe transport of the page delivers through `corvalith
    deliver`, mail from outside and a logged-in user's internal mail alike, with corvalith
    lmtp stopped."""
    server.stop_lmtp(signal.SIGTERM)
    # The pipe's settings take the place of the ones they name.
    switch = server.substitute(snippets["pipe-main.cf"])
    names = re.findall(r"^(\w+)\s*=", switch, re.M)
    main_cf = os.path.join(server.postfix_conf, "main.cf")
    kept = [line for line in read(main_cf).splitlines(keepends=True)
            if not re.match(r"(%s)\s*=" % "|".join(names), line)]
    with open(main_cf, "w") as f:
        f.write("".join(kept) + switch)
    with open(os.path.join(server.postfix_conf, "master.cf"), "a") as f:
        f.write(server.substitute(snippets["master.cf"]))
    server.postfix("reload")
    internal_before = log_count(server, "New Mail (EA) forced to HAM")
    external = send(server, message("tom@fieldwork.example", BOB, "By pipe", HAM_WORDS, 8))
    internal = send(server, message(ALICE, BOB, "Offer seen", SPAM_WORDS, 9), login=ALICE)
    bob = ImapUser(server, BOB)
    try:
        # Mail that met the old transport before the reload waits in the queue: flush it.
        def delivered():
            server.flush_queue()
            return {external, internal} <= set(message_ids_in_mailbox(server, BOB))

        wait_for("the mail through the pipe", delivered)
        for message_id in (external, internal):
            bob.wait_flags("INBOX", message_id, HAM_FLAGS)
    finally:
        bob.close()
    if "relay=corvalith" not in read(server.path("maillog")):
        raise Failure("Postfix did not use the pipe transport")
    if log_count(server, "New Mail (EA) forced to HAM") != internal_before + 1:
        raise Failure("the logged-in sender's mail through the pipe was not internal")


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def run(corvalith_binary):
    server = Server(corvalith_binary)
    atexit.register(server.stop)
    alice = None
    try:
        snippets = doc_snippets()
        set_up_home(server)
        train(server, ALICE)
        server.start_lmtp()
        server.configure_postfix(snippets)
        server.start_dovecot(snippets)
        server.start_postfix()
        alice = ImapUser(server, ALICE)
        # Each check stands alone, so that one failure does not hide the others.
        checks = [
            lambda: check_sorting(server, alice),
            lambda: check_user_moves(server, alice),
            lambda: check_deleted_spam(server, alice),
            lambda: check_trusted(server, alice),
            lambda: check_address_forms(server),
            lambda: check_unknown_recipient(server),
            lambda: check_outages(server),
            lambda: check_pipe_transport(server, snippets),
        ]
        names = ["sorting", "user moves", "deleted spam", "trusted senders", "address forms",
                 "unknown recipient", "outages", "pipe transport"]
        failed = []
        for name, check in zip(names, checks):
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
    reason = skip_reason()
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
    return run(sys.argv[1])


if __name__ == "__main__":
    sys.exit(main())
