#!/usr/bin/env python3
"""Fails when README.md or a page in docs/ names something that is not there.

  - an orv_host option that `orv_host --help` does not list. Options are read
    from code only: every --option of a command whose program is orv_host,
    orv_host.exe or tools/run_host.sh (which passes its arguments on), also
    when tools/win32_run.sh or timeout runs it, in a code block or code
    span; and a code span that holds only an option belongs to the nearest
    program a code span names in the same paragraph, table row or list item
    (before it if any, else after it; orv_host when none is named);
  - a repository path in a code span, code block or link: a word with a "/"
    that is not a URL, an absolute path, under build/ or a placeholder such
    as <build>. One that does not start at a top-level entry of the tree
    (refhost/) must be the end of a path that exists;
  - a relative link whose file, or #anchor in a Markdown file, does not exist.

  tools/check_docs.py [--root DIR] [--host PROGRAM] [--verbose] [FILE.md ...]

Defaults: the repository this script lies in, its build/default/bin/orv_host,
and README.md with every docs/*.md. Prints one line per problem,
FILE:LINE: what; exit status 0 when there is none, 1 otherwise.
"""

import argparse
import glob
import os
import re
import shlex
import subprocess
import sys

HOST_PROGRAMS = {"orv_host", "orv_host.exe", "run_host.sh"}
OTHER_PROGRAMS = {
    "apt-get", "bash", "clang", "cmake", "ctest", "curl", "debootstrap", "dumpbin",
    "g++", "gcc", "git", "make", "msvc_probe", "ninja", "node", "npm", "objdump",
    "orv_bench", "orv_capacity", "orv_host_bench", "orvctl", "python3", "qemu-i386", "sh",
    "ulimit", "wine", "wine64", "wineboot", "wrk",
}
PREFIXES = {"env", "exec", "nohup", "sudo", "time", "timeout"}
SCRIPT_NAME = re.compile(r"\w[\w.+-]*\.(sh|exe|cmd|py|mjs)")
OPTION = re.compile(r"--[A-Za-z0-9][A-Za-z0-9-]*")
PATH_WORD = re.compile(r"[\w.+-]+(/[\w.+-]*)+")
CODE_SPAN = re.compile(r"(`+)(.+?)(?<!`)\1(?!`)", re.S)
LINK = re.compile(r"\[[^\]]*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_LINK = re.compile(r"^\s*\[[^\]]+\]:\s*<?(\S+?)>?(\s|$)")
FENCE = re.compile(r"^\s*(```+|~~~+)")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
NEW_UNIT = re.compile(r"^\s*(\||[-*+]\s|\d+[.)]\s|>)")


class Page:
    """One Markdown file cut into blocks: code blocks and prose units."""

    def __init__(self, path):
        self.path = path
        self.code_blocks = []  # (first line number, text)
        self.units = []  # (first line number, text): paragraph, table row, list item
        self.headings = []
        with open(path, encoding="utf-8") as file:
            lines = file.read().split("\n")
        fence, block, unit = None, None, None
        for number, line in enumerate(lines, 1):
            marker = FENCE.match(line)
            if fence:
                if marker and marker.group(1)[0] == fence[0] and len(marker.group(1)) >= len(fence):
                    self.code_blocks.append(block)
                    fence = None
                else:
                    block = (block[0], block[1] + line + "\n")
                continue
            if marker:
                fence, block, unit = marker.group(1), (number + 1, ""), None
                continue
            heading = HEADING.match(line)
            if heading:
                self.headings.append(heading.group(2))
            if not line.strip() or heading or NEW_UNIT.match(line) or unit is None:
                unit = None
                if line.strip():
                    unit = [number, line]
                    self.units.append(unit)
                    if heading:
                        unit = None
            else:
                unit[1] += "\n" + line

    def anchors(self):
        seen, result = {}, set()
        for text in self.headings:
            text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text).replace("`", "")
            slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            result.add(slug if count == 0 else f"{slug}-{count}")
        return result


def commands(text):
    """The simple commands of shell-like text: (line index, program, arguments)."""
    lines, result, index = text.split("\n"), [], 0
    while index < len(lines):
        start, line = index, lines[index]
        while line.endswith("\\") and index + 1 < len(lines):
            index += 1
            line = line[:-1] + " " + lines[index]
        index += 1
        line = re.sub(r"(^|\s)#.*", "", line)
        for part in re.split(r"&&|\|\||[;|]", line):
            try:
                words = shlex.split(part)
            except ValueError:
                words = part.split()
            # What runs the program: assignments, sudo, timeout 60, tools/win32_run.sh.
            while words and (re.match(r"^\w+=", words[0]) or words[0] in PREFIXES
                             or words[0].endswith("win32_run.sh") and len(words) > 1):
                words = words[2:] if words[0] == "timeout" else words[1:]
            if words:
                result.append((start, words[0], words[1:]))
    return result


def program_kind(word):
    """'host' for orv_host and run_host.sh, 'other' for other programs, else None."""
    base = re.split(r"[/\\]", word)[-1]
    if base in HOST_PROGRAMS:
        return "host"
    if base in OTHER_PROGRAMS or SCRIPT_NAME.fullmatch(base) or re.match(r"build/[^/]+/bin/", word):
        return "other"
    return None


def options_of(words):
    return [OPTION.match(word).group(0) for word in words if OPTION.match(word)]


