#!/usr/bin/env python3
"""Self-test of tools/check_docs.py: runs it on small pages in a scratch tree
with a fake orv_host, and expects exactly the problems each page holds.
Exit status 0 when every case passes."""

import os
import subprocess
import sys
import tempfile

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_docs.py")

HELP = """Usage: orv_host --plugin PATH [options]
  --plugin PATH      driver plug-in to load
  --web [HOST:]PORT  serve the dashboard
  --save-dir DIR     on stop, save each device
  --help             show this text
"""

# (name, page text, what each reported problem must name; none: a clean page)
CASES = [
    ("what exists passes",
     "# A page\n\n## Second part\n\n"
     "Run `orv_host --web 8080 --plugin a.so`, then `--save-dir` keeps images.\n"
     "`tools/setup.sh`, `refhost/`, `build/default/bin/x.so`, `<build>/bin`, `/usr/include`,\n"
     "`GET /api/state`, `…/devices/I/image` and http://example.org/a/b are fine.\n\n"
     "`cmake --preset default`, `wrk -c 50` and `orv_capacity.exe` with `--leave 256`\n"
     "have options of their own.\n\n"
     "| `tools/package_release.sh --msvc` | a row |\n\n"
     "See [the part](#second-part), [setup](../tools/setup.sh), [x](other.md#a-heading).\n\n"
     "```sh\ntools/run_host.sh --web 9000 \\\n  --plugin x.so   # a comment --not-an-option\n```\n\n"
     "```\n[inside code](gone.md)\n# not a heading\n```\n",
     []),
    ("an option orv_host lacks, in a code span",
     "Try `orv_host --plugin a.so --bogus-option`.\n", ["--bogus-option"]),
    ("an option of a program that tools/win32_run.sh or timeout runs",
     "`tools/win32_run.sh build/mingw-i686/bin/orv_host.exe --web 0 --webb 1`\n\n"
     "```sh\nORV_EMU_SPEED=10 timeout 60 build/default/bin/orv_host --plugins x\n```\n",
     ["--webb", "--plugins"]),
    ("an option on a continued line of a code block",
     "```sh\ntools/run_host.sh --web 8080 \\\n  --speedy 1000\n```\n", ["--speedy"]),
    ("a bare option belongs to the program named after it",
     "Without `--quiet`, `orv_host` prints a table.\n", ["--quiet"]),
    ("a bare option with no program in its paragraph is orv_host's",
     "Give `--nonesuch 3` for more.\n", ["--nonesuch"]),
    ("a bare option after another program is not orv_host's, the next row's is",
     "| `tools/test_release_zip.sh --msvc` | fine |\n| `--gone` | an orv_host option |\n", ["--gone"]),
    ("paths that do not exist",
     "See `tools/no_such_script.sh`, `framework/nowhere/` and `nosuchdir/file.h`.\n",
     ["tools/no_such_script.sh", "framework/nowhere/", "nosuchdir/file.h"]),
    ("a path in a code block",
     "```sh\nscenarios/missing.toml\n```\n", ["scenarios/missing.toml"]),
    ("broken links: a file, an anchor here, an anchor in another page",
     "# Title\n\n[a](missing.md), [b](#no-such-heading), [c](other.md#nope).\n\n[d]: ../tools/gone.sh\n",
     ["missing.md", "#no-such-heading", "other.md#nope", "../tools/gone.sh"]),
]


def make_tree(root):
    os.makedirs(os.path.join(root, "tools"))
    os.makedirs(os.path.join(root, "host", "refhost"))
    os.makedirs(os.path.join(root, "docs"))
    for script in ("setup.sh", "run_host.sh", "package_release.sh", "test_release_zip.sh", "win32_run.sh"):
        open(os.path.join(root, "tools", script), "w").close()
    with open(os.path.join(root, "docs", "other.md"), "w") as file:
        file.write("# Other\n\n## A heading\n")
    host = os.path.join(root, "fake_host")
    with open(host, "w") as file:
        file.write("#!/bin/sh\ncat <<'EOF'\n" + HELP + "EOF\n")
    os.chmod(host, 0o755)
    return host


def run(root, host, page):
    return subprocess.run([sys.executable, CHECKER, "--root", root, "--host", host, page],
                          capture_output=True, text=True)


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as root:
        host = make_tree(root)
        page = os.path.join(root, "docs", "page.md")
        for name, text, expected in CASES:
            with open(page, "w") as file:
                file.write(text)
            result = run(root, host, page)
            problems = [line for line in result.stdout.splitlines() if line.startswith("docs/page.md:")]
            missed = [what for what in expected if not any(what in problem for problem in problems)]
            ok = (result.returncode == (1 if expected else 0) and not missed
                  and len(problems) == len(expected))
            print(("ok" if ok else "FAILED") + f": {name}")
            if not ok:
                failures += 1
                print(f"  expected {expected}, exit status {result.returncode}:\n{result.stdout}{result.stderr}")
        result = run(root, os.path.join(root, "no_host"), page)
        ok = result.returncode != 0 and "not found" in result.stderr
        print(("ok" if ok else "FAILED") + ": no orv_host to ask fails the check")
        failures += 0 if ok else 1
    print(f"test_check_docs: {len(CASES) + 1 - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
