"""docs/mail-server.md as the end-to-end test reads it, and the files it installs.

The page names the places of a real server (/etc/postfix, /var/lib/corvalith, …); the test
moves each into its temporary directory and otherwise runs the page's blocks as they stand.
"""
import os
import re
import shlex

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = os.path.join(SOURCE, "docs", "mail-server.md")

# Where the package puts what the page uses.
INSTALLED_BINARY = "/usr/bin/corvalith"
INSTALLED_MOVED = "/usr/lib/corvalith/sieve-pipe/corvalith-moved"
INSTALLED_SIEVE = "/usr/share/corvalith/sieve/report-move.sieve"
INSTALLED_DEFAULTS = "/etc/default/corvalith"
UNIT_DIRECTORIES = ("/lib/systemd/system", "/usr/lib/systemd/system")
SERVICE = "corvalith-lmtp.service"


class Block:
    """A fenced block: its language, the file it names (or None), its text."""

    def __init__(self, language, name, text):
        self.language = language
        self.name = name
        self.text = text


def blocks():
    with open(PAGE, encoding="utf-8") as f:
        page = f.read()
    return [Block(language, name or None, text)
            for language, name, text in re.findall(r"^```(\w*) ?(\S*)\n(.*?)^```$", page,
                                                   re.M | re.S)]


def named_block(name):
    for block in blocks():
        if block.name == name:
            return block.text
    raise LookupError(f"docs/mail-server.md has no block named {name}")


class Installation:
    """The files of corvalith the server runs: the installed package's, or for a build tree
    the repository's with the built binary."""

    def __init__(self, binary=None):
        self.installed = binary is None
        if self.installed:
            self.binary = INSTALLED_BINARY
            self.moved = INSTALLED_MOVED
            self.sieve = INSTALLED_SIEVE
            self.defaults = INSTALLED_DEFAULTS
            unit_directory = next((d for d in UNIT_DIRECTORIES
                                   if os.path.exists(os.path.join(d, SERVICE))), None)
            if unit_directory is None:
                raise FileNotFoundError(f"{SERVICE} is not installed")
            self.service = os.path.join(unit_directory, SERVICE)
        else:
            self.binary = os.path.abspath(binary)
            self.moved = os.path.join(SOURCE, "mailserver", "corvalith-moved")
            self.sieve = os.path.join(SOURCE, "mailserver", "report-move.sieve")
            self.defaults = os.path.join(SOURCE, "mailserver", "corvalith.default")
            self.service = os.path.join(SOURCE, "mailserver", "systemd", SERVICE + ".in")
        self.units = os.path.dirname(self.service)

    def missing(self):
        for path in (self.binary, self.moved, self.sieve, self.defaults, self.service):
            if not os.path.exists(path):
                return path
        return None

    def unit(self, name):
        """A unit's settings: {key: [values]} over all its sections."""
        path = os.path.join(self.units, name)
        if not os.path.exists(path) and os.path.exists(path + ".in"):
            path += ".in"
        settings = {}
        with open(path, encoding="utf-8") as f:
            for line in f:
                found = re.match(r"^(\w+)=(.*)$", line.strip())
                if found:
                    settings.setdefault(found.group(1), []).append(found.group(2))
        return settings


def environment_file(path):
    """KEY=VALUE lines as systemd reads them (quotes removed; comments and blanks skipped)."""
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            found = re.match(r"^\s*(\w+)=(.*)$", line)
            if found and not line.lstrip().startswith("#"):
                words = shlex.split(found.group(2))
                values[found.group(1)] = " ".join(words)
    return values


def exec_start(command, environment):
    """systemd's ExecStart: `$NAME` becomes the words of the value, `${NAME}` one word."""
    words = []
    for word in shlex.split(command):
        whole = re.fullmatch(r"\$(\w+)", word)
        if whole:
            words.extend(environment.get(whole.group(1), "").split())
        else:
            words.append(re.sub(r"\$\{(\w+)\}", lambda m: environment.get(m.group(1), ""), word))
    return words
