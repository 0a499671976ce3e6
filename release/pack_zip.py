"""Writes the release zip, the same bytes from the same files: members in the order
given, each under the name given (a name may hold a folder: "files/ORVANE.exe") with a
fixed time stamp. Text members are plain ASCII and get CRLF line ends, which Notepad
needs.

    pack_zip.py ZIP NAME=FILE... --text NAME=FILE...
"""

import os
import sys
import zipfile

STAMP = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip can hold


def member(entry, text):
    name, _, path = entry.partition("=")
    if not name or not path:
        sys.exit(f"pack_zip.py: {entry}: not NAME=FILE")
    with open(path, "rb") as f:
        data = f.read()
    if text:
        try:
            data.decode("ascii")
        except UnicodeDecodeError as error:  # it would show as garbage in Notepad
            sys.exit(f"pack_zip.py: {path} is not plain ASCII text ({error.reason} at byte {error.start})")
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    info = zipfile.ZipInfo(name, STAMP)
    info.create_system = 0  # MS-DOS: no Unix owner or mode
    info.external_attr = 0
    info.compress_type = zipfile.ZIP_DEFLATED
    return info, data


def main(argv):
    if len(argv) < 3 or argv[1] == "--text":
        sys.stderr.write("usage: pack_zip.py ZIP NAME=FILE... --text NAME=FILE...\n")
        return 2
    out, given = argv[1], argv[2:]
    text = given.index("--text") if "--text" in given else len(given)
    members = [member(entry, False) for entry in given[:text]] + [member(entry, True) for entry in given[text + 1:]]
    partial = out + ".partial"
    with zipfile.ZipFile(partial, "w") as z:
        for info, data in members:
            z.writestr(info, data, compresslevel=9)
    os.replace(partial, out)  # never a half-written zip under the release name
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
