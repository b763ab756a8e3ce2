#!/usr/bin/env python3
"""check_vector_stack.py: reads a built Norvex.dll's machine code (objdump -d)
and checks that no vector instruction relies on a stack alignment that a
Windows host does not give.

  check_vector_stack.py --arch x86|x64 --objdump TOOL --dll Norvex.dll

x86: a 32-bit host may call with the stack aligned to 4 bytes only. Every
function with a vector instruction that needs an aligned memory operand (an
aligned move, or a legacy SSE instruction on 16 bytes of memory) at an
address in a register must realign its stack first (and $-16 or $-32, %esp).
x64: the stack is 16-byte aligned, never more: no 32- or 64-byte aligned
move may address memory through a register.

Every function of the DLL is checked, the statically linked runtime too.
"""
import argparse
import re
import subprocess
import sys

FUNCTION = re.compile(r"^[0-9a-f]+ <(?P<name>.*)>:$")
VECTOR_REGISTER = re.compile(r"%[xyz]mm\d+")
WIDE_REGISTER = re.compile(r"%[yz]mm\d+")
REALIGN = re.compile(r"^and\s+\$0xf+[ce]?0,%esp$")
ALIGNED_MOVE = re.compile(r"^v?(movdqa(32|64)?|movaps|movapd|movnt\w+)$")
# Legacy SSE instructions that take a memory operand at any alignment: the
# unaligned moves and those that read or write less than 16 bytes.
ANY_ALIGNMENT = re.compile(r"^(movdqu|movups|movupd|lddqu|movd|movq|movss|movsd|movlps|movhps|movlpd|movhpd"
                           r"|pinsr[bwdq]|pextr[bwdq]|insertps|extractps|pmov[sz]x\w+|cvt\w+|\w+ss|\w+sd"
                           r"|movddup)$")


def instructions(dll, objdump):
    """(function, mnemonic, operands) of every instruction."""
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", dll], check=True,
                             capture_output=True, text=True).stdout
    function = None
    for line in listing.splitlines():
        match = FUNCTION.match(line)
        if match:
            function = match.group("name")
            continue
        fields = line.split("\t")
        if function is None or len(fields) < 2 or not fields[-1].strip():
            continue
        text = fields[-1].split("#")[0].strip()
        mnemonic, _, operands = text.partition(" ")
        yield function, mnemonic, operands.strip()


def needs_alignment(mnemonic, operands):
    """A vector instruction whose memory operand, addressed through a
    register, must be aligned to the vector's size."""
    if not VECTOR_REGISTER.search(operands) or "(%" not in operands or "(%rip)" in operands:
        return False
    if ALIGNED_MOVE.match(mnemonic):
        return True
    return not mnemonic.startswith("v") and not ANY_ALIGNMENT.match(mnemonic)


def check(arch, found):
    realigns = set()
    aligned = {}
    for function, mnemonic, operands in found:
        if REALIGN.match(f"{mnemonic} {operands}"):
            realigns.add(function)
        if needs_alignment(mnemonic, operands):
            aligned.setdefault(function, []).append(f"{mnemonic} {operands}")
    faults = []
    for function, uses in sorted(aligned.items()):
        if arch == "x86" and function not in realigns:
            faults.append(f"{function}: needs an aligned stack but does not realign it: {uses[0]}")
        if arch == "x64":
            wide = [u for u in uses if WIDE_REGISTER.search(u)]
            if wide:
                faults.append(f"{function}: a 32- or 64-byte aligned access: {wide[0]}")
    return aligned, faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--dll", required=True)
    args = parser.parse_args()
    aligned, faults = check(args.arch, instructions(args.dll, args.objdump))
    for fault in faults:
        print(f"{args.dll}: {fault}")
    print(f"{args.dll} ({args.arch}): {len(aligned)} functions with aligned vector memory operands, "
          f"{len(faults)} unsafe at a host's stack alignment")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
