#!/usr/bin/env python3
"""The documentation checks must find what they are for, and nothing else:
run on made-up symbol graphs and pages, each with a known fault or none."""
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

CHECK = pathlib.Path(__file__).with_name("check-docs.py")


def symbol(name, access="public", doc=None, located=True):
    entry = {"accessLevel": access, "pathComponents": name.split(".")}
    if located:
        entry["location"] = {"uri": "file:///src/Client.swift", "position": {"line": 9, "character": 2}}
    if doc is not None:
        entry["docComment"] = {"lines": [{"text": doc}]}
    return entry


class CheckDocsTest(unittest.TestCase):
    def setUp(self):
        self.root = pathlib.Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.root)
        (self.root / "graphs").mkdir()
        (self.root / "Source.swift").write_text("func a() {\n  one()\n  two()\n}\n\nfunc b() {\n  three()\n}\n")

    def check(self, symbols=(), page=""):
        graph = {"symbols": list(symbols)}
        (self.root / "graphs" / "Palisade.symbols.json").write_text(json.dumps(graph))
        (self.root / "Page.md").write_text(page)
        run = subprocess.run([sys.executable, CHECK, self.root / "graphs", self.root, self.root / "Page.md"],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 1 if run.stdout else 0, run.stdout)
        return run.stdout.splitlines()

    def test_public_symbols_need_a_documentation_comment(self):
        findings = self.check([
            symbol("Client.engage()", doc="Holds the front."),
            symbol("Client.state"),
            symbol("Client.yield()", doc="   "),
            symbol("Client.hidden", access="internal"),
            symbol("Status.hashValue", located=False),  # the standard library's
        ])
        self.assertEqual(findings, [
            "/src/Client.swift:10: public Client.state has no documentation comment",
            "/src/Client.swift:10: public Client.yield() has no documentation comment",
        ])

    def test_copied_listings_must_match_their_source_in_order(self):
        mark = "<!-- copied from Source.swift -->\n"
        self.assertEqual(self.check(page=mark + "```swift\n  one()\n  two()\n```\n"), [])
        self.assertEqual(self.check(page=mark + "```swift\nfunc a() {\n  // …\n  three()\n```\n"), [])
        stale = [
            ("```swift\n  one()\n  three()\n```\n", "the listing no longer matches Source.swift (from: one())"),
            ("```swift\n  three()\n  // …\n  one()\n```\n", "the listing no longer matches Source.swift (from: one())"),
            ("```swift\n    one()\n```\n", "the listing no longer matches Source.swift (from: one())"),
            ("\n```swift\n  one()\n```\n", "no code listing after the copied-from mark"),
            ("```swift\n\n```\n", "no code listing after the copied-from mark"),
        ]
        for listing, finding in stale:
            findings = self.check(page="Text.\n\n" + mark + listing)
            self.assertEqual(len(findings), 1, listing)
            self.assertTrue(findings[0].endswith(f"Page.md:3: {finding}"), findings[0])
        findings = self.check(page="<!-- copied from Gone.swift -->\n```swift\n  one()\n```\n")
        self.assertEqual(findings, [f"{self.root / 'Page.md'}:1: Gone.swift does not exist"])


if __name__ == "__main__":
    unittest.main()
