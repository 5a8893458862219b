#!/usr/bin/env python3
"""Measures how many faults the tests catch: makes classic mutants of the
program's sources, one small change each, and runs every test against
each mutant that compiles and changes the object code.

    mutants.py [--count N] [--seed S] [--jobs J] [--only FILE:LINE ...]

It works in a copy of the tree under build-mutants/, built without debug
information so that object files compare by their code. Prints one line
a mutant (caught, survived, same code, does not compile) and the share
caught. The mutations: a relational, equality, logical or arithmetic
operator swapped for its neighbour, an integer constant changed, a
condition negated, a return value changed, a statement deleted.
"""
import argparse
import hashlib
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

SOURCES = ["src/convert.cpp", "src/frame.cpp", "src/body.cpp", "src/script.cpp"]
SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
         "&&": "||", "||": "&&", "+": "-", "-": "+"}
OPERATOR = re.compile(r"(?<![<>=!&|+\-])(<=|>=|==|!=|&&|\|\||<|>|\+|-)(?![<>=&|+\-])")
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
CONDITION = re.compile(r"\b(if|while) \((.*)\)( \{)?$")
RETURN = re.compile(r"\breturn (0|1);")


def code_part(line):
    """The line without its comment and string or character literals."""
    line = re.sub(r'"(\\.|[^"\\])*"', lambda m: " " * len(m.group()), line)
    line = re.sub(r"'(\\.|[^'\\])*'", lambda m: " " * len(m.group()), line)
    return line.split("//")[0]


def sites(path, text):
    """Every mutant of one file: (path, line number, new line, what)."""
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        code = code_part(line)
        stripped = code.strip()
        if not stripped or stripped.startswith("#") or "#include" in line:
            continue
        for m in OPERATOR.finditer(code):
            op = m.group(1)
            if op in "+-" and (code[m.end():m.end() + 1] in "+-="
                               or code[:m.start()].rstrip().endswith(("(", "=", ",", "return"))):
                continue
            if op in "<>" and ("template" in code or "static_cast" in code[:m.start()]):
                continue
            new = line[:m.start()] + SWAPS[op] + line[m.end():]
            found.append((path, number, new, f"{op} -> {SWAPS[op]}"))
        for m in NUMBER.finditer(code):
            value = int(m.group(1))
            for other in sorted({value + 1, 0 if value else 1}):
                new = line[:m.start()] + str(other) + line[m.end():]
                found.append((path, number, new, f"{value} -> {other}"))
        m = CONDITION.search(code)
        if m:
            new = line[:m.start(2)] + "!(" + line[m.start(2):m.end(2)] + ")" + line[m.end(2):]
            found.append((path, number, new, "condition negated"))
        m = RETURN.search(code)
        if m:
            other = "1" if m.group(1) == "0" else "0"
            new = line[:m.start(1)] + other + line[m.end(1):]
            found.append((path, number, new, f"return {m.group(1)} -> {other}"))
        if (stripped.endswith(";") and not stripped.startswith(("return", "int ", "long ", "bool ",
                                                                 "unsigned ", "const ", "char ",
                                                                 "static ", "struct ", "FILE ",
                                                                 "constexpr", "extern", "}"))
                and line.startswith("\t") and "(" in stripped):
            found.append((path, number, "", "statement deleted"))
    return found


def run(command, cwd, timeout=None):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def object_digest(build, source):
    obj = build / "CMakeFiles/kelvane_core.dir" / (source + ".o")
    return hashlib.sha256(obj.read_bytes()).hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", nargs="*", default=[])
    args = parser.parse_args()

    top = Path(__file__).resolve().parent.parent
    tree = top / "build-mutants" / "tree"
    build = top / "build-mutants" / "build"
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(top, tree, ignore=shutil.ignore_patterns("build*", ".git"))
    if run(["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=Mutants",
            "-DCMAKE_CXX_FLAGS_MUTANTS=-O2"], top) != 0 or run(
            ["cmake", "--build", build, "-j", str(args.jobs)], top) != 0:
        sys.exit("mutants.py: the unchanged tree does not build")
    original = {s: (tree / s).read_text() for s in SOURCES}
    digests = {s: object_digest(build, s) for s in SOURCES}

    every = [site for s in SOURCES for site in sites(s, original[s])]
    chosen = random.Random(args.seed).sample(every, min(args.count, len(every)))
    if args.only:
        chosen = [c for c in every if f"{c[0]}:{c[1]}" in args.only]
    counts = {"caught": 0, "survived": 0, "same code": 0, "does not compile": 0}
    for path, number, new, what in chosen:
        lines = original[path].splitlines(keepends=True)
        lines[number - 1] = new + "\n" if new else "\n"
        (tree / path).write_text("".join(lines))
        try:
            if run(["cmake", "--build", build, "-j", str(args.jobs)], top, 300) != 0:
                verdict = "does not compile"
            elif object_digest(build, path) == digests[path]:
                verdict = "same code"
            else:
                # The quick tests first; the slow ones only where those pass.
                ctest = ["ctest", "--test-dir", build, "-j", str(args.jobs),
                         "--stop-on-failure", "--timeout", "90"]
                status = run(ctest + ["-LE", "integration|durability", "-E", "Simultaneous"],
                             top, 900)
                if status == 0:
                    status = run(ctest, top, 900)
                verdict = "caught" if status != 0 else "survived"
        finally:
            (tree / path).write_text(original[path])
        counts[verdict] += 1
        print(f"{verdict:17} {path}:{number}: {what}: {new.strip() or '(deleted)'}", flush=True)
    run(["cmake", "--build", build, "-j", str(args.jobs)], top)
    tried = counts["caught"] + counts["survived"]
    print(", ".join(f"{k}: {v}" for k, v in counts.items()))
    if tried:
        print(f"caught {counts['caught']} of {tried} mutants that compile and change the "
              f"code: {100 * counts['caught'] / tried:.1f}%")


main()
