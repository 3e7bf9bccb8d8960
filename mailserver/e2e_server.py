"""The mail server of docs/mail-server.md in a temporary directory: Debian's stock Postfix and
Dovecot configuration copied there and edited as the page says, `corvalith lmtp` started as
systemd starts the package's service, on loopback ports. stop() ends everything it started.
"""
import fcntl
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import e2e_page as page

# One asynchronous step (a delivery through Postfix, a relearn after a move).
STEP_SECONDS = 30
DOMAIN = "example.com"
PASSWORD = "secret"


class Failure(Exception):
    pass


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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""




class Server:
    def __init__(self, installation):
        self.installation = installation
        self.tmp = tempfile.mkdtemp(prefix="corvalith-e2e-")
        os.chmod(self.tmp, 0o755)
        self.path = lambda *parts: os.path.join(self.tmp, *parts)
        service = installation.unit(page.SERVICE)
        self.mail_user = service["User"][0]
        self.mail_pw = pwd.getpwnam(self.mail_user)
        self.home = self.path("home")
        self.root = self.path("vmail")
        self.spool = self.path("spool")
        self.postfix_conf = self.path("postfix")
        self.dovecot_dir = self.path("dovecot")
        self.smtp_port = free_port()
        self.submission_port = free_port()
        self.imap_port = free_port()
        self.lmtp = None
        self.sockets = []
        self.postfix_started = False
        self.dovecot_started = False
        self.last_flush = 0.0
        # The page's places, moved here; in a build tree the package's files too.
        self.places = {
            "/etc/postfix": self.postfix_conf,
            "/etc/dovecot": self.dovecot_dir,
            page.INSTALLED_DEFAULTS: self.path("default-corvalith"),
            "/var/lib/corvalith": self.home,
            "/var/vmail": self.root,
            "/var/spool/postfix": self.spool,
            # Dovecot starts the pipe program from here; it names the home.
            os.path.dirname(page.INSTALLED_MOVED): self.path("sieve-pipe"),
        }
        if not installation.installed:
            self.places[page.INSTALLED_BINARY] = installation.binary
            self.places[os.path.dirname(page.INSTALLED_SIEVE)] = self.path("sieve")
        self.corvalith = installation.binary
        for directory in (self.home, self.root):
            os.makedirs(directory)
            os.chown(directory, self.mail_pw.pw_uid, self.mail_pw.pw_gid)
        self.install_files()

    def move_places(self, text):
        for place in sorted(self.places, key=len, reverse=True):
            text = text.replace(place, self.places[place])
        return text

    def install_files(self):
        """What the package and the distribution have put in place before the page begins:
        stock Postfix and Dovecot configuration, corvalith's defaults and pipe program."""
        os.makedirs(self.postfix_conf)
        # Debian's master.cf as installed; main.cf does not exist after "No configuration".
        shutil.copy("/usr/share/postfix/master.cf.dist", self.path("postfix", "master.cf"))
        shutil.copytree("/etc/dovecot", self.dovecot_dir, symlinks=True)
        shutil.copy(self.installation.defaults, self.places[page.INSTALLED_DEFAULTS])
        os.makedirs(self.path("sieve-pipe"))
        with open(self.installation.moved, encoding="utf-8") as f:
            program = f.read()
        program = re.sub(r"^corvalith=.*$", f"corvalith={self.corvalith}", program, flags=re.M)
        program = re.sub(r"^home=.*$", f"home={self.home}", program, flags=re.M)
        moved = self.path("sieve-pipe", "corvalith-moved")
        with open(moved, "w", encoding="utf-8") as f:
            f.write(program)
        os.chmod(moved, 0o755)
        if not self.installation.installed:
            os.makedirs(self.path("sieve"))
            shutil.copy(self.installation.sieve, self.path("sieve"))
        # The page's commands as they work here: the test starts the servers itself, and
        # Dovecot's tools read its configuration from where it was moved.
        stubs = {
            "systemctl": "#!/bin/sh\nexit 0\n",
            "sievec": f'#!/bin/sh\nexec /usr/bin/sievec -c "{self.dovecot_conf()}" "$@"\n',
        }
        os.makedirs(self.path("stubs"))
        for name, text in stubs.items():
            with open(self.path("stubs", name), "w", encoding="utf-8") as f:
                f.write(text)
            os.chmod(self.path("stubs", name), 0o755)
        # The package's postinst.
        self.corvalith_run("init", "--maildir", self.root)

    # --- the page --------------------------------------------------------------------------

    def follow_page(self):
        """Runs the page's sh blocks and writes its file blocks, in the order given."""
        bin_dirs = [self.path("stubs")]
        if not self.installation.installed:
            bin_dirs.append(os.path.dirname(self.installation.binary))
        environment = {
            "PATH": ":".join(bin_dirs + ["/usr/sbin", "/usr/bin", "/sbin", "/bin"]),
            "MAIL_CONFIG": self.postfix_conf,
            "CORVALITH_HOME": self.home,
            "HOME": self.tmp,
            "LANG": "C.UTF-8",
        }
        for block in page.blocks():
            if block.language == "sh":
                result = subprocess.run(["/bin/sh", "-e", "-c", self.move_places(block.text)],
                                        capture_output=True, env=environment, cwd=self.tmp,
                                        timeout=STEP_SECONDS)
                if result.returncode != 0:
                    raise Failure(f"the page's commands\n{block.text}failed: "
                                  f"{(result.stdout + result.stderr).decode(errors='replace')}")
            elif block.name and block.name.startswith("/"):
                with open(self.move_places(block.name), "w", encoding="utf-8") as f:
                    f.write(self.move_places(block.text))

    def write_users(self, users):
        """/etc/dovecot/users as the page makes it, with the password typed in."""
        lines = []
        for user in users:
            hashed = subprocess.run(["doveadm", "-c", self.dovecot_conf(), "pw", "-s",
                                     "SHA512-CRYPT", "-p", PASSWORD], capture_output=True,
                                    check=True, timeout=STEP_SECONDS).stdout.decode().strip()
            lines.append(f"{user}:{hashed}\n")
        users_file = self.path("dovecot", "users")
        with open(users_file, "w", encoding="utf-8") as f:
            f.writelines(lines)
        shutil.chown(users_file, "root", "dovecot")
        os.chmod(users_file, 0o640)

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
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chown(path, self.mail_pw.pw_uid, self.mail_pw.pw_gid)

    def open_sockets(self):
        """Creates the sockets of the package's socket units as systemd does."""
        service = self.installation.unit(page.SERVICE)
        for unit_name in " ".join(service.get("Requires", [])).split():
            if not unit_name.endswith(".socket"):
                continue
            unit = self.installation.unit(unit_name)
            names = unit.get("FileDescriptorName", [])
            owner = pwd.getpwnam(unit["SocketUser"][0]).pw_uid
            group = pwd.getpwnam(unit["SocketGroup"][0]).pw_gid
            mode = int(unit["SocketMode"][0], 8)
            for i, listen in enumerate(unit["ListenStream"]):
                path = self.move_places(listen)
                listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                listener.bind(path)
                os.chown(path, owner, group)
                os.chmod(path, mode)
                listener.listen(128)
                name = names[i] if i < len(names) else names[-1] if names else unit_name
                self.sockets.append((name, path, listener))
        if not self.sockets:
            raise Failure(f"{page.SERVICE} requires no socket unit")

    def close_sockets(self):
        """As `systemctl stop corvalith-lmtp.socket`: the sockets are gone."""
        for _, path, listener in self.sockets:
            listener.close()
            os.unlink(path)
        self.sockets = []

    def start_lmtp(self):
        """Starts the service's ExecStart with the sockets passed as systemd passes them
        (LISTEN_FDS from fd 3). Its lines go to a file the test reads, not to syslog."""
        service = self.installation.unit(page.SERVICE)
        environment = page.environment_file(self.places[page.INSTALLED_DEFAULTS])
        argv = page.exec_start(self.move_places(service["ExecStart"][0]), environment)
        argv[0] = self.corvalith
        argv += ["--log", "stderr"]
        high = [fcntl_dup(listener.fileno()) for _, _, listener in self.sockets]
        moves = " ".join(f"{3 + i}<&{fd}" for i, fd in enumerate(high))
        closes = " ".join(f"{fd}<&-" for fd in high)
        names = ":".join(name for name, _, _ in self.sockets)
        script = (f'LISTEN_PID=$$ LISTEN_FDS={len(high)} LISTEN_FDNAMES={names} '
                  f'exec "$@" {moves} {closes}')
        output = self.path("lmtp.out")
        starts = read(output).count("listening on")
        try:
            with open(output, "ab") as log:
                self.lmtp = subprocess.Popen(["/bin/bash", "-c", script, "bash", *argv],
                                             cwd=self.tmp, stdout=log, stderr=subprocess.STDOUT,
                                             pass_fds=high, env={"PATH": "/usr/bin:/bin"},
                                             **self.as_mail_user())
        finally:
            for fd in high:
                os.close(fd)
        wait_for("corvalith lmtp to start", lambda: read(output).count("listening on") > starts
                 or self.lmtp.poll() is not None)
        if self.lmtp.poll() is not None:
            raise Failure(f"corvalith lmtp exited {self.lmtp.returncode}:\n{read(output)}")

    def stop_lmtp(self, sig=signal.SIGTERM):
        if self.lmtp and self.lmtp.poll() is None:
            self.lmtp.send_signal(sig)
            self.lmtp.wait(timeout=STEP_SECONDS)
        self.lmtp = None

    # --- Postfix ---------------------------------------------------------------------------

    def private_postfix(self):
        """After the page's edits: this instance's own queue, log and loopback ports; no mail
        leaves it and nothing is looked up in the DNS."""
        with open(self.path("postfix", "main.cf"), "a", encoding="utf-8") as f:
            f.write(f"""
# The test's private instance.
queue_directory = {self.spool}
data_directory = {self.path("postfix-data")}
maillog_file = {self.path("maillog")}
maillog_file_prefixes = {self.tmp}
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
default_transport = error:no mail leaves this test
relay_transport = error:no mail leaves this test
# Deferred mail is retried only when the test asks (postqueue -f).
queue_run_delay = 1h
minimal_backoff_time = 1h
maximal_backoff_time = 1h
""")
        master_cf = self.path("postfix", "master.cf")
        master = read(master_cf)
        for service, port in (("smtp", self.smtp_port), ("submission", self.submission_port)):
            master, found = re.subn(rf"^{service}(\s+inet\s+)", f"127.0.0.1:{port}\\1", master,
                                    count=1, flags=re.M)
            if not found:
                raise Failure(f"master.cf has no {service} service")
        with open(master_cf, "w", encoding="utf-8") as f:
            f.write(master)
        os.makedirs(self.spool)
        # Creates the queue directories, private/ among them; then what Debian's unit runs
        # before each start: the files a chrooted service needs, copied into the chroot.
        self.postfix("check")
        self.run_checked(["/usr/lib/postfix/configure-instance.sh", "-"],
                         env={"MAIL_CONFIG": self.postfix_conf, "PATH": "/usr/sbin:/usr/bin:/bin"})

    def run_checked(self, argv, **options):
        result = subprocess.run(argv, capture_output=True, timeout=STEP_SECONDS, **options)
        if result.returncode != 0:
            raise Failure(f"{' '.join(argv)}: "
                          f"{(result.stdout + result.stderr).decode(errors='replace')}")
        return result

    def start_postfix(self):
        """Dovecot's auth socket must exist by now, or the first login makes smtpd fail and
        Postfix throttle it for a minute."""
        self.postfix("start")
        self.postfix_started = True
        wait_for("Postfix to listen", lambda: port_open(self.smtp_port))

    def postfix(self, *args):
        self.run_checked(["postfix", "-c", self.postfix_conf, *args])

    def queue(self):
        """The queue names of the messages in Postfix's queue ("active", "deferred", …)."""
        result = self.run_checked(["postqueue", "-c", self.postfix_conf, "-j"])
        return [json.loads(line)["queue_name"] for line in result.stdout.decode().splitlines()]

    def flush_queue(self):
        """Asks Postfix to retry the mail it holds at once (and to stop throttling a
        destination it found dead), instead of waiting for its own retry timer; at most once a
        second, for callers that poll."""
        if self.queue() and time.monotonic() - self.last_flush > 1:
            self.run_checked(["postqueue", "-c", self.postfix_conf, "-f"])
            self.last_flush = time.monotonic()

    # --- Dovecot ---------------------------------------------------------------------------

    def dovecot_conf(self):
        return self.path("dovecot", "dovecot.conf")

    def start_dovecot(self):
        """After the page's edits: this instance's own directories and loopback IMAP port."""
        with open(self.dovecot_conf(), "a", encoding="utf-8") as f:
            f.write(f"""
# The test's private instance.
base_dir = {self.dovecot_dir}/run
state_dir = {self.dovecot_dir}/state
log_path = {self.path("dovecot.log")}
protocols = imap
listen = 127.0.0.1
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {self.imap_port}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
""")
        subprocess.run(["dovecot", "-c", self.dovecot_conf()], check=True, timeout=STEP_SECONDS)
        self.dovecot_started = True
        wait_for("Dovecot to listen", lambda: port_open(self.imap_port))

    # --- the end ---------------------------------------------------------------------------

    def stop(self):
        """Stops everything that was started and removes the directory; never raises."""
        signal.alarm(0)
        for number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(number, signal.SIG_IGN)
        steps = [
            lambda: self.stop_lmtp(signal.SIGKILL),
            lambda: self.postfix_started and subprocess.run(
                ["postfix", "-c", self.postfix_conf, "stop"], capture_output=True,
                timeout=STEP_SECONDS),
            lambda: self.dovecot_started and subprocess.run(
                ["dovecot", "-c", self.dovecot_conf(), "stop"], capture_output=True,
                timeout=STEP_SECONDS),
        ]
        for step in steps:
            try:
                step()
            except Exception as e:  # the other steps still run
                print(f"cleanup: {e}", file=sys.stderr)
        self.postfix_started = self.dovecot_started = False
        try:
            wait_for("the servers' processes to end", lambda: not self.processes_in_tmp())
        except Failure as e:
            print(f"cleanup: {e}", file=sys.stderr)
        for _, _, listener in self.sockets:
            listener.close()
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
            lines = read(self.path(name)).splitlines(keepends=True)
            if lines:
                print(f"---- {name} (last 40 lines) ----", file=sys.stderr)
                sys.stderr.writelines(lines[-40:])


def fcntl_dup(fd):
    """A copy of fd numbered 10 or above, so that moving the copies to 3, 4, … in the child
    never overwrites one not moved yet."""
    copy = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.set_inheritable(copy, True)
    return copy

