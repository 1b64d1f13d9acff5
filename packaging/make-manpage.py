#!/usr/bin/env python3
"""Makes a program's manual page from its --help and --version (help2man).

Usage: make-manpage.py --program BIN --name TEXT --output PAGE.1.gz
                       [--include FILE.h2m] [--subcommands] [--date YYYY-MM-DD]

With --subcommands the program's help is read as CLI11 writes it, and every
subcommand's --help (subcommands of subcommands too) becomes a part of a
COMMANDS section, so that the page shows every command and option the program
has. The page is compressed with gzip -9n (no name or time stamp in the
header), so the same program gives the same bytes.
"""

import argparse
import datetime
import gzip
import os
import re
import subprocess
import sys
import tempfile

NAME_COLUMN = 30  # CLI11's column of the descriptions


def run_help(program, words):
    env = dict(os.environ, LC_ALL="C")
    result = subprocess.run([program, *words, "--help"], capture_output=True, text=True, env=env, check=False)
    if result.returncode != 0:
        sys.exit(f"{program} {' '.join(words)} --help failed ({result.returncode}): {result.stderr}")
    return result.stdout


def roff(text):
    """Text as roff: backslashes and hyphens escaped, no control character at a line start."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def parse_help(text):
    """Splits CLI11's help into (description, usage, [(heading, [(name, description)])], footer)."""
    lines = text.split("\n")
    description, usage, groups, footer = [], "", [], []
    i = 0
    while i < len(lines) and not lines[i].startswith("Usage: "):
        if lines[i].strip():
            description.append(lines[i].strip())
        i += 1
    if i < len(lines):
        usage = lines[i][len("Usage: ") :]
        i += 1

    def is_entry(k):
        return k < len(lines) and re.match(r"  \S", lines[k]) is not None

    def is_continuation(k):
        return k < len(lines) and lines[k].startswith(" " * NAME_COLUMN) and lines[k].strip() != ""

    while i < len(lines):
        line = lines[i]
        if re.match(r"\S.*:$", line) and is_entry(i + 1):
            entries = []
            i += 1
            while is_entry(i):
                entry = lines[i]
                i += 1
                # A name of NAME_COLUMN characters or more puts its description
                # on the lines below; a shorter one is padded to the column.
                if is_continuation(i) or len(entry) <= NAME_COLUMN:
                    name, said = entry.strip(), []
                else:
                    name, said = entry[:NAME_COLUMN].strip(), [entry[NAME_COLUMN:].strip()]
                while is_continuation(i):
                    said.append(lines[i].strip())
                    i += 1
                entries.append((name, " ".join(said)))
            groups.append((line[:-1], entries))
        else:
            footer.append(line)
            i += 1
    return description, usage, groups, "\n".join(footer).strip()


def command_section(program, words, out):
    """Roff for "PROGRAM WORDS" and, after it, for each of its subcommands."""
    description, usage, groups, footer = parse_help(run_help(program, words))
    out.append('.SS "' + roff(usage).replace('"', "\\(dq") + '"')
    for line in description:
        out.append(roff(line))
    subcommands = []
    for heading, entries in groups:
        out.append(".PP")
        out.append("\\fB" + roff(heading) + ":\\fR")
        for name, said in entries:
            first, _, rest = name.partition(" ")
            out.append(".TP")
            out.append("\\fB" + roff(first) + "\\fR" + (" " + roff(rest) if rest else ""))
            out.append(roff(said))
            if heading == "Subcommands":
                subcommands.append(first)
    for paragraph in re.split(r"\n\s*\n", footer) if footer else []:
        out.append(".PP")
        out.extend(roff(line.strip()) for line in paragraph.split("\n"))
    for subcommand in subcommands:
        command_section(program, [*words, subcommand], out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--include")
    parser.add_argument("--subcommands", action="store_true")
    parser.add_argument("--date", help="the date the page shows (default: today)")
    parser.add_argument("--help2man", default="help2man")
    args = parser.parse_args()

    # The extra sections first: an include file may start with comment lines.
    include = ""
    if args.include:
        with open(args.include, encoding="utf-8") as extra:
            include += extra.read() + "\n"
    if args.subcommands:
        _, _, groups, _ = parse_help(run_help(args.program, []))
        section = []
        for heading, entries in groups:
            if heading == "Subcommands":
                for name, _ in entries:
                    command_section(args.program, [name], section)
        include += "[COMMANDS]\n" + "\n".join(section) + "\n"

    env = dict(os.environ, LC_ALL="C")
    if args.date:
        day = datetime.datetime.strptime(args.date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
        env["SOURCE_DATE_EPOCH"] = str(int(day.timestamp()))
    with tempfile.TemporaryDirectory() as scratch:
        include_path = os.path.join(scratch, "include.h2m")
        page_path = os.path.join(scratch, "page.1")
        with open(include_path, "w", encoding="utf-8") as f:
            f.write(include)
        subprocess.run(
            [args.help2man, "--no-info", "--name", args.name, "--include", include_path, "--output", page_path,
             args.program],
            env=env, check=True)
        with open(page_path, "rb") as f:
            page = f.read()
    with open(args.output + ".tmp", "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=9,
                                                                 mtime=0) as packed:
        packed.write(page)
    os.replace(args.output + ".tmp", args.output)


if __name__ == "__main__":
    main()
