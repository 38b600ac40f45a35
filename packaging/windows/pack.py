#!/usr/bin/python3
"""Pieces of scripts/release.sh that need more than the shell, all reproducible:
the same inputs and SOURCE_DATE_EPOCH give the same bytes.

  pack.py uuid NAME                    a name-based UUID (version 5) for NAME
  pack.py zip OUT.zip FILE...          the files, flat, sorted, fixed times and modes
  pack.py msi-summary FILE.msi UUID    sets the package code and both dates of
                                       an MSI's summary information
  pack.py pe-timestamp FILE...         sets each PE file's COFF time stamp

Times come from SOURCE_DATE_EPOCH."""
import os
import struct
import sys
import uuid
import zipfile

# Fixed for the project: the names hashed under it are the product's own.
NAMESPACE = uuid.UUID("6f1c2b8e-4d3a-4c5b-9e7f-2a1b3c4d5e6f")


def epoch():
    value = os.environ.get("SOURCE_DATE_EPOCH")
    if not value:
        sys.exit("pack.py: SOURCE_DATE_EPOCH is not set")
    return int(value)


def make_uuid(name):
    print(str(uuid.uuid5(NAMESPACE, name)).upper())


def make_zip(out, files):
    # Zip times are local calendar fields from 1980 on; UTC keeps them the
    # same wherever the build runs.
    import time
    stamp = time.gmtime(max(epoch(), 315532800))[:6]
    with zipfile.ZipFile(out + ".partial", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for path in sorted(files, key=os.path.basename):
            info = zipfile.ZipInfo(os.path.basename(path), date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the mode below is read
            info.external_attr = (0o100644 << 16)
            with open(path, "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)
    os.replace(out + ".partial", out)


# Summary information property IDs (the OLE property set of an MSI).
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64


def fix_summary(msi, package_code):
    """wixl writes a random package code and the build's clock into the
    summary stream; both are set here, in place, keeping its size."""
    import olefile
    filetime = (epoch() + 11644473600) * 10_000_000
    name = "\x05SummaryInformation"
    with olefile.OleFileIO(msi, write_mode=True) as ole:
        data = bytearray(ole.openstream(name).read())
        section = struct.unpack_from("<I", data, 44)[0]
        count = struct.unpack_from("<I", data, section + 4)[0]
        done = set()
        for i in range(count):
            pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
            at = section + offset
            kind = struct.unpack_from("<I", data, at)[0]
            if pid == PID_REVNUMBER and kind == VT_LPSTR:
                length = struct.unpack_from("<I", data, at + 4)[0]
                text = ("{%s}" % package_code.upper()).encode("ascii") + b"\0"
                if len(text) != length:
                    sys.exit("pack.py: unexpected package code length in %s" % msi)
                data[at + 8:at + 8 + length] = text
                done.add(pid)
            elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
                struct.pack_into("<Q", data, at + 4, filetime)
                done.add(pid)
        if done != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
            sys.exit("pack.py: %s lacks a package code or a date in its summary" % msi)
        ole.write_stream(name, bytes(data))


def pe_timestamp(paths):
    """Sets each PE file's COFF time stamp to SOURCE_DATE_EPOCH. GNU ld takes
    it from there itself; the ARM64 build's linker (lld) writes the time of
    the link, so two builds of the same commit would differ in these 4 bytes."""
    stamp = struct.pack("<I", epoch() & 0xFFFFFFFF)
    for path in paths:
        with open(path, "r+b") as f:
            data = f.read(0x400)
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
                sys.exit(f"pack.py: {path} is not a PE file")
            f.seek(pe + 8)
            f.write(stamp)


def main(argv):
    if len(argv) == 2 and argv[0] == "uuid":
        make_uuid(argv[1])
    elif len(argv) >= 3 and argv[0] == "zip":
        make_zip(argv[1], argv[2:])
    elif len(argv) >= 2 and argv[0] == "pe-timestamp":
        pe_timestamp(argv[1:])
    elif len(argv) == 3 and argv[0] == "msi-summary":
        fix_summary(argv[1], argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
