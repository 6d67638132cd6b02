#!/usr/bin/env python3
"""make_release.py STRIP DLL VERSION TEXTS_DIR SOURCE_DIR OUT_DIR: packs the
release of the 32-bit plug-in, OUT_DIR/tebo_wrapper-VERSION-win32.zip, from
the DLL that the build made and the tests load. Staged in OUT_DIR/release:

- tebo_wrapper.dll: DLL stripped of its symbols and debug information;
- README-ja.txt, README-en.txt: TEXTS_DIR's texts with @VERSION@ filled in,
  as Windows Notepad reads them (UTF-8 with a byte-order mark, CRLF);
- SHA256SUMS: the three files' sums, as `sha256sum -c` reads them.

In the zip the four files sit in one folder, tebo_wrapper-VERSION/, so that
unpacking it into a folder that holds other plug-ins overwrites none of
their files (README-*.txt and SHA256SUMS are common names).

The same commit gives the same bytes in any folder at any time, so that a
user can rebuild a release and compare:
- strip keeps the PE time stamp that the linker wrote (0, --preserve-dates);
  otherwise it writes the current time (or SOURCE_DATE_EPOCH) there;
- every zip entry is dated SOURCE_DATE_EPOCH, else the commit's time, in
  UTC, carries fixed attributes and no extra fields (no access or change
  times, no owner), and is stored uncompressed, so the bytes do not depend
  on the zlib version either."""
import hashlib
import os
import subprocess
import sys
import time
import zipfile

# Order of the entries in SHA256SUMS and in the zip.
TEXTS = ["README-ja.txt", "README-en.txt"]
DLL_NAME = "tebo_wrapper.dll"
# The earliest time a zip entry can hold (1980-01-01 00:00 UTC).
ZIP_EPOCH = 315532800


def release_time(source_dir):
    """SOURCE_DATE_EPOCH if set, else the time of the commit checked out."""
    value = os.environ.get("SOURCE_DATE_EPOCH")
    if not value:
        try:
            value = subprocess.run(
                ["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            value = ""
    if not value:
        print("make_release: no commit time (no git?) and no "
              "SOURCE_DATE_EPOCH: the zip entries are dated 1980-01-01")
        return ZIP_EPOCH
    return max(int(value), ZIP_EPOCH)


def notepad_text(path, version):
    """The text of PATH with @VERSION@ filled in, as UTF-8 with a byte-order
    mark and CRLF line ends, whatever line ends the checkout gave it."""
    with open(path, encoding="utf-8") as source:
        text = source.read().replace("\r\n", "\n")
    if "@VERSION@" not in text:
        sys.exit(f"make_release: {path} does not name the version (@VERSION@)")
    text = text.replace("@VERSION@", version).replace("\n", "\r\n")
    return b"\xef\xbb\xbf" + text.encode("utf-8")


def main(strip, dll, version, texts_dir, source_dir, out_dir):
    stage = os.path.join(out_dir, "release")
    os.makedirs(stage, exist_ok=True)
    staged_dll = os.path.join(stage, DLL_NAME)
    subprocess.run([strip, "--strip-all", "--preserve-dates",
                    "-o", staged_dll, dll], check=True)
    files = {DLL_NAME: open(staged_dll, "rb").read()}
    for name in TEXTS:
        files[name] = notepad_text(os.path.join(texts_dir, name), version)
    files["SHA256SUMS"] = "".join(
        f"{hashlib.sha256(data).hexdigest()}  {name}\n"
        for name, data in files.items()).encode("ascii")
    for name, data in files.items():
        with open(os.path.join(stage, name), "wb") as out:
            out.write(data)

    stamp = time.gmtime(release_time(source_dir))[:6]
    folder = f"tebo_wrapper-{version}"
    zip_path = os.path.join(out_dir, f"{folder}-win32.zip")
    with zipfile.ZipFile(zip_path + ".tmp", "w", zipfile.ZIP_STORED) as archive:
        for name, data in files.items():
            entry = zipfile.ZipInfo(f"{folder}/{name}", date_time=stamp)
            entry.create_system = 3  # Unix: the attributes below are its mode
            entry.external_attr = 0o100644 << 16  # a plain file, rw-r--r--
            archive.writestr(entry, data)
    os.replace(zip_path + ".tmp", zip_path)
    print(f"make_release: {zip_path}")


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__.splitlines()[0])
    main(*sys.argv[1:])
