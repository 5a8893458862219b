#!/usr/bin/env python3
"""Times commands in alternating rounds and prints each one's median wall
time (and its fastest), then how many times longer each takes than each
faster one.

    wall.py [--remove 'GLOB ...'] [--setup COMMAND] ROUNDS NAME COMMAND [NAME COMMAND ...]

Each COMMAND is split like a shell word list and run without a shell,
standard output to /dev/null, in the current folder. A failing run stops
the measurement. With --remove, the files matching the GLOBs in the current
folder are removed after each run, outside the timing: kelvane never
replaces a bulletin nor gives a name of its record again, and would
otherwise wait for the next second. With
--setup, COMMAND runs before each run, outside the timing: it fills a
queue again, say.
"""
import glob
import os
import shlex
import shutil
import statistics
import sys
import time


def run_once(argv):
    devnull = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - start
    os.close(devnull)
    if status != 0:
        sys.exit(f"wall.py: {' '.join(argv)} failed ({status})")
    return elapsed


def prepare(setup):
    if setup and os.spawnvp(os.P_WAIT, setup[0], setup) != 0:
        sys.exit(f"wall.py: {' '.join(setup)} failed")


def clean(patterns):
    for pattern in patterns.split() if patterns else []:
        for name in glob.glob(pattern):
            os.remove(name)


def main():
    args = sys.argv[1:]
    remove = None
    setup = None
    while args[0] in ("--remove", "--setup"):
        if args[0] == "--remove":
            remove = args[1]
        else:
            setup = shlex.split(args[1])
        args = args[2:]
    rounds = int(args[0])
    pairs = args[1:]
    commands = []
    for name, text in zip(pairs[0::2], pairs[1::2]):
        argv = shlex.split(text)
        argv[0] = shutil.which(argv[0]) or argv[0]
        commands.append((name, argv))
    times = {name: [] for name, _ in commands}
    for _ in range(min(5, rounds)):  # warm the caches
        for _, argv in commands:
            prepare(setup)
            run_once(argv)
            clean(remove)
    for _ in range(rounds):
        for name, argv in commands:
            prepare(setup)
            times[name].append(run_once(argv))
            clean(remove)
    medians = {name: statistics.median(times[name]) for name, _ in commands}
    for name, median in medians.items():
        print(f"  {name:<10} median {median / 1e6:7.3f} ms, fastest {min(times[name]) / 1e6:7.3f} ms")
    for slow, slow_median in medians.items():
        for fast, fast_median in medians.items():
            if slow_median > fast_median:
                print(f"  {slow} takes {slow_median / fast_median:.2f} x {fast}")


main()
