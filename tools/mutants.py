#!/usr/bin/env python3
"""mutants.py BASE SEED N OUTDIR FILE...: the helper of tools/mutants.sh.

Lists the mutants of the lines of FILE... that changed since the commit BASE,
one change each, found by regular expressions on the code with its comments
and literals blanked out:
  - a comparison swapped (< <=, > >=, == !=) or a logical one (&& ||);
  - an integer constant moved by one, up and down; true and false swapped;
  - a call statement (a line that is just f(...);) dropped;
  - a flag dropped from an A | B expression;
  - the condition of an if or while negated.
Prints how many there are, then draws N of them with the random seed SEED
(the same seed draws the same mutants from the same lines) and writes each
as OUTDIR/K.path (the file), OUTDIR/K.what (file:line: the change) and
OUTDIR/K.src (the whole mutated file), K = 1..N. With N = 0 it prints every
mutant and writes nothing."""
import os
import random
import re
import subprocess
import sys

KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "case",
            "else", "do", "delete", "new"}


def changed_lines(base, path):
    """The line numbers (1-based) of path that differ from BASE."""
    diff = subprocess.run(["git", "diff", "-U0", base, "--", path],
                          capture_output=True, text=True, check=True).stdout
    lines = set()
    for m in re.finditer(r"^@@ -\S+ \+(\d+)(?:,(\d+))? @@", diff, re.M):
        start, count = int(m.group(1)), int(m.group(2) or "1")
        lines.update(range(start, start + count))
    return lines


def blank_comments_and_literals(lines):
    """The lines with comments and the insides of string and character
    literals replaced by spaces, so positions stay; preprocessor lines
    blank."""
    out, in_block = [], False
    for line in lines:
        chars, i, quote = list(line), 0, None
        if not in_block and line.lstrip().startswith("#"):
            out.append(" " * len(line))
            continue
        while i < len(chars):
            c, nxt = chars[i], line[i + 1] if i + 1 < len(line) else ""
            if in_block:
                if c == "*" and nxt == "/":
                    chars[i] = chars[i + 1] = " "
                    in_block = False
                    i += 2
                    continue
                chars[i] = " "
            elif quote:
                if c == "\\":
                    chars[i] = " "
                    if i + 1 < len(chars):
                        chars[i + 1] = " "
                    i += 2
                    continue
                if c == quote:
                    quote = None
                else:
                    chars[i] = " "
            elif c == "/" and nxt == "/":
                for j in range(i, len(chars)):
                    chars[j] = " "
                break
            elif c == "/" and nxt == "*":
                chars[i] = chars[i + 1] = " "
                in_block = True
                i += 2
                continue
            elif c in "\"'":
                quote = c
            i += 1
        out.append("".join(chars))
    return out


def matching_paren(code, open_at):
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


SWAPS = [
    (r"(?<![<>=!-])<(?![<=])", "<="), (r"(?<![<>])<=", "<"),
    (r"(?<![<>=!-])>(?![>=])", ">="), (r"(?<![<>])>=", ">"),
    (r"==", "!="), (r"!=", "=="), (r"&&", "||"), (r"\|\|", "&&"),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
    (r"\bTRUE\b", "FALSE"), (r"\bFALSE\b", "TRUE"),
]
OPERAND = r"(?:\(\s*\w+\s*\)\s*)?[A-Za-z_0-9][\w:]*"


def mutants_of_line(line, code):
    """(mutated line, what) pairs for one line and its blanked code."""
    found = []

    def put(start, end, text, what):
        found.append((line[:start] + text + line[end:], what))

    for pattern, replacement in SWAPS:
        for m in re.finditer(pattern, code):
            put(m.start(), m.end(), replacement,
                "%s -> %s" % (m.group(0), replacement))
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])",
                         code):
        text = m.group(1)
        value = int(text, 16) if text[:2].lower() == "0x" else int(text)
        for moved in (value + 1, value - 1):
            if moved < 0:
                continue
            new = ("0x%X" % moved) if text[:2].lower() == "0x" else str(moved)
            put(m.start(1), m.end(1), new, "%s -> %s" % (text, new))
    call = re.match(r"^(\s*)((?:[A-Za-z_]\w*(?:::|\.|->))*([A-Za-z_]\w*))\s*\(",
                    code)
    if (call and call.group(3) not in KEYWORDS and code.rstrip().endswith(";")
            and matching_paren(code, call.end() - 1) ==
            len(code.rstrip()) - 2):
        found.append((call.group(1) + "(void)0;" + line[len(code.rstrip()):],
                      "call %s dropped" % call.group(2)))
    for m in re.finditer(r"(?<![|])\|(?![|=])", code):
        right = re.match(r"\s*" + OPERAND, code[m.end():])
        left = re.search(OPERAND + r"\s*$", code[:m.start()])
        if right:
            end = m.end() + right.end()
            start = len(code[:m.start()].rstrip())
            put(start, end, "", "| %s dropped" % right.group(0).strip())
        # The leftmost flag of a chain: drop it with the bar after it.
        if left and not re.search(r"\|\s*$", code[:left.start()]):
            skip = re.match(r"\s*", code[m.end():]).end()
            put(left.start(), m.end() + skip, "",
                "%s | dropped" % left.group(0).strip())
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        close = matching_paren(code, m.end() - 1)
        if close > 0:
            inner = line[m.end():close]
            put(m.end(), close, "!(" + inner + ")",
                "%s condition negated" % m.group(1))
    return found


def main():
    base, seed, count, outdir = sys.argv[1:5]
    count = int(count)
    mutants, changed = [], 0
    for path in sys.argv[5:]:
        wanted = changed_lines(base, path)
        if not wanted:
            continue
        changed += 1
        with open(path, newline="") as f:
            lines = f.read().split("\n")
        code = blank_comments_and_literals(lines)
        for number in sorted(wanted):
            if number > len(lines):
                continue
            seen = set()
            for mutated, what in mutants_of_line(lines[number - 1],
                                                 code[number - 1]):
                if mutated != lines[number - 1] and mutated not in seen:
                    seen.add(mutated)
                    mutants.append((path, number, mutated, what))
    print("%d candidates on the changed lines of %d files"
          % (len(mutants), changed))
    if count == 0:
        for path, number, _, what in mutants:
            print("  %s:%d: %s" % (path, number, what))
        return
    chosen = random.Random(seed).sample(mutants, min(count, len(mutants)))
    for k, (path, number, mutated, what) in enumerate(chosen, 1):
        with open(path, newline="") as f:
            lines = f.read().split("\n")
        lines[number - 1] = mutated
        with open(os.path.join(outdir, "%d.src" % k), "w", newline="") as f:
            f.write("\n".join(lines))
        with open(os.path.join(outdir, "%d.path" % k), "w") as f:
            f.write(path + "\n")
        with open(os.path.join(outdir, "%d.what" % k), "w") as f:
            f.write("%s:%d: %s\n" % (path, number, what))


main()
