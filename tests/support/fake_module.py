#!/usr/bin/env python3
"""Writes a file laid out as a Windows x64 DLL as far as the package checker
reads one: the PE headers, one section and Stub.dll's five exports, no code.

    fake_module.py PATH [SIZE]   SIZE in bytes, at least 4096 (default 4096)
"""
import os
import struct
import sys

EXPORTS = ["DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer", "DllInstall"]


def main():
    path = sys.argv[1]
    b = bytearray(max(4096, int(sys.argv[2]) if len(sys.argv) > 2 else 4096))
    b[0:2] = b"MZ"
    struct.pack_into("<I", b, 0x3C, 0x40)
    b[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", b, 0x44, 0x8664, 1)  # x64, one section
    struct.pack_into("<HHH", b, 0x54, 0xF0, 0x2022, 0x20B)  # optional header size, a DLL, PE32+
    struct.pack_into("<I", b, 0x58 + 112, 0x1000)  # the export directory's address
    struct.pack_into("<IIII", b, 0x58 + 0xF0 + 8, 0x200, 0x1000, 0x200, 0x200)
    struct.pack_into("<II", b, 0x200 + 24, len(EXPORTS), 0)
    struct.pack_into("<I", b, 0x200 + 32, 0x1040)
    at = 0x280
    for i, name in enumerate(EXPORTS):
        struct.pack_into("<I", b, 0x240 + 4 * i, 0x1000 + at - 0x200)
        b[at:at + len(name)] = name.encode()
        at += len(name) + 1
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b)


main()
