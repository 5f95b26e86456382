#!/usr/bin/env python3
"""Pads a PE image with zero bytes to a multiple of 8 bytes and writes its PE checksum, computed
after the padding, into its optional header; in place, and a second run changes nothing.

osslsigncode pads a file to a multiple of 8 before it appends an Authenticode signature, and its
remove-signature keeps that padding and writes the checksum anew. An image that is already padded
and carries the right checksum so comes back from signing and stripping byte for byte. The bytes
added lie after everything the image's headers point at (here the COFF string table), where the
loader reads nothing.

usage: pe-pad.py IMAGE"""
import struct
import sys

ALIGNMENT = 8


def checksum(image, at):
    """The PE checksum, as Windows' CheckSumMappedFile and osslsigncode compute it: the 16-bit
    little-endian words of the image with the checksum field read as zero, added with the carry
    folded back in, plus the image's length."""
    words = image[:at] + b"\0\0\0\0" + image[at + 4:]
    total = sum(struct.unpack("<%dH" % (len(words) // 2), words[:len(words) & ~1]))
    if len(words) & 1:
        total += words[-1]
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def main(path):
    with open(path, "rb") as data:
        image = bytearray(data.read())
    if image[:2] != b"MZ":
        sys.exit("pe-pad: %s is no PE image" % path)
    header, = struct.unpack_from("<I", image, 0x3C)
    if image[header:header + 4] != b"PE\0\0":
        sys.exit("pe-pad: %s has no PE header" % path)
    image += b"\0" * (-len(image) % ALIGNMENT)
    # The checksum lies 64 bytes into the optional header, in PE32 and PE32+ alike.
    at = header + 24 + 64
    struct.pack_into("<I", image, at, checksum(image, at))
    with open(path, "r+b") as data:
        data.write(image)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.splitlines()[-1])
    main(sys.argv[1])