def host_options_in_unit(spans):
    """The orv_host options of a prose unit's code spans: (offset, option) pairs."""
    mentions, bare, found = [], [], []
    for offset, text in spans:
        for _, program, arguments in commands(text.replace("\n", " ")):
            kind = program_kind(program)
            if OPTION.match(program):
                bare.append((offset, options_of([program] + arguments)))
            elif kind:
                mentions.append((offset, kind))
                if kind == "host":
                    found += [(offset, option) for option in options_of(arguments)]
    for offset, options in bare:
        before = [kind for at, kind in mentions if at < offset]
        after = [kind for at, kind in mentions if at > offset]
        owner = before[-1] if before else after[0] if after else "host"
        if owner == "host":
            found += [(offset, option) for option in options]
    return found


class Checker:
    def __init__(self, root, host_options):
        self.root = root
        self.host_options = host_options
        self.problems = []
        self.checked = []  # (kind, what), for --verbose
        self.pages = {}
        self.top_level = set(os.listdir(root))
        self.suffixes = set()
        for folder, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if d not in (".git", "build", "node_modules")]
            relative = os.path.relpath(folder, root)
            for name in dirs + files:
                path = os.path.normpath(os.path.join(relative, name)).replace(os.sep, "/")
                parts = path.split("/")
                self.suffixes.update("/".join(parts[i:]) for i in range(1, len(parts)))

    def page(self, path):
        path = os.path.normpath(path)
        if path not in self.pages:
            self.pages[path] = Page(path)
        return self.pages[path]

    def report(self, page, line, what):
        self.problems.append(f"{os.path.relpath(page.path, self.root)}:{line}: {what}")

    def check_option(self, page, line, option):
        self.checked.append(("option", option))
        if option not in self.host_options:
            self.report(page, line, f"orv_host has no option {option} (orv_host --help does not list it)")

    def check_path_words(self, page, line, text):
        for offset, word in ((m.start(), m.group(0)) for m in re.finditer(r"\S+", text)):
            word = word.lstrip("\"'([`").rstrip("\"'()[],;:!.`")
            if "/" not in word or "://" in word or word.startswith(("/", "~", "build/")):
                continue
            if not PATH_WORD.fullmatch(word) or word.startswith("./build/"):
                continue  # a placeholder (<build>/bin), a route (…/image), a glob
            at = line + text.count("\n", 0, offset)
            self.checked.append(("path", word))
            stripped = word.rstrip("/")
            if os.path.exists(os.path.join(self.root, stripped)):
                continue
            if stripped.split("/")[0] not in self.top_level and stripped in self.suffixes:
                continue
            self.report(page, at, f"no such path in the repository: {word}")

    def check_link(self, page, line, target):
        if re.match(r"^[A-Za-z][A-Za-z0-9+.-]*:", target) or not target:
            return
        self.checked.append(("link", target))
        path, _, anchor = target.partition("#")
        file = os.path.normpath(os.path.join(os.path.dirname(page.path), path)) if path else page.path
        if not os.path.exists(file):
            self.report(page, line, f"broken link: {target} ({os.path.relpath(file, self.root)} does not exist)")
        elif anchor and file.endswith(".md") and anchor not in self.page(file).anchors():
            self.report(page, line, f"broken link: {target} (no heading #{anchor} in {os.path.relpath(file, self.root)})")

    def check(self, path):
        page = self.page(path)
        for line, text in page.code_blocks:
            for index, program, arguments in commands(text):
                if program_kind(program) == "host":
                    for option in options_of(arguments):
                        self.check_option(page, line + index, option)
            self.check_path_words(page, line, text)
        for line, text in page.units:
            spans = [(m.start(), m.group(2)) for m in CODE_SPAN.finditer(text)]
            for offset, option in host_options_in_unit(spans):
                self.check_option(page, line + text.count("\n", 0, offset), option)
            for offset, span in spans:
                self.check_path_words(page, line + text.count("\n", 0, offset), span)
            prose = CODE_SPAN.sub(lambda m: "\0" * len(m.group(0)), text)
            for match in LINK.finditer(prose):
                self.check_link(page, line + prose.count("\n", 0, match.start()), match.group(1))
            for number, row in enumerate(prose.split("\n")):
                match = REFERENCE_LINK.match(row)
                if match:
                    self.check_link(page, line + number, match.group(1))


def host_help_options(host):
    if not os.access(host, os.X_OK):
        sys.exit(f"check_docs: {host} not found: build it first "
                 "(cmake --preset default && cmake --build --preset default --target orv_host)")
    run = subprocess.run([host, "--help"], capture_output=True, text=True, timeout=60)
    options = set(OPTION.findall(run.stdout + run.stderr))
    if "--help" not in options:
        sys.exit(f"check_docs: {host} --help printed no option list (exit status {run.returncode})")
    return options


def main():
    root_default = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=root_default)
    parser.add_argument("--host")
    parser.add_argument("--verbose", action="store_true", help="list every option, path and link checked")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    host = args.host or os.path.join(root, "build/default/bin/orv_host")
    files = args.files or [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs/*.md")))
    checker = Checker(root, host_help_options(host))
    for file in files:
        checker.check(os.path.abspath(file))
    if args.verbose:
        for kind in ("option", "path", "link"):
            print(f"{kind}s:", " ".join(sorted({what for k, what in checker.checked if k == kind})))
    for problem in checker.problems:
        print(problem)
    print(f"check_docs: {len(files)} files, {len(checker.problems)} problems")
    return 1 if checker.problems else 0


if __name__ == "__main__":
    sys.exit(main())
