#!/usr/bin/python3
"""`corvalith report --html` in a real browser: headless Chromium through Selenium.

A scripted run of the real binary in a temporary home (init, two mailboxes, deliveries of known
spam and ham, a user's moves into and out of the junk folder, one mail whose subject and sender
are markup) records a verdict history; the page the report writes of it is opened and checked:
the charts are drawn with a bar group and a rate point per day carrying the day's figures, the
tables hold the counts the run produced, the hostile subject is text and runs nothing, nothing
is logged on the console, and on a phone's width only the tables scroll sideways.

    report/browser_test.py [--corvalith PATH] [--screenshot [FILE]] [--keep]

--screenshot saves a picture of the page (docs/report.png by default). Exit status 0 when every
check passed. The browser is always stopped, and the whole test is bounded: a signal or its own
alarm ends it with the browser closed.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
HOSTILE = "<script>alert(1)</script><img src=x onerror=alert(2)>"
ALICE = "alice@example.com"
BOB = "bob@example.org"
# What the run counts per mailbox: deliveries by verdict, then the corrections.
KINDS = ("spam", "ham", "none", "forced", "false positive", "false negative")
TIME_LIMIT = 240  # seconds for the whole test
PAGE_LOAD_LIMIT = 30


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


def newest_binary():
    found = [p for p in SOURCE.glob("build*/cli/corvalith") if os.access(p, os.X_OK)]
    if not found:
        sys.exit("browser_test: no built corvalith under build*/cli; give --corvalith PATH")
    return max(found, key=lambda p: p.stat().st_mtime)


def message(sender, subject, body, n):
    return (f"From: {sender}\nTo: {ALICE}\nSubject: {subject}\n"
            f"Message-ID: <m{n}@test.example>\nDate: Mon, 7 Dec 2026 10:00:00 +0000\n"
            f"Content-Type: text/plain; charset=utf-8\n\n{body}\n")


def spam(n):
    return message(f"Pharmacy <deals{n}@cheap-pills.example>", f"Cheap pills, discount {n}",
                   "Buy cheap viagra pills now! Limited discount offer, click "
                   f"http://cheap-pills.example/buy?{n} to order. Casino bonus, free money.", n)


def ham(n):
    return message(f"Carol <carol{n}@partner.example>", f"Project meeting notes {n}",
                   "The quarterly project meeting agenda: budget review, schedule and the "
                   f"release plan, item {n}. See you on Tuesday in the usual room.", n)


class Run:
    """The scripted run: every command through the real binary, and what it must have done."""

    def __init__(self, binary, home, mail_dir):
        self.binary, self.home, self.mail_dir = str(binary), str(home), Path(mail_dir)
        self.count = 0
        # Per mailbox: deliveries by verdict and the corrections its user made.
        self.expected = {}

    def corvalith(self, *args):
        done = subprocess.run([self.binary, "--home", self.home, "--json", *args],
                              capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise Failed(f"corvalith {' '.join(args)}: exit {done.returncode}: {done.stderr}")
        return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]

    def figures(self, mailbox):
        return self.expected.setdefault(mailbox, {kind: 0 for kind in KINDS})

    def deliver(self, mailbox, raw):
        self.count += 1
        path = self.mail_dir / f"{self.count:03}.eml"
        path.write_text(raw)
        answer = self.corvalith("deliver", mailbox, str(path))[0]
        verdict = {0: "none", 1: "ham", 2: "spam"}[answer["marker"]]
        self.figures(mailbox)[verdict] += 1
        return answer["url"], verdict

    def move(self, mailbox, url, folder, verdict_before):
        answer = self.corvalith("move", url, folder)[0]
        # Rescued from the junk folder while marked spam, or moved into it while marked ham.
        if folder == "Junk E-mail" and verdict_before == "ham":
            self.figures(mailbox)["false negative"] += 1
        if folder == "Inbox" and verdict_before == "spam":
            self.figures(mailbox)["false positive"] += 1
        return answer["url"]

    def play(self):
        self.corvalith("init")
        self.corvalith("mailbox", "add", ALICE)
        self.corvalith("mailbox", "add", BOB)
        # A new user's filter calls everything ham: Alice moves the spam she got into the junk
        # folder, as a user does, and the filter learns both classes.
        first_spam = []
        for n in range(6):
            first_spam.append(self.deliver(ALICE, spam(n)))
            self.deliver(ALICE, ham(n))
        for url, verdict in first_spam:
            self.move(ALICE, url, "Junk E-mail", verdict)
        # Now it judges: more of both, one spam with markup in its subject and sender.
        later = [self.deliver(ALICE, spam(n)) for n in range(10, 14)]
        for n in range(10, 13):
            self.deliver(ALICE, ham(n))
        hostile = message(f'"{HOSTILE}" <x@evil.example>', HOSTILE,
                          "Cheap viagra pills discount offer casino bonus free money", 99)
        hostile_url, hostile_verdict = self.deliver(ALICE, hostile)
        # She rescues the hostile one (whatever it was judged, it is hers to call ham) ...
        if hostile_verdict == "spam":
            self.move(ALICE, hostile_url, "Inbox", hostile_verdict)
        else:
            self.move(ALICE, self.move(ALICE, hostile_url, "Junk E-mail", hostile_verdict),
                      "Inbox", "spam")
        # She rescues a mail of a sender she knows; that puts the sender on her whitelist, and
        # the next mail from there is trusted without asking the classifier.
        judged_spam = [(url, n) for n, (url, verdict) in zip(range(10, 14), later)
                       if verdict == "spam"]
        check(judged_spam, "the trained filter judged none of the later spam as spam")
        url, n = judged_spam[0]
        self.move(ALICE, url, "Inbox", "spam")
        self.deliver(ALICE, spam(n).replace(f"discount {n}", "one more"))
        self.figures(ALICE)["forced"] += 1
        # ... and Bob, in the other domain, gets a little mail of both kinds.
        self.deliver(BOB, ham(50))
        self.deliver(BOB, spam(51))


def start_browser(width, height):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    options.add_argument("--headless=new")
    options.add_argument("--disable-gpu")
    options.add_argument("--disable-dev-shm-usage")
    options.add_argument(f"--window-size={width},{height}")
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # Chromium refuses root otherwise
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(PAGE_LOAD_LIMIT)
    return driver


def cells(driver, table_id):
    from selenium.webdriver.common.by import By

    rows = {}
    for row in driver.find_elements(By.CSS_SELECTOR, f"#{table_id} tbody tr"):
        found = {}
        for cell in row.find_elements(By.TAG_NAME, "td"):
            found[cell.get_attribute("class").split()[0]] = cell.text
        rows[row.get_attribute("data-name") or row.get_attribute("data-day") or "total"] = found
    return rows


def check_page(driver, page, run):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.by import By

    driver.get(page.as_uri())
    try:
        alert = driver.switch_to.alert
        raise Failed(f"an alert came up: {alert.text!r}")
    except NoAlertPresentException:
        pass

    # Nothing from the data became an element; the only images are the charts.
    check(not driver.find_elements(By.TAG_NAME, "script"), "a script element is in the page")
    check(not driver.find_elements(By.TAG_NAME, "img"), "an img element is in the page")
    subjects = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#false-positives .subject")]
    check(HOSTILE in subjects, f"the hostile subject is not shown as text: {subjects}")
    senders = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#false-positives .sender")]
    check(any(HOSTILE in s for s in senders), f"the hostile sender is not shown as text: {senders}")

    days = cells(driver, "days")
    day_names = [d for d in days if d != "total"]
    check(day_names, "the per-day table has no day")
    # The charts: drawn, a bar group per day with the table's figures, a point per day judged.
    for chart in ("mails", "corrections", "error-rate"):
        svg = driver.find_elements(By.CSS_SELECTOR, f"#{chart} svg.chart")
        check(svg and svg[0].size["width"] > 100 and svg[0].size["height"] > 30,
              f"the {chart} chart is not drawn")
    for chart, series in (("mails", ("spam", "ham", "none")),
                          ("corrections", ("false-positive", "false-negative"))):
        groups = driver.find_elements(By.CSS_SELECTOR, f"#{chart} g.day")
        check([g.get_attribute("data-day") for g in groups] == day_names,
              f"the {chart} chart's days are not the table's: {len(groups)} groups")
        column = {"false-positive": "false-positives", "false-negative": "false-negatives"}
        for group in groups:
            day = group.get_attribute("data-day")
            for kind in series:
                bar = group.find_elements(By.CSS_SELECTOR, f"rect.bar.{kind}")
                check(len(bar) == 1, f"{day}: {len(bar)} bars of {kind}")
                check(bar[0].get_attribute("data-count") == days[day][column.get(kind, kind)],
                      f"{day}: the {kind} bar says {bar[0].get_attribute('data-count')}, "
                      f"the table {days[day][column.get(kind, kind)]}")
    points = driver.find_elements(By.CSS_SELECTOR, "#error-rate circle.point")
    judged_days = [d for d in day_names if int(days[d]["spam"]) + int(days[d]["ham"]) > 0]
    check([p.get_attribute("data-day") for p in points] == judged_days,
          f"the rate chart has {len(points)} points for {len(judged_days)} days judged")
    for point in points:
        d = days[point.get_attribute("data-day")]
        rate = (int(d["false-positives"]) + int(d["false-negatives"])) / (
            int(d["spam"]) + int(d["ham"]))
        check(abs(float(point.get_attribute("data-rate")) - rate) < 1e-4,
              f"the point of {point.get_attribute('data-day')} is at {point.get_attribute('data-rate')}, not {rate:.4f}")

    # The numbers: what the run did, in the total row and the per-user and per-domain tables.
    total = days["total"]
    every = {k: sum(f[k] for f in run.expected.values()) for k in KINDS}
    want = {"spam": every["spam"], "ham": every["ham"], "none": every["none"],
            "forced": every["forced"], "false-positives": every["false positive"],
            "false-negatives": every["false negative"],
            "mails": every["spam"] + every["ham"] + every["none"]}
    for column, count in want.items():
        check(total[column] == str(count), f"total {column}: the page says {total[column]}, "
              f"the run made {count}")
    users = cells(driver, "users")
    domains = cells(driver, "domains")
    for mailbox, f in run.expected.items():
        mails = f["spam"] + f["ham"] + f["none"]
        for table, name in ((users, mailbox), (domains, mailbox.split("@")[1])):
            row = table.get(name)
            check(row is not None, f"no row for {name}")
            check(row["mails"] == str(mails), f"{name}: {row['mails']} mails, not {mails}")
            check(row["spam-share"] == f"{100 * f['spam'] / mails:.2f}%",
                  f"{name}: spam share {row['spam-share']}")
            corrections = f["false positive"] + f["false negative"]
            check(row["corrections"] == str(corrections),
                  f"{name}: {row['corrections']} corrections, not {corrections}")
            check(row["trusted-senders"] == str(f["forced"]),
                  f"{name}: {row['trusted-senders']} trusted senders, not {f['forced']}")

    errors = [e for e in driver.get_log("browser") if e.get("level") in ("SEVERE", "ERROR")]
    check(not errors, f"the console has errors: {errors}")


def check_phone(driver, page):
    driver.set_window_size(390, 844)
    driver.get(page.as_uri())
    overflow = driver.execute_script(
        "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
    check(overflow <= 1, f"on a phone the page itself scrolls sideways by {overflow} px")


def screenshot(driver, page, path):
    driver.set_window_size(1000, 1000)
    driver.get(page.as_uri())
    height = driver.execute_script(
        "return document.getElementById('per-day').getBoundingClientRect().top + 16")
    driver.set_window_size(1000, int(height))
    driver.get(page.as_uri())
    driver.execute_script("document.documentElement.style.overflow = 'hidden'")
    driver.save_screenshot(str(path))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corvalith", type=Path, default=None)
    parser.add_argument("--screenshot", nargs="?", const=SOURCE / "docs" / "report.png",
                        type=Path, default=None)
    parser.add_argument("--keep", action="store_true", help="keep the temporary home")
    args = parser.parse_args()

    # A signal or the alarm ends the test through the finally below, browser closed.
    def stop(signum, _frame):
        raise Failed(f"stopped by signal {signum} (the test's limit is {TIME_LIMIT} s)")
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGALRM, stop)
    signal.alarm(TIME_LIMIT)

    try:
        import selenium  # noqa: F401
    except ImportError:
        sys.exit("browser_test: python3-selenium is missing (scripts/install-deps installs it)")
    binary = args.corvalith or newest_binary()
    work = Path(tempfile.mkdtemp(prefix="corvalith-browser-"))
    driver = None
    passed = False
    try:
        (work / "mail").mkdir()
        run = Run(binary, work / "home", work / "mail")
        run.play()
        page = work / "report.html"
        text = subprocess.run([str(binary), "--home", str(work / "home"), "report", "--html",
                               str(page)], capture_output=True, text=True, timeout=60)
        check(text.returncode == 0, f"corvalith report: exit {text.returncode}: {text.stderr}")
        check(page.exists(), f"corvalith report wrote no page: {text.stdout}")
        check(page.stat().st_mode & 0o777 == 0o600, "the page is not private to its owner")
        print(text.stdout, end="")
        driver = start_browser(1000, 1000)
        check_page(driver, page, run)
        check_phone(driver, page)
        if args.screenshot:
            screenshot(driver, page, args.screenshot)
            print(f"browser_test: saved {args.screenshot}")
        print("browser_test: every check passed")
        passed = True
        return 0
    except Failed as failure:
        print(f"browser_test: FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        signal.alarm(0)
        if driver is not None:
            driver.quit()
        if passed and not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"browser_test: the home and the page are kept in {work}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
