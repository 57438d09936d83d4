#!/usr/bin/env python3
"""Checks what the documentation compiler does not: that every public symbol
declared in the module has a documentation comment, and that every code
listing marked as copied still appears, line for line, in its source.

  check-docs.py SYMBOL-GRAPH-DIR ROOT MARKDOWN...

A listing is marked by a line `<!-- copied from PATH -->` (PATH from ROOT)
just before its fence. A line that is only a comment holding `…` stands
for source lines left out. Prints one line per finding; exit status 1 if
any."""
import json
import pathlib
import re
import sys

MARK = re.compile(r"^<!-- copied from (\S+) -->$")
ELISION = re.compile(r"^\s*(//|#|/\*)\s*…\s*(\*/)?$")


def undocumented(graph_dir):
    for graph in sorted(pathlib.Path(graph_dir).glob("*.symbols.json")):
        for symbol in json.loads(graph.read_text())["symbols"]:
            # Members with no location are the standard library's defaults.
            where = symbol.get("location")
            if not where or symbol["accessLevel"] not in ("public", "open"):
                continue
            lines = symbol.get("docComment", {}).get("lines", [])
            if not any(line["text"].strip() for line in lines):
                path = where["uri"].removeprefix("file://")
                line = where["position"]["line"] + 1
                name = ".".join(symbol["pathComponents"])
                yield f"{path}:{line}: public {name} has no documentation comment"


def listings(markdown):
    lines = markdown.read_text().split("\n")
    for number, line in enumerate(lines):
        mark = MARK.match(line.strip())
        if not mark:
            continue
        fence = number + 1
        if fence >= len(lines) or not lines[fence].startswith("```"):
            yield mark.group(1), number + 1, None
            continue
        end = next((i for i in range(fence + 1, len(lines)) if lines[i].startswith("```")), len(lines))
        yield mark.group(1), number + 1, lines[fence + 1 : end]


def find(chunk, source, start):
    for at in range(start, len(source) - len(chunk) + 1):
        if all(source[at + i] == want for i, want in enumerate(chunk)):
            return at + len(chunk)
    return -1


def stale(root, markdown):
    for path, line, block in listings(markdown):
        where = f"{markdown}:{line}"
        source_path = root / path
        if block is None or not [text for text in block if text.strip()]:
            yield f"{where}: no code listing after the copied-from mark"
            continue
        if not source_path.is_file():
            yield f"{where}: {path} does not exist"
            continue
        source = [text.rstrip() for text in source_path.read_text().split("\n")]
        chunks, chunk = [], []
        for text in block:
            if ELISION.match(text):
                chunks.append(chunk)
                chunk = []
            else:
                chunk.append(text.rstrip())
        chunks.append(chunk)
        at = 0
        for chunk in filter(None, chunks):
            at = find(chunk, source, at)
            if at < 0:
                yield f"{where}: the listing no longer matches {path} (from: {chunk[0].strip()})"
                break


def main(graph_dir, root, *markdown):
    root = pathlib.Path(root)
    findings = list(undocumented(graph_dir))
    for page in markdown:
        findings += stale(root, pathlib.Path(page))
    for finding in findings:
        print(finding)
    return 1 if findings else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
