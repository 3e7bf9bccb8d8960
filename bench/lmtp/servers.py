"""The two LMTP servers under test, each started in the foreground as a child of the benchmark
in a fresh directory, and the CPU time of a server's whole process tree.

CPU time: utime+stime of every process descending from the server's first process, plus the
cutime+cstime those processes hold for children they have already reaped, read from
/proc/PID/stat. A live process's own times and its reaped children's are disjoint, so the sum
over the live tree is everything the server has spent; the difference between two readings is
what it spent between them (Dovecot's lmtp, auth and log processes included).
"""
import grp
import os
import pwd
import shlex
import signal
import socket
import subprocess
import time

from lmtp import corpus

START_TIMEOUT_S = 30
STOP_TIMEOUT_S = 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _stat_fields(pid):
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    # The command name is in parentheses and may hold spaces: the fields follow the last ')'.
    return text[text.rindex(")") + 2:].split()


def _process_tree(root_pid):
    parent_of = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                parent_of[int(entry)] = int(_stat_fields(entry)[1])
            except (OSError, ValueError, IndexError):
                continue  # gone meanwhile
    tree, frontier = {root_pid}, [root_pid]
    while frontier:
        parent = frontier.pop()
        children = [pid for pid, ppid in parent_of.items() if ppid == parent]
        tree.update(children)
        frontier.extend(children)
    return tree


def tree_cpu_seconds(root_pid):
    ticks = 0
    for pid in _process_tree(root_pid):
        try:
            fields = _stat_fields(pid)
        except OSError:
            continue
        # utime, stime, cutime, cstime: fields 14-17 of proc(5), 12-15 after the name.
        ticks += sum(int(v) for v in fields[11:15])
    return ticks / os.sysconf("SC_CLK_TCK")


class Server:
    name = ""

    def __init__(self, directory):
        self.directory = directory
        self.port = free_port()
        self.process = None
        self.log_path = os.path.join(directory, f"{self.name}.log")

    def mail_root(self):
        raise NotImplementedError

    def _command(self):
        raise NotImplementedError

    def start(self):
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(self._command(), stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=log, start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.process.returncode} at "
                                   f"start; see {self.log_path}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.recv(512)  # the greeting: the server is really serving
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"{self.name} did not listen on port {self.port} within "
                           f"{START_TIMEOUT_S} s; see {self.log_path}")

    def cpu_seconds(self):
        return tree_cpu_seconds(self.process.pid)

    def stop(self):
        """SIGTERM, then SIGKILL to whatever of its tree outlives it or the timeout."""
        if self.process is None or self.process.poll() is not None:
            return
        tree = _process_tree(self.process.pid)
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        # Only what is still in the server's session: a number seen before may be reused.
        for pid in tree - {self.process.pid}:
            try:
                if int(_stat_fields(pid)[3]) == self.process.pid:
                    os.kill(pid, signal.SIGKILL)
            except (OSError, ValueError, IndexError):
                pass


class Corvalith(Server):
    name = "corvalith"

    def __init__(self, directory, binary, extra_args, user_addresses):
        super().__init__(directory)
        self.binary = binary
        self.extra_args = shlex.split(extra_args)
        self.home = os.path.join(directory, "corvalith-home")
        mail = self.mail_root()
        quiet = {"stdout": subprocess.DEVNULL}
        subprocess.run([binary, "--home", self.home, "init", "--maildir", mail], check=True,
                       **quiet)
        for address in user_addresses:
            subprocess.run([binary, "--home", self.home, "mailbox", "add", address],
                           check=True, **quiet)

    def mail_root(self):
        return os.path.join(self.directory, "corvalith-mail")

    def _command(self):
        return [self.binary, "--home", self.home, "lmtp", "--listen",
                f"127.0.0.1:{self.port}", "--log", "stderr", *self.extra_args]


class Dovecot(Server):
    """A private Dovecot serving only LMTP from a configuration of its own (nothing of
    /etc/dovecot is read). Its mail processes may not run as root, so as root the mail belongs
    to the `mail` user."""
    name = "dovecot"

    def __init__(self, directory, user_addresses):
        super().__init__(directory)
        conf_dir = os.path.join(directory, "dovecot")
        os.makedirs(conf_dir)
        mail = self.mail_root()
        os.makedirs(mail)
        if os.geteuid() == 0:
            owner = pwd.getpwnam("mail")
            os.chown(mail, owner.pw_uid, owner.pw_gid)
            # The mail and auth processes drop root: they must reach their files.
            for path in (directory, conf_dir):
                os.chmod(path, 0o755)
            internal = ""
        else:
            owner = pwd.getpwuid(os.getuid())
            group = grp.getgrgid(os.getgid()).gr_name
            internal = (f"default_internal_user = {owner.pw_name}\n"
                        f"default_internal_group = {group}\n"
                        f"default_login_user = {owner.pw_name}\n")
        users_file = os.path.join(conf_dir, "users")
        with open(users_file, "w") as f:
            f.writelines(f"{address}:{{PLAIN}}unused::::::\n" for address in user_addresses)
        os.chmod(users_file, 0o644)
        self.conf = os.path.join(conf_dir, "dovecot.conf")
        with open(self.conf, "w") as f:
            f.write(f"""# Written by bench/lmtp_vs_dovecot: a private instance serving only LMTP.
instance_name = corvalith-bench-{self.port}
base_dir = {conf_dir}/run
state_dir = {conf_dir}/state
log_path = {conf_dir}/dovecot.log
protocols = lmtp
ssl = no
{internal}first_valid_uid = {owner.pw_uid}
first_valid_gid = {owner.pw_gid}
mail_location = maildir:{mail}/%d/%n/Maildir
lmtp_save_to_detail_mailbox = no
passdb {{
  driver = passwd-file
  args = username_format=%u {users_file}
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {users_file}
  default_fields = uid={owner.pw_uid} gid={owner.pw_gid} home={mail}/%d/%n
}}
service lmtp {{
  inet_listener lmtp {{
    address = 127.0.0.1
    port = {self.port}
  }}
}}
""")

    def mail_root(self):
        return os.path.join(self.directory, "dovecot-mail")

    def _command(self):
        return ["dovecot", "-F", "-c", self.conf]


def make(kind, directory, binary, extra_args, user_count):
    os.makedirs(directory)
    addresses = corpus.users(user_count)
    if kind == "corvalith":
        return Corvalith(directory, binary, extra_args, addresses)
    return Dovecot(directory, addresses)
