#!/usr/bin/env python3
"""Holds the manual pages against what the programs themselves print for --help.

    check-manual-pages.py KORVANE KORVANE_SIM KORVANE_1 KORVANE_SIM_1

korvane(1): the same commands in the same order, each heading equal to the command's usage
line and its text holding the command's summary; the same options for each command, each
described by at least the words of its --help; the same shared options and exit codes.
korvane-sim(1): the same options, described the same way. Pages may be gzip-compressed.
Prints one line per difference and a closing count; exits 1 when any was found.
"""
import gzip
import re
import subprocess
import sys


def read_page(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as page:
        return page.read()


def plain(text):
    """Roff source text as it reads: font changes dropped, escapes resolved."""
    text = re.sub(r"\\f(\[[^\]]*\]|\(..|.)", "", text)
    text = text.replace("\\-", "-").replace("\\(aq", "'").replace("\\(dq", '"')
    text = text.replace("\\&", "").replace("\\e", "\\")
    return text.strip()


def squeeze(text):
    return " ".join(text.split()).lower()


def sections(source, macro):
    """{heading: [lines]} of the page's .SH or .SS sections, in order."""
    found = {}
    current = None
    for line in source.splitlines():
        if line.startswith(".\\\""):
            continue
        if line.startswith(macro + " "):
            current = plain(line[len(macro) + 1 :]).strip('"')
            found[current] = []
        elif line.startswith(".SH ") or line.startswith(".SS "):
            current = None
        elif current is not None:
            found[current].append(line)
    return found


def tagged_paragraphs(lines):
    """[(tag, text)] of the .TP paragraphs among lines, text up to the next macro."""
    items = []
    index = 0
    while index < len(lines):
        if lines[index].startswith(".TP") and index + 1 < len(lines):
            tag_line = lines[index + 1]
            tag = plain(re.sub(r"^\.[BI]R? ", "", tag_line))
            body = []
            index += 2
            while index < len(lines) and not lines[index].startswith("."):
                body.append(plain(lines[index]))
                index += 1
            items.append((tag, " ".join(body)))
        else:
            index += 1
    return items


def help_options(text):
    """{tag: description} of the '  --option VALUE   description' lines of a help text."""
    options = {}
    last = None
    for line in text.splitlines():
        match = re.match(r"^  (-\S.*?)(?:\s{2,}(.*))?$", line)
        if match:
            last = match.group(1)
            options[last] = match.group(2) or ""
        elif last and re.match(r"^\s{6,}\S", line):
            options[last] = (options[last] + " " + line.strip()).strip()
        else:
            last = None
    return options


def run(program, *args):
    done = subprocess.run([program, *args], capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        raise RuntimeError(f"{program} {' '.join(args)} exited {done.returncode}: {done.stderr}")
    return done.stdout


class Checker:
    def __init__(self):
        self.problems = []
        self.checks = 0

    def expect(self, ok, message):
        self.checks += 1
        if not ok:
            self.problems.append(message)

    def same_options(self, page, where, documented, helped):
        """Tags equal; each page description holds the help's words."""
        documented = dict(documented)
        for tag, words in helped.items():
            self.expect(tag in documented, f"{page}: {where}: '{tag}' is in --help but not here")
            if tag in documented:
                self.expect(
                    squeeze(words) in squeeze(documented[tag]),
                    f"{page}: {where}: '{tag}' should say \"{words}\", says "
                    f"\"{documented[tag]}\"",
                )
        for tag in documented:
            self.expect(tag in helped, f"{page}: {where}: '{tag}' is not in --help")


def check_korvane(checker, tool, page_path):
    page = "korvane(1)"
    source = read_page(page_path)
    overview = run(tool, "--help")

    commands = re.search(r"\nCommands:\n(.*?)\n\n", overview, re.S).group(1)
    summaries = dict(re.findall(r"^  (\S+)\s+(.*)$", commands, re.M))
    shared = help_options(re.search(r"\nOptions shared[^\n]*\n(.*?)\nAxes", overview, re.S).group(1))
    exits = dict(re.findall(r"^  (\d+)  (.*)$", overview.split("\nExit codes:\n")[1], re.M))

    top = sections(source, ".SH")
    headings = sections(source, ".SS")
    documented = [h.split()[1] for h in headings if h.startswith("korvane ")]
    checker.expect(
        documented == list(summaries),
        f"{page}: commands {documented} differ from --help's {list(summaries)}",
    )
    checker.same_options(page, "OPTIONS", tagged_paragraphs(top.get("OPTIONS", [])), shared)
    checker.same_options(page, "EXIT STATUS", tagged_paragraphs(top.get("EXIT STATUS", [])), exits)

    for name, summary in summaries.items():
        usage = run(tool, name, "--help").splitlines()[0]
        heading = next((h for h in headings if h.split()[1:2] == [name]), None)
        if heading is None:
            continue  # reported above
        checker.expect(
            "usage: " + heading == usage, f"{page}: heading '{heading}' is not '{usage}'"
        )
        text = " ".join(plain(line) for line in headings[heading] if not line.startswith("."))
        checker.expect(
            squeeze(summary) in squeeze(text), f"{page}: {name}: summary \"{summary}\" missing"
        )
        own = {
            tag: words
            for tag, words in help_options(run(tool, name, "--help")).items()
            if tag not in shared
        }
        checker.same_options(page, name, tagged_paragraphs(headings[heading]), own)


def check_korvane_sim(checker, sim, page_path):
    page = "korvane-sim(1)"
    source = read_page(page_path)
    usage = run(sim, "--help")
    top = sections(source, ".SH")
    synopsis = " ".join(plain(re.sub(r"^\.[A-Z]+ ", "", l)) for l in top.get("SYNOPSIS", []))
    checker.expect(
        re.sub(r"\s+", "", synopsis) == "korvane-sim[options]",
        f"{page}: synopsis '{synopsis}' is not 'korvane-sim [options]'",
    )
    checker.expect(
        usage.splitlines()[0].endswith(" [options]"), f"{page}: --help usage changed: {usage}"
    )
    checker.same_options(
        page, "OPTIONS", tagged_paragraphs(top.get("OPTIONS", [])), help_options(usage)
    )


def main(argv):
    if len(argv) != 5:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    tool, sim, korvane_page, sim_page = argv[1:]
    checker = Checker()
    check_korvane(checker, tool, korvane_page)
    check_korvane_sim(checker, sim, sim_page)
    for problem in checker.problems:
        print("FAIL: " + problem)
    failed = len(checker.problems)
    print(f"{checker.checks - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
