#!/usr/bin/python3
"""A folder's year of service, simulated: kelvane-send under faketime
against a local ftp gateway, on a clock that jumps from one bulletin to
the next.

    /usr/bin/python3 tools/sim_year.py BUILD [--days 397] [--per-day 8] [--clean] [--start 2027-01-01]

Each day has PER_DAY bulletins at random times (the same for every run of
the script) and the scheduled jobs: 06:00:00 on the 15th and 23:59:59 on
the last day of each month. With --clean the operator removes every
bulletin older than a day from the folder, as by hand. The gateway takes
each bulletin and counts a repeat when it took the name in the last 31
days (by the simulated clock). Printed: the folder by month (bulletins
outside the archive, kB of the folder outside the archive, kB of the
archive, delivered.log's size), the repeats, the scheduled jobs' names,
and the wall time of a --retry with nothing to send at the end (the
fastest of 20 runs).
"""
import argparse
import calendar
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import logging
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

DAY = 86400


def gateway(root, clock, taken):
    """An ftp gateway on 127.0.0.1 that takes each renamed file at once."""
    logging.basicConfig(level=logging.WARNING)
    users = DummyAuthorizer()
    users.add_user("kelvane", "sim", root, perm="elradfmw")

    class Gateway(FTPHandler):
        authorizer = users

        def ftp_RNTO(self, path):
            super().ftp_RNTO(path)
            name = os.path.basename(path)
            if name.startswith("BRAX_") and os.path.exists(path):
                os.unlink(path)
                taken.append((clock[0], name))

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    server = FTPServer(("127.0.0.1", port), Gateway)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return port


def kb(path, skip=None):
    total = 0
    for top, dirs, files in os.walk(path):
        if skip and top == path and skip in dirs:
            dirs.remove(skip)
        for f in files:
            st = os.lstat(os.path.join(top, f))
            total += st.st_blocks * 512
    return total // 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--days", type=int, default=397)
    ap.add_argument("--per-day", type=int, default=8)
    ap.add_argument("--clean", action="store_true")
    ap.add_argument("--start", default="2027-01-01")
    a = ap.parse_args()
    send = os.path.realpath(os.path.join(a.build, "kelvane-send"))
    work = tempfile.mkdtemp(prefix="kelvane-sim.")
    folder, root, home = (os.path.join(work, d) for d in ("folder", "root", "home"))
    for d in (folder, os.path.join(root, "data/talvex/data"), home):
        os.makedirs(d)
    os.chmod(folder, 0o700)
    with open(os.path.join(home, ".netrc"), "w") as f:
        f.write("machine 127.0.0.1 login kelvane password sim\n")
    os.chmod(os.path.join(home, ".netrc"), 0o600)
    with open(os.path.join(folder, "note.txt"), "w") as f:
        f.write("Gale warning: west to northwest winds 35 to 45 knots.\n" * 60)
    clock, taken = [0], []
    port = gateway(root, clock, taken)
    env = dict(os.environ, HOME=home, TZ="UTC", NO_FAKE_STAT="1")
    rng = random.Random(32)
    start = calendar.timegm(time.strptime(a.start, "%Y-%m-%d"))
    made = []  # (second, name) of each bulletin, for --clean
    jobs, failed, rows = [], 0, []

    def run(second, words):
        clock[0] = second
        at = time.strftime("@%Y-%m-%d %H:%M:%S", time.gmtime(second))
        out = subprocess.run(["faketime", "-f", at, send] + words, cwd=folder, env=env,
                             capture_output=True, text=True)
        return out.returncode, out.stdout

    for d in range(a.days):
        day = start + d * DAY
        tm = time.gmtime(day)
        if tm.tm_mday == 1:
            names = [n for n in os.listdir(folder) if n.startswith("BRAX_")]
            log = os.path.join(folder, "delivered.log")
            rows.append((time.strftime("%Y-%m", tm), len(names), kb(folder, "archive"),
                         kb(os.path.join(folder, "archive")) if os.path.isdir(
                             os.path.join(folder, "archive")) else 0,
                         os.path.getsize(log) if os.path.exists(log) else 0))
        seconds = sorted(rng.randrange(DAY) for _ in range(a.per_day))
        last_day = calendar.monthrange(tm.tm_year, tm.tm_mon)[1] == tm.tm_mday
        scheduled = {}
        if tm.tm_mday == 15:
            scheduled[6 * 3600] = "06:00:00 on the 15th"
        if last_day:
            scheduled[DAY - 1] = "23:59:59 on the last day"
        for s in sorted(set(seconds) | set(scheduled)):
            status, out = run(day + s, ["36", "note.txt", "ftp", "127.0.0.1", str(port)])
            name = next((w for line in out.splitlines() if line.startswith("TALVEX file-name")
                         for w in line.split()[-1:]), "?")
            if status != 0:
                failed += 1
                print(f"run at {time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(day + s))}: "
                      f"status {status}: {out.splitlines()[-1:]}", file=sys.stderr)
            made.append((day + s, name))
            if s in scheduled:
                jobs.append((time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(day + s)),
                             scheduled[s], name, status))
        if a.clean:
            for second, name in made:
                if second < day + DAY - DAY and os.path.exists(os.path.join(folder, name)):
                    os.unlink(os.path.join(folder, name))
            made = [m for m in made if m[0] >= day]

    last = {}
    repeats = []
    for second, name in taken:
        if name in last and second - last[name] < 31 * DAY:
            repeats.append((name, last[name], second))
        last[name] = second
    print(f"{a.days} days from {a.start}, {a.per_day} bulletins a day and the scheduled jobs"
          f"{', bulletins older than a day removed by hand' if a.clean else ''}: "
          f"{len(made) if not a.clean else len(taken)} runs, {failed} failed, "
          f"{len(taken)} taken by the gateway")
    print("month    bulletins  folder-kB  archive-kB  delivered.log-bytes")
    for r in rows:
        print(f"{r[0]}  {r[1]:9}  {r[2]:9}  {r[3]:10}  {r[4]:19}")
    print(f"repeats at the gateway (a name taken again within 31 days): {len(repeats)}")
    for name, first, again in repeats[:10]:
        print(f"  {name}: {time.strftime('%Y-%m-%d', time.gmtime(first))} and "
              f"{time.strftime('%Y-%m-%d', time.gmtime(again))}")
    print("scheduled jobs:")
    for when, what, name, status in jobs:
        print(f"  {when}  {what:24}  {name}{'' if status == 0 else f'  (status {status})'}")
    end = start + a.days * DAY
    walls = []
    for _ in range(20):
        begin = time.perf_counter()
        run(end, ["--retry", "ftp", "127.0.0.1", str(port)])
        walls.append(time.perf_counter() - begin)
    print(f"--retry with nothing to send: {min(walls) * 1000:.1f} ms (the fastest of 20, "
          f"faketime included)")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
