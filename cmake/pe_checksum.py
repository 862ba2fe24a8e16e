#!/usr/bin/env python3
"""Writes the PE image checksum into the optional header of a file, in place.

Standard library only. The checksum is the file summed as little-endian 16-bit
words with carries folded back in (the checksum field counted as zero), plus
the file length.
"""
import struct
import sys


def main() -> int:
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        print(f"{path}: not a PE image", file=sys.stderr)
        return 1
    # PE signature (4) + file header (20), then CheckSum at offset 64 of the optional header.
    checksum_offset = pe + 4 + 20 + 64
    struct.pack_into("<I", data, checksum_offset, 0)
    total = 0
    padded = bytes(data) + (b"\0" if len(data) % 2 else b"")
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, checksum_offset, (total + len(data)) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
