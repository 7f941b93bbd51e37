#!/usr/bin/env python3
"""The user's documentation held against the code, so that it cannot drift.

    docs_check.py SOURCE_DIR manual PAGE_TOOL   docs/printers-file.md is what the build writes, and
                                                it has every key the printers file reader knows
    docs_check.py SOURCE_DIR manpage PAGE_FILE  printers.qdl(5) renders with man -l, no warning
    docs_check.py SOURCE_DIR texts              every text of monitor/MonitorTexts.h,
                                                monitor/AdminWindow.h and cli/CliTexts.h is in
                                                the guide, and every text the
                                                guide sets in guillemets is the code's
    docs_check.py SOURCE_DIR links              every relative link of README.md and docs/ leads
                                                to a file (and heading) that is there
    docs_check.py SOURCE_DIR readme             README.md is short and starts with the two commands,
                                                the second being what CI runs (.ci/run)

Exit 0 when sound, 1 with the reasons on standard error, 77 when a tool it needs is missing
(a failure under CI=true).
"""
import codecs
import os
import re
import subprocess
import sys
from pathlib import Path

SKIP = 77


def fail(reasons):
    for r in reasons:
        print("docs_check: " + r, file=sys.stderr)
    return 1 if reasons else 0


def guide_files(src):
    return [src / "README.md"] + sorted((src / "docs").glob("*.md"))


# ---- the printers file's page --------------------------------------------------------------

def reader_keys(src):
    """The keys and block lines config/PrintersFile.cpp compares a line's key with."""
    code = (src / "config" / "PrintersFile.cpp").read_text(encoding="utf-8")
    return sorted(set(re.findall(r'key == "([^"]+)"', code)))


def check_manual(src, tool):
    written = subprocess.run([tool, "--markdown"], check=True, capture_output=True).stdout.decode("utf-8")
    reasons = []
    kept = (src / "docs" / "printers-file.md").read_text(encoding="utf-8")
    if kept != written:
        reasons.append("docs/printers-file.md is not what the build writes; refresh it with "
                       f"{tool} --markdown > docs/printers-file.md")
    # Outside code, a bare "<", ">", "*" or "_" would be read as a tag or emphasis: "<global>" and
    # "<printer>" would vanish from the rendered page.
    prose = re.sub(r"`[^`]*`|^    .*$", "", written, flags=re.M)
    for bare in sorted(set(re.findall(r"(?<!\\)[<>*_]", prose))):
        reasons.append(f"the guide's page holds a bare {bare!r} that Markdown would take for markup")
    terms = " ".join(re.findall(r"^- `([^`]+)`", written, re.M))
    named = set(re.findall(r"<?[a-z]+>?(?==|,|$| )", terms))
    keys = reader_keys(src)
    if len(keys) < 10:
        reasons.append(f"found only {keys} in config/PrintersFile.cpp: the reader changed its form")
    for key in keys:
        if key not in named:
            reasons.append(f"the printers file reader knows '{key}', the manual page does not list it")
    return fail(reasons)


def check_manpage(page):
    try:
        run = subprocess.run(["man", "--warnings", "-l", page], capture_output=True,
                             env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MAN_DISABLE_SECCOMP="1"))
    except FileNotFoundError:
        print("docs_check: man is not installed", file=sys.stderr)
        return 1 if os.environ.get("CI") == "true" else SKIP
    reasons = []
    if run.returncode != 0:
        reasons.append(f"man -l {page} exits {run.returncode}")
    if run.stderr.strip():
        reasons.append(f"man -l {page} warns:\n" + run.stderr.decode("utf-8", "replace"))
    if b"PRINTER KEYS" not in run.stdout:
        reasons.append(f"{page} renders without its PRINTER KEYS")
    return fail(reasons)


# ---- the program's texts -------------------------------------------------------------------

LITERAL = re.compile(rb'"((?:[^"\\\n]|\\.)*)"')


def literals(path):
    """The C++ string literals of a source file, comments left out, the adjacent literals of one
    expression joined."""
    code = re.sub(rb"(^|\s)//.*$|^#include.*$", b"", path.read_bytes(), flags=re.M)
    code = re.sub(rb'"\s*\n\s*"', b"", code)
    return [codecs.escape_decode(raw)[0].decode("utf-8", "replace") for raw in LITERAL.findall(code)]


def pieces(text):
    """The parts of a text the guide can show: split at the message box's line breaks, trimmed."""
    return [p.strip(" ") for p in re.split(r"[\r\n]", text) if p.strip(" ")]


def has_words(text):
    return re.search(r"[^\W\d_]{2}", text) is not None


