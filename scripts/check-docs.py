#!/usr/bin/env python3
"""Fails when the documentation has fallen out of step with the tree: a relative link in
README.md or docs/*.md that names a missing file (or a missing heading of a page), or an option
that a program's --help lists and its pages never mention.

Usage: scripts/check-docs.py BUILD_DIR"""

import os
import re
import subprocess
import sys
import urllib.parse
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Each program, as built under BUILD_DIR, and the pages that must name every option it lists.
PROGRAMS = (
    ("src/cli/vandrelux-cli", ("docs/production-lines.md", "docs/station.md")),
    ("src/boxsim/vandrelux-boxsim", ("docs/simulated-box.md",)),
    ("src/line/vandrelux-line", ("docs/production-lines.md",)),
    ("src/app/vandrelux", ("docs/operator-guide.md",)),
)

FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
HTML_LINK = re.compile(r"\b(?:href|src)\s*=\s*\"([^\"]+)\"")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")


def prose_lines(text: str):
    """The lines of a Markdown page outside fenced code blocks, with their numbers."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        match = FENCE.match(line)
        if match:
            if fence is None:
                fence = match.group(1)
            elif match.group(1) == fence:
                fence = None
            continue
        if fence is None:
            yield number, line


def slug(heading: str) -> str:
    """The anchor the forge gives a heading: link text kept, punctuation dropped, lower case,
    spaces as hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = re.sub(r"[^\w\- ]", "", text.lower())
    return text.replace(" ", "-")


def anchors(page: Path) -> set:
    found = set()
    for _, line in prose_lines(page.read_text(encoding="utf-8")):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(match.group(2))
        name, n = base, 0
        while name in found:
            n += 1
            name = f"{base}-{n}"
        found.add(name)
    return found


def check_links(pages) -> tuple:
    problems = []
    checked = 0
    anchor_cache = {}
    for page in pages:
        for number, line in prose_lines(page.read_text(encoding="utf-8")):
            bare = CODE_SPAN.sub("", line)
            targets = (INLINE_LINK.findall(bare) + REFERENCE.findall(bare) +
                       HTML_LINK.findall(bare))
            for target in targets:
                if SCHEME.match(target):
                    continue  # web and mail addresses are not ours to check here
                checked += 1
                where = f"{page.relative_to(ROOT)}:{number}"
                path_part, _, anchor = target.partition("#")
                path_part = urllib.parse.unquote(path_part)
                linked = (page.parent / path_part).resolve() if path_part else page
                if not linked.exists():
                    problems.append(f"{where}: link to a missing file: {target}")
                    continue
                if anchor and linked.suffix == ".md":
                    if linked not in anchor_cache:
                        anchor_cache[linked] = anchors(linked)
                    if urllib.parse.unquote(anchor).lower() not in anchor_cache[linked]:
                        problems.append(f"{where}: link to a missing heading: {target}")
    return problems, checked


def help_text(program: Path, *args) -> str:
    # The window parses its options before it starts a toolkit, but must not need a display.
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    run = subprocess.run([str(program), *args, "--help"], capture_output=True, text=True,
                         timeout=60, env=env, check=False)
    if run.returncode != 0:
        raise RuntimeError(f"{program} {' '.join(args)} --help ended with status "
                           f"{run.returncode}: {run.stderr.strip()}")
    return run.stdout


def listed_options(text: str) -> tuple:
    """The options and the subcommands a --help text lists in its option and subcommand
    sections (the description above them may name options too, but it lists nothing)."""
    options, subcommands = [], []
    section = None
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.endswith(":") and not line[:1].isspace():
            heading = stripped.lower()
            if heading in ("options:", "subcommands:"):
                section = heading[:-1]
            elif section:
                section = "options"  # an option group's own heading
            continue
        # Names stand at the left; a wrapped description further in may begin with an option.
        if section == "options" and re.match(r"\s{1,4}-", line):
            names = stripped.split()[0]
            options += re.findall(r"(?<![\w-])(--?[A-Za-z0-9][\w-]*)", names)
        elif section == "subcommands" and re.match(r"\s{1,4}\w", line):
            subcommands.append(stripped.split()[0])
    return options, subcommands


def check_options(build: Path) -> tuple:
    problems = []
    checked = 0
    for relative, pages in PROGRAMS:
        program = build / relative
        if not program.exists():
            problems.append(f"{program}: not built, so its options cannot be checked")
            continue
        missing_pages = [p for p in pages if not (ROOT / p).exists()]
        if missing_pages:
            problems.append(f"{program.name}: its pages are missing: {', '.join(missing_pages)}")
            continue
        documented = "\n".join((ROOT / p).read_text(encoding="utf-8") for p in pages)
        try:
            options, subcommands = listed_options(help_text(program))
            for sub in subcommands:
                options += listed_options(help_text(program, sub))[0]
        except (RuntimeError, OSError, subprocess.TimeoutExpired) as e:
            problems.append(str(e))
            continue
        for option in dict.fromkeys(options):
            checked += 1
            if not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", documented):
                problems.append(f"{program.name} {option}: listed by --help, but not in "
                                f"{' or '.join(pages)}")
    return problems, checked


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = Path(sys.argv[1]).resolve()
    pages = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
    link_problems, links = check_links(pages)
    option_problems, options = check_options(build)
    for problem in link_problems + option_problems:
        print(f"docs: {problem}", file=sys.stderr)
    if link_problems or option_problems:
        return 1
    print(f"docs: {links} links lead somewhere, {options} options of --help are documented")
    return 0


if __name__ == "__main__":
    sys.exit(main())
