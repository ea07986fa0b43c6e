"""Derives the exponential's table of 2^(i/128) and prints it as C++ for src/lib/kernels/exp_kernel.cpp.

Entry 2i is the tail t_i = (2^(i/128) - s_i) / s_i rounded to a double, where s_i is 2^(i/128) rounded to
a double; entry 2i+1 is the bit pattern of s_i less i << 45, so that adding k << 45 for k = 128q + i
gives the bits of 2^q * s_i. Both come from 60-digit decimal arithmetic. Given the C library's file
(--check /lib/x86_64-linux-gnu/libm.so.6), it also confirms that the library holds the same table.
"""
import argparse
import struct
from decimal import Decimal, getcontext
from fractions import Fraction


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def table() -> list[int]:
    getcontext().prec = 60
    ln2 = Decimal(2).ln()
    entries = []
    for i in range(128):
        exact = (ln2 * i / 128).exp()
        scale = float(Fraction(exact))  # correctly rounded
        tail = float(Fraction((exact - Decimal(scale)) / Decimal(scale)))
        entries += [bits(tail), bits(scale) - (i << 45)]
    return entries


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--check", metavar="LIBM")
    args = parser.parse_args()
    entries = table()
    if args.check:
        image = open(args.check, "rb").read()
        packed = struct.pack("<256Q", *entries)
        print("// the library holds this table:", packed in image)
    for row in range(0, 256, 4):
        print("    " + ", ".join("0x%016x" % e for e in entries[row:row + 4]) + ",")


if __name__ == "__main__":
    main()
