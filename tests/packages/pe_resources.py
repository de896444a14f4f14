#!/usr/bin/env python3
"""Prints the version resource and the application manifest of a PE file.

pe_resources.py <program.exe>

One line each: "FileVersion(fixed) a.b.c.d" and "ProductVersion(fixed)
a.b.c.d" from VS_FIXEDFILEINFO, "Name=value" for every string of the
StringFileInfo, "manifest: requestedExecutionLevel <level>" and
"manifest: supportedOS {<id>}" from the RT_MANIFEST resource. Reads the
resource directory itself, so no Windows tool is needed.
"""
import re
import struct
import sys

RT_VERSION = 16
RT_MANIFEST = 24


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    out = []
    for i in range(count):
        name, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        out.append((name.rstrip(b"\0"), vaddr, max(vsize, rsize), raw))
    return out


def resources(data):
    """(type, id, bytes) of every resource leaf."""
    rsrc = [s for s in sections(data) if s[0] == b".rsrc"]
    if not rsrc:
        return []
    _, base_rva, _, base_raw = rsrc[0]

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base_raw + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base_raw + offset + 16 + 8 * i)
            yield name & 0x7FFFFFFF, target

    out = []
    for rtype, t1 in entries(0):
        for rid, t2 in entries(t1 & 0x7FFFFFFF):
            for _, leaf in entries(t2 & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base_raw + leaf)
                start = base_raw + rva - base_rva
                out.append((rtype, rid, data[start:start + size]))
    return out


def version_nodes(block, offset, end):
    """Walks VS_VERSIONINFO-style nodes: (key, value bytes, children range)."""
    while offset + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", block, offset)
        if length == 0:
            break
        key_end = offset + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[offset + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        yield key, block[value_at:value_at + value_bytes], (value_at + value_bytes + 3) & ~3, offset + length
        offset = (offset + length + 3) & ~3


def fixed_version(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def main():
    data = open(sys.argv[1], "rb").read()
    for rtype, _, block in resources(data):
        if rtype == RT_VERSION:
            for key, value, children, end in version_nodes(block, 0, len(block)):
                signature, _, fms, fls, pms, pls = struct.unpack_from("<6I", value, 0)
                assert signature == 0xFEEF04BD, "no VS_FIXEDFILEINFO"
                print("FileVersion(fixed)", fixed_version(fms, fls))
                print("ProductVersion(fixed)", fixed_version(pms, pls))
                for name, _, inner, inner_end in version_nodes(block, children, end):
                    if name != "StringFileInfo":
                        continue
                    for _, _, strings, strings_end in version_nodes(block, inner, inner_end):
                        for sname, svalue, _, _ in version_nodes(block, strings, strings_end):
                            print("%s=%s" % (sname, svalue.decode("utf-16-le").rstrip("\0")))
        elif rtype == RT_MANIFEST:
            text = block.decode("utf-8")
            for level in re.findall(r'requestedExecutionLevel\s+level="([^"]+)"', text):
                print("manifest: requestedExecutionLevel", level)
            for os_id in re.findall(r'supportedOS\s+Id="([^"]+)"', text):
                print("manifest: supportedOS", os_id)


if __name__ == "__main__":
    main()
