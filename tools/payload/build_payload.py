#!/usr/bin/env python3
"""Builds the one payload the installer is tied to, in one step, so that the
archive, the installer file manifest and the installer's payload constants can
never come from different builds:

  <out-dir>/orvo-game-payload-<build id>.7z   the archive, exactly --size bytes
  <out-dir>/installer-files.tsv               the manifest (resource 105)
  --header                                    PayloadBuild.h from --template

The archive holds 14 files: the platform program, its data and support files
under "q9/", the companion programs with their identity files under
"assets/Tarn/", and 7-Zip under "tools/7zip/". Generated content comes from
fixed seeds; every file gets the same fixed time and mode; the archive lists
its files in sorted order; so the same inputs give the same bytes on every
machine, whatever its clock, time zone or umask.

The archive reaches its exact size through "q9/data/content.pak", a block of
incompressible generated data stored without compression in a block of its
own: the other files are compressed first, then the padding is sized so the
finished archive has exactly the required length.

Standard library only; the host's 7-Zip console program (7zz) makes the archive.
"""
import argparse
import calendar
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

ARCHIVE_PATTERN = "orvo-game-payload-{}.7z"
MANIFEST_NAME = "installer-files.tsv"
PADDING_PATH = "q9/data/content.pak"
FILE_COUNT = 14


class BuildError(Exception):
    pass


def build_time(build_id):
    """The build identifier YYYYMMDDHH as a fixed UTC file time."""
    if len(build_id) != 10 or not build_id.isdigit():
        raise BuildError("build id must be YYYYMMDDHH: " + build_id)
    y, mo, d, h = int(build_id[0:4]), int(build_id[4:6]), int(build_id[6:8]), int(build_id[8:10])
    return calendar.timegm((y, mo, d, h, 0, 0, 0, 0, 0))


def seeded_bytes(label, build_id, size):
    """`size` bytes of a fixed pseudo-random stream named by `label`."""
    return hashlib.shake_256(("orvo q9 " + label + " " + build_id).encode()).digest(size)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def crlf(text):
    return text.replace("\n", "\r\n").encode("utf-8")


def catalog(build_id):
    """The content catalogue: a header and 2,048 records of (id, offset, length,
    digest prefix) over content.pak, generated from a fixed seed."""
    entropy = seeded_bytes("catalog", build_id, 2048 * 8)
    out = bytearray(b"Q9CATLG1" + build_id.encode() + b"\0" * 6)
    offset = 0
    for i in range(2048):
        length = 4096 + int.from_bytes(entropy[i * 8:i * 8 + 4], "little") % 28672
        out += i.to_bytes(4, "little") + offset.to_bytes(8, "little") + length.to_bytes(4, "little")
        out += entropy[i * 8 + 4:i * 8 + 8]
        offset += length
    return bytes(out)


def payload_files(args):
    """Every file of the payload but the padding: relative path -> bytes."""
    bid = args.build_id
    files = {
        "OrvoQ9.exe": read(args.platform),
        "q9/platform.ini": crlf(
            "[platform]\n"
            "build=" + bid + "\n"
            "data-directory=.platform\n"
            "window-title=orvo game\n"
            "\n[content]\n"
            "catalog=q9/data/catalog.idx\n"
            "pack=" + PADDING_PATH + "\n"),
        "q9/locale/zh-CN.lang": crlf(
            "window.title=orvo game\n"
            "status.ready=平台已就绪\n"
            "status.updating=正在更新内容\n"
            "status.offline=无法连接，稍后将自动重试\n"),
        "q9/locale/en-US.lang": crlf(
            "window.title=orvo game\n"
            "status.ready=The platform is ready\n"
            "status.updating=Updating content\n"
            "status.offline=Cannot connect; the platform retries later\n"),
        "q9/support/readme.txt": crlf(
            "orvo game platform, build " + bid + "\n\n"
            "OrvoQ9.exe starts the platform. The installer runs it once with\n"
            "--record-install-user and once with --configure-platform-install;\n"
            "personal data lives in .platform beside it and is never part of\n"
            "an update.\n"),
        "q9/data/catalog.idx": catalog(bid),
        "tools/7zip/7z.exe": read(os.path.join(args.sevenzip_dir, "7z.exe")),
        "tools/7zip/7z.dll": read(os.path.join(args.sevenzip_dir, "7z.dll")),
        "tools/7zip/license.txt": read(os.path.join(args.sevenzip_dir, "License.txt")),
    }
    for companion in args.companion:
        name, _, path = companion.partition("=")
        if not name or not path:
            raise BuildError("--companion takes NAME=PATH: " + companion)
        role = args.role.get(name, "companion")
        files["assets/Tarn/" + name + ".exe"] = read(path)
        files["assets/Tarn/" + name + ".identity"] = (
            "name=" + name + "\nbuild=" + bid + "\nrole=" + role + "\n").encode()
    return files


def place(tree, relative, data, mtime):
    path = os.path.join(tree, *relative.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    # 7-Zip records the Unix mode too: fix it instead of taking the umask's.
    os.chmod(path, 0o755 if relative.endswith(".exe") or relative.endswith(".dll") else 0o644)
    os.utime(path, (mtime, mtime))


def run_7zz(sevenzip, cwd, arguments):
    command = [sevenzip, "a", "-t7z", "-mtm=on", "-mtc=off", "-mta=off", "-mmt=2", "-bso0", "-bsp0",
               "-y"] + arguments
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env=dict(os.environ, LC_ALL="C.UTF-8", TZ="UTC"))
    if done.returncode != 0:
        raise BuildError("7zz failed (%d): %s" % (done.returncode, done.stdout.decode(errors="replace")))


