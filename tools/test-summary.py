#!/usr/bin/env python3
"""test-summary.py ARCH=RESULTS.xml ...: the closing lines of
tools/run-tests.sh, from the JUnit files that CTest wrote for each build: the
skipped tests with their reasons, a line per build and a total of passed,
failed and skipped tests. A test counts as skipped only when it said so (exit
77, CTest's SKIP_RETURN_CODE) and printed why; one that did not run for
another reason (a failed fixture, a missing program) counts as failed, and so
does a build without results. Exits with 1 when anything failed."""
import sys
import xml.etree.ElementTree as ElementTree


def count(path):
    """(passed, failed, {reason: [test names]}) of one JUnit file."""
    passed, failed, skipped = 0, 0, {}
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        name = case.get("name")
        skip = case.find("skipped")
        output = case.findtext("system-out") or ""
        reasons = [line[len("skipped: "):] for line in output.splitlines()
                   if line.startswith("skipped: ")]
        if case.get("status") == "run":
            passed += 1
        elif (skip is not None and skip.get("message") == "SKIP_RETURN_CODE=77"
              and reasons):
            skipped.setdefault(reasons[-1], []).append(name)
        else:
            failed += 1
    return passed, failed, skipped


def main():
    totals = [0, 0, 0]
    lines = []
    for argument in sys.argv[1:]:
        arch, path = argument.split("=", 1)
        try:
            passed, failed, skipped = count(path)
        except (OSError, ElementTree.ParseError) as error:
            print("%s: no test results (%s)" % (arch, error))
            passed, failed, skipped = 0, 1, {}
        for reason, names in skipped.items():
            print("skipped in %s (%s): %s" % (arch, reason, ", ".join(names)))
        n = sum(len(names) for names in skipped.values())
        lines.append("%s: %d passed, %d failed, %d skipped"
                     % (arch, passed, failed, n))
        totals = [totals[0] + passed, totals[1] + failed, totals[2] + n]
    for line in lines:
        print(line)
    print("total: %d passed, %d failed, %d skipped" % tuple(totals))
    sys.exit(1 if totals[1] else 0)


main()
