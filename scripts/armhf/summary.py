"""Prints the pass, skip and fail counts of test suites from their JUnit-style XML reports
(GoogleTest's --gtest_output=xml and pytest's --junitxml), with every skip reason.

    summary.py NAME=REPORT.xml ...

Exits non-zero when a suite failed, left no report, or ran no test (all skipped, or none)."""

import collections
import os
import sys
import xml.etree.ElementTree as ET


def outcome(case):
    if case.find("failure") is not None or case.find("error") is not None:
        return "failed", None
    skipped = case.find("skipped")
    if skipped is not None or case.get("result") == "skipped":
        message = "" if skipped is None else (skipped.get("message") or skipped.text or "")
        return "skipped", reason_of(message)
    if case.get("status") == "notrun":
        return "disabled", None
    return "passed", None


def reason_of(message):
    # GoogleTest puts "file:line" on the first line and the reason after it; pytest prefixes
    # "Skipped: " for skips raised inside a test.
    lines = [line.strip() for line in message.strip().splitlines() if line.strip()]
    if len(lines) > 1 and ":" in lines[0] and lines[0].split(":")[-1].isdigit():
        lines = lines[1:]
    text = " ".join(lines)
    return text.removeprefix("Skipped: ") or "(no reason given)"


def case_id(case):
    owner = case.get("classname") or ""
    return f"{owner}.{case.get('name')}" if owner else case.get("name", "?")


def summarise(name, path):
    counts = collections.Counter()
    reasons = collections.defaultdict(list)
    failures = []
    if not os.path.exists(path):
        return None, reasons, failures
    for case in ET.parse(path).getroot().iter("testcase"):
        kind, reason = outcome(case)
        counts[kind] += 1
        if kind == "skipped":
            reasons[reason].append(case_id(case))
        elif kind == "failed":
            failures.append(case_id(case))
    return counts, reasons, failures


def main(argv):
    ok = True
    print("== armhf summary (under emulation)")
    for arg in argv:
        name, _, path = arg.partition("=")
        counts, reasons, failures = summarise(name, path)
        if counts is None:
            print(f"{name}: no report (the suite did not run to the end)")
            ok = False
            continue
        print(f"{name}: {counts['passed']} passed, {counts['skipped']} skipped, {counts['failed']} failed"
              + (f", {counts['disabled']} disabled" if counts["disabled"] else ""))
        for reason, cases in sorted(reasons.items()):
            print(f"  skipped {len(cases)}: {reason}")
            for case in cases:
                print(f"    {case}")
        for case in failures:
            print(f"  FAILED {case}")
        if not counts["passed"]:
            # Every test skipped (or none at all) proves nothing about the build.
            print(f"  FAILED {name}: no test ran")
        ok = ok and not failures and counts["passed"] > 0
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
