#!/usr/bin/env python3
"""check_entry_returns.py OBJDUMP DLL: checks, in the disassembly of the 32-bit
plug-in DLL, that the export and the six entries are stdcall functions: every
return instruction of each pops exactly the bytes of its arguments (ret $0x20
for eight 32-bit arguments, a plain ret for none), and each has at least one.
A cdecl function returns with a plain ret and leaves its arguments to the
caller, which the host does not remove: its stack would drift at every call.

Nothing is run, so the check holds on machines that cannot execute 32-bit
programs. The DLL is not stripped: functions are found by their symbols,
demangled (objdump -C), whatever their C++ decoration.

Jumps: a direct jmp inside the function, or into its cold part, is part of
it. A direct jmp to the start of another function is a tail call: that
function returns for the entry, so its returns must pop the same bytes (it is
checked the same way, and so on). A jump table (jmp *TABLE(,%reg,4)) stays
inside the function. Any other jump out of it, an indirect one or one into the
middle of another function, cannot be followed and fails the check."""
import re
import subprocess
import sys

# Argument bytes of each function: 4 per 32-bit argument.
ENTRIES = {
    "VISGetPluginInfo": 4,
    "PluginInit": 8,
    "PluginQuit": 0,
    "OnTrackStart": 32,
    "OnTrackStop": 4,
    "OnProgress": 12,
    "OnConfigure": 4,
}

HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$")
RETURN = re.compile(r"^(?:(?:repz|rep|bnd) )?retl?(?:\s+\$0x([0-9a-f]+))?\s*$")
DIRECT_JUMP = re.compile(r"^(?:bnd )?jmpl?\s+([0-9a-f]+) <")
INDIRECT_JUMP = re.compile(r"^(?:notrack |bnd )*jmpl?\s+\*")
JUMP_TABLE = re.compile(r"\(,%e[a-z]{2},4\)")


class Function:
    def __init__(self, start, name):
        self.start = start
        self.end = start
        self.name = name
        self.code = []    # (address, instruction text)


def disassemble(objdump, dll):
    run = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", dll],
                         capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit("%s failed on %s: %s" % (objdump, dll, run.stderr.strip()))
    text = run.stdout
    functions = []
    for line in text.splitlines():
        header = HEADER.match(line)
        if header:
            functions.append(Function(int(header.group(1), 16), header.group(2)))
            continue
        # Without raw bytes: "addr:\tinstruction".
        instruction = re.match(r"^\s*([0-9a-f]+):\t(.*)$", line)
        if instruction and functions:
            address = int(instruction.group(1), 16)
            functions[-1].code.append((address, instruction.group(2).strip()))
            functions[-1].end = address + 1
    return functions


def base_name(name):
    """PluginInit for "PluginInit(unsigned long, unsigned long)@8",
    "VISGetPluginInfo@4" or "PluginInit(...) [clone .cold]@8"."""
    match = re.match(r"_?([A-Za-z_]\w*)", name)
    return match.group(1) if match else name


def check(entry, pops, functions):
    """Problems found for one entry (an empty list when it is right)."""
    own = [f for f in functions if base_name(f.name) == entry]
    if not own:
        return ["%s: no such function in the DLL" % entry]
    starts = {f.start: f for f in functions}
    problems = []
    returns = 0
    queue, seen = list(own), {f.start for f in own}
    while queue:
        function = queue.pop(0)
        ranges = [(f.start, f.end) for f in own] + [(function.start, function.end)]
        for address, text in function.code:
            ret = RETURN.match(text)
            if ret:
                returns += 1
                popped = int(ret.group(1) or "0", 16)
                if popped != pops:
                    problems.append("%s: %s at 0x%x in %s pops %d bytes, not %d"
                                    % (entry, text, address, function.name,
                                       popped, pops))
                continue
            jump = DIRECT_JUMP.match(text)
            if jump:
                target = int(jump.group(1), 16)
                if any(start <= target < end for start, end in ranges):
                    continue
                if target in starts:
                    if target not in seen:    # a tail call: it returns for us
                        seen.add(target)
                        queue.append(starts[target])
                    continue
                problems.append("%s: %s at 0x%x jumps into the middle of "
                                "another function" % (entry, text, address))
            elif INDIRECT_JUMP.match(text) and not JUMP_TABLE.search(text):
                problems.append("%s: %s at 0x%x in %s jumps where the check "
                                "cannot follow" % (entry, text, address,
                                                   function.name))
    if returns == 0:
        problems.append("%s: no return instruction found" % entry)
    return problems


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    functions = disassemble(sys.argv[1], sys.argv[2])
    problems = []
    for entry, pops in ENTRIES.items():
        problems += check(entry, pops, functions)
    for problem in problems:
        print(problem)
    if problems:
        sys.exit(1)
    print("every return of %s pops its arguments (stdcall)"
          % ", ".join("%s %d" % item for item in ENTRIES.items()))


main()