TABLES = ("monitor/MonitorTexts.h", "monitor/AdminWindow.h", "cli/CliTexts.h")


def table_texts(src, table):
    """The texts of one of the program's tables, without the keywords the reasons' texts stand for."""
    keywords = set(re.findall(r'\{"([a-z-]+)", "', (src / table).read_text(encoding="utf-8")))
    return [p for t in literals(src / table) for p in pieces(t) if has_words(p) and p not in keywords]


def code_texts(src):
    """Every text the program could show: the literals of the monitor, the command line, the
    network layer, IPP and the printers file, pieces of three characters or more."""
    found = set()
    for folder in ("monitor", "cli", "net", "ipp", "config"):
        for f in sorted((src / folder).glob("*.[ch]*")):
            for t in literals(f):
                found.update(p for p in pieces(t) if len(p) >= 3 and has_words(p))
    return sorted(found, key=len, reverse=True)


MARKED = re.compile(r"«([^«»]*)»")
# What stands for a value in a marked text: NAME, HOST:PORT, 0x0403, 5%, N.
PLACEHOLDER = re.compile(r"\b[A-Z][A-Z0-9_]*\b|\b0x[0-9A-Fa-f]+\b|\d+")


def check_texts(src):
    marked = []
    for f in guide_files(src):
        for m in MARKED.findall(f.read_text(encoding="utf-8")):
            marked.append((f.relative_to(src), " ".join(m.split())))  # as wrapped in the page
    reasons = []
    if not marked:
        reasons.append("the guide marks no text of the program («TEXT»)")
    shown = "\n".join(m for _, m in marked)
    for table in TABLES:
        for t in table_texts(src, table):
            if t not in shown:
                reasons.append(f"{table} has {t!r}; no page of the guide shows it as «...»")
    # A table's pieces are texts on purpose, however short ("no " before a file's name).
    known = sorted(set(code_texts(src)).union(*(table_texts(src, t) for t in TABLES)), key=len, reverse=True)
    for where, m in marked:
        rest = m
        for t in known:
            rest = rest.replace(t, " ")
        rest = PLACEHOLDER.sub(" ", rest)
        if has_words(rest):
            reasons.append(f"{where}: «{m}» is not a text of the program (left over: {rest.strip()!r})")
    return fail(reasons)


# ---- links -----------------------------------------------------------------------------------

def anchor(heading):
    """The anchor a Markdown heading gets: lower case, punctuation dropped, spaces as hyphens."""
    h = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return h.replace(" ", "-")


def anchors(path):
    text = re.sub(r"```.*?```", "", path.read_text(encoding="utf-8"), flags=re.S)
    return {anchor(h) for h in re.findall(r"^#{1,6} (.+)$", text, re.M)}


def check_links(src):
    reasons = []
    for f in guide_files(src):
        text = re.sub(r"```.*?```", "", f.read_text(encoding="utf-8"), flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue  # a web address: not checked here, the tests go nowhere
            file_part, _, frag = target.partition("#")
            dest = (f.parent / file_part).resolve() if file_part else f
            if not dest.exists():
                reasons.append(f"{f.relative_to(src)}: the link {target} leads to no file")
            elif frag and dest.suffix == ".md" and frag not in anchors(dest):
                reasons.append(f"{f.relative_to(src)}: the link {target} leads to no heading")
    return fail(reasons)


# ---- the README ------------------------------------------------------------------------------

def check_readme(src):
    lines = (src / "README.md").read_text(encoding="utf-8").splitlines()
    reasons = []
    if len(lines) > 150:
        reasons.append(f"README.md has {len(lines)} lines, more than 150")
    commands = [l.strip() for l in lines if l.startswith("    ")]
    if commands[:2] != ["scripts/run.sh", "scripts/test.sh"]:
        reasons.append(f"README.md's first commands are {commands[:2]}, not scripts/run.sh and scripts/test.sh")
    for c in commands[:2]:
        if not os.access(src / c, os.X_OK):
            reasons.append(f"{c} is not an executable of the repository")
    ci = (src / ".ci" / "run").read_text(encoding="utf-8")
    if commands[1:2] and not re.search(r"^exec " + re.escape(commands[1]) + r"\s*$", ci, re.M):
        reasons.append(f".ci/run does not run the README's test command {commands[1]}")
    return fail(reasons)


def main(argv):
    src = Path(argv[1])
    what = argv[2]
    if what == "manual":
        return check_manual(src, argv[3])
    if what == "manpage":
        return check_manpage(argv[3])
    if what == "texts":
        return check_texts(src)
    if what == "links":
        return check_links(src)
    if what == "readme":
        return check_readme(src)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
