#!/usr/bin/env python3
"""Registry values as files, for the Windows tests under Wine: a value read
from the file `reg export` writes is exact (no console to mangle it, however
long), and a value of any length is set by `reg import` (a command line holds
at most 32,767 characters).

  registry_file.py show FILE                 every value, a line each: [KEY] NAME=TYPE VALUE
  registry_file.py value FILE NAME           TYPE VALUE of one value, or "none"
  registry_file.py make KEY NAME TYPE VALUE OUT
                                             a file for `reg import` that sets the value
                                             (TYPE REG_SZ, REG_EXPAND_SZ, or REG_BINARY with
                                             VALUE in hexadecimal); VALUE "long:N" is N
                                             characters of PATH entries
"""
import sys


def text_of(data):
    return bytes(data).decode("utf-16-le").rstrip("\0")


def values(path):
    try:
        lines = open(path, encoding="utf-16").read().splitlines()
    except OSError:
        return []
    joined, pending = [], ""
    for line in lines:
        pending += line.strip() if pending else line
        if pending.endswith("\\") and "=hex" in pending:
            pending = pending[:-1]
            continue
        joined.append(pending)
        pending = ""
    key, found = None, []
    for line in joined:
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
        elif line.startswith('"') and '"=' in line:
            name, value = line[1:].split('"=', 1)
            if value.startswith('"'):
                found.append((key, name, "REG_SZ", value[1:-1].replace('\\"', '"').replace("\\\\", "\\")))
            elif value.startswith("dword:"):
                found.append((key, name, "REG_DWORD", str(int(value[6:], 16))))
            elif value.startswith("hex(2):"):
                found.append((key, name, "REG_EXPAND_SZ", text_of(int(b, 16) for b in value[7:].split(",") if b)))
            elif value.startswith("hex:"):
                found.append((key, name, "REG_BINARY", value[4:].replace(",", "")))
            else:
                found.append((key, name, "OTHER", value))
    return found


def long_path(length):
    text, n = "", 0
    while len(text) < length:
        text = (text + ";" if text else "") + "C:\\Tools\\dir%05d" % n
        n += 1
    return text[:length]


def hex_bytes(data):
    return ",".join("%02x" % b for b in data)


def main(argv):
    if argv[1] == "show":
        for key, name, kind, value in values(argv[2]):
            print("[%s] %s=%s %s" % (key, name, kind, value))
    elif argv[1] == "value":
        for _, name, kind, value in values(argv[2]):
            if name.lower() == argv[3].lower():
                print(kind, value)
                return
        print("none")
    elif argv[1] == "make":
        key, name, kind, value, out = argv[2:7]
        if value.startswith("long:"):
            value = long_path(int(value[5:]))
        if kind == "REG_SZ":
            line = '"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"'))
        elif kind == "REG_EXPAND_SZ":
            line = '"%s"=hex(2):%s' % (name, hex_bytes((value + "\0").encode("utf-16-le")))
        else:
            line = '"%s"=hex:%s' % (name, hex_bytes(bytes.fromhex(value)))
        text = "Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n%s\r\n\r\n" % (key, line)
        open(out, "w", encoding="utf-16", newline="").write(text)
    else:
        sys.exit("usage: see the top of registry_file.py")


main(sys.argv)
