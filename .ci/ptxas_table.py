"""Reads `nvcc -Xptxas=-v` output on standard input and prints registers, stack and spills
per trace kernel: python3 .ci/ptxas_table.py ARCH"""

import re
import subprocess
import sys

SUFFIX = {"0": "", "1": ", stepped", "2": ", fine"}


def label(mangled):
    try:
        name = subprocess.run(["c++filt"], input=mangled, capture_output=True, text=True).stdout.strip() or mangled
    except OSError:  # no c++filt: the mangled name
        name = mangled
    k = re.search(r"traceRaysKernel<(\w+?)View, (\w+)<\(StepRule\)(\d)>", name)
    if not k:
        return name
    return f"{k.group(1)}, {k.group(2)}" + (SUFFIX[k.group(3)] if k.group(3) else "")


def main():
    rows, functions, name, frame, current = [], [], None, None, None
    for line in sys.stdin:
        m = re.search(r"Compiling entry function .(\S+). for", line)
        if m:
            name, current = label(m.group(1)), m.group(1)
            continue
        m = re.search(r"Function properties for (\S+)", line)
        if m:
            current = None if m.group(1) == current else m.group(1)  # None: the entry's own
            continue
        m = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", line)
        if m:
            if current is not None and name is None:  # a function called by the kernels
                functions.append((label(current), *m.groups()))
            else:
                frame = m.groups()
            continue
        m = re.search(r"Used (\d+) registers", line)
        if m and name and frame:
            rows.append((name, m.group(1), *frame))
            name = frame = None
        elif "error" in line:
            print(line.rstrip())
    if not rows:
        sys.exit("no kernel figures from ptxas")
    print(f"trace kernels on sm_{sys.argv[1]} (ptxas):")
    print(f"  {'kernel':40s} {'registers':>9s} {'stack B':>8s} {'spill stores / loads B':>23s}")
    for kernel, regs, stack, stores, loads in rows:
        print(f"  {kernel[:40]:40s} {regs:>9s} {stack:>8s} {stores + ' / ' + loads:>23s}")
    spilling = [f for f in functions if f[2] != "0" or f[3] != "0"]
    print(
        f"  functions the kernels call out of line: {len(functions)}, "
        f"{len(spilling)} of them spilling" + "".join(f"\n    {f[0][:70]}: {f[2]} / {f[3]} B" for f in spilling)
    )


if __name__ == "__main__":
    main()