def listed_files(sevenzip, archive):
    """Path -> size of the files the finished archive lists."""
    done = subprocess.run([sevenzip, "l", "-slt", "-ba", archive], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=dict(os.environ, LC_ALL="C.UTF-8"))
    if done.returncode != 0:
        raise BuildError("7zz cannot list the archive: " + done.stdout.decode(errors="replace"))
    listing, path = {}, None
    for line in done.stdout.decode("utf-8").splitlines():
        if line.startswith("Path = "):
            path = line[7:]
        elif line.startswith("Size = ") and path is not None:
            listing[path] = int(line[7:])
            path = None
    return listing


def build_archive(args, files, work):
    """Writes the archive into `work` and returns (its path, the padding bytes)."""
    mtime = build_time(args.build_id)
    tree = os.path.join(work, "tree")
    for relative in sorted(files):
        place(tree, relative, files[relative], mtime)
    # Everything but the padding, compressed, in one solid block.
    base = os.path.join(work, "base.7z")
    run_7zz(args.host_7zz, tree, ["-mx=9", base] + sorted(files))

    stream = seeded_bytes("content", args.build_id, args.size)
    padding = args.size - os.path.getsize(base) - 1024
    candidate = os.path.join(work, "payload.7z")
    # The header grows only when a size needs another byte; two rounds settle it.
    for _ in range(6):
        if padding <= 0 or padding > len(stream):
            raise BuildError("the files do not fit in %d bytes" % args.size)
        place(tree, PADDING_PATH, stream[:padding], mtime)
        shutil.copyfile(base, candidate)
        # The compressed block is kept as it is; the padding gets a block of
        # its own, stored, and the header stays uncompressed so its length
        # follows the padding's size predictably.
        run_7zz(args.host_7zz, tree, ["-m0=Copy", "-mhc=off", candidate, PADDING_PATH])
        size = os.path.getsize(candidate)
        if size == args.size:
            return candidate, stream[:padding]
        padding += args.size - size
    raise BuildError("cannot reach an archive of exactly %d bytes" % args.size)


def manifest_text(files):
    """One line per file, sorted by path: digest TAB size TAB path CR LF."""
    lines = []
    for relative in sorted(files, key=lambda p: p.encode("utf-8")):
        data = files[relative]
        lines.append("%s\t%d\t%s\r\n" % (hashlib.sha256(data).hexdigest(), len(data), relative))
    return "".join(lines).encode("utf-8")


def header_text(template, values):
    text = template
    for key, value in values.items():
        text = text.replace("@" + key + "@", value)
    if "@ORVO_" in text:
        raise BuildError("the header template has a value this step does not make")
    return text.encode("utf-8")


def publish(path, data=None, source=None):
    """Replaces `path` only when its bytes change, so unchanged outputs keep
    their time and nothing that depends on them is rebuilt."""
    new = data if data is not None else read(source)
    if os.path.exists(path) and os.path.getsize(path) == len(new) and read(path) == new:
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "wb") as f:
        f.write(new)
    os.replace(temporary, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-id", required=True)
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--platform", required=True, help="OrvoQ9.exe")
    parser.add_argument("--companion", action="append", default=[], help="NAME=PATH of a companion program")
    parser.add_argument("--role", action="append", default=[], help="NAME=TEXT, a companion's role")
    parser.add_argument("--sevenzip-dir", required=True, help="7-Zip for Windows x64 (7z.exe, 7z.dll, License.txt)")
    parser.add_argument("--host-7zz", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--header", required=True)
    args = parser.parse_args()
    args.role = dict(r.partition("=")[::2] for r in args.role)
    # 7zz runs inside the staged tree.
    args.host_7zz = os.path.abspath(args.host_7zz)
    args.out_dir = os.path.abspath(args.out_dir)

    try:
        files = payload_files(args)
        os.makedirs(args.out_dir, exist_ok=True)
        work = tempfile.mkdtemp(prefix=".payload-", dir=args.out_dir)
        try:
            archive, padding = build_archive(args, files, work)
            files[PADDING_PATH] = padding
            if len(files) != FILE_COUNT:
                raise BuildError("the payload has %d files, not %d" % (len(files), FILE_COUNT))
            expected = {path: len(data) for path, data in files.items()}
            if listed_files(args.host_7zz, archive) != expected:
                raise BuildError("the archive does not hold exactly the payload files")
            manifest = manifest_text(files)
            archive_digest = hashlib.sha256(read(archive)).hexdigest()
            header = header_text(read(args.template).decode("utf-8"), {
                "ORVO_PAYLOAD_SHA256": archive_digest,
                "ORVO_PAYLOAD_SIZE": str(args.size),
                "ORVO_PAYLOAD_BUILD_ID": args.build_id,
                "ORVO_INSTALLER_MANIFEST_SHA256": hashlib.sha256(manifest).hexdigest(),
            })
            publish(os.path.join(args.out_dir, ARCHIVE_PATTERN.format(args.build_id)), source=archive)
            publish(os.path.join(args.out_dir, MANIFEST_NAME), data=manifest)
            publish(args.header, data=header)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    except (BuildError, OSError) as error:
        print("payload build: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
