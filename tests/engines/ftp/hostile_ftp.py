"""An FTP server that misbehaves as --mode says, for the engine's tests;
loaded by tools/pyftpdlib-server.py --module (kinds pyftpdlib and, with
AUTH TLS required, pyftpdlib-ftpes of tools/ftp-server.sh). The modes:
  plain            none of this
  stall-login      answers nothing after the login
  stall-cwd        answers nothing to CWD
  close-cwd        closes the control connection at CWD
  stall-transfer   opens a download's data connection, then sends nothing
  early-end        a download ends after half the bytes SIZE gave; 226 all the same
  more-data        a download sends 64 KiB more than SIZE gave
  endless-listing  MLSD and LIST never end
  hostile-names    MLSD and LIST name control characters (ESC, C1), "..",
                   "/", "\\" and bidi controls, besides NORMAL.TXT
  line-breaks      MLSD and LIST name names with CR and LF in them
  pasv-address     EPSV unknown; PASV names 127.0.0.2, where nobody listens
  no-tls           AUTH refused
  slow:N           every data answer spread over N seconds (default 4), a piece every 0.25 s
  no-mlsd          FEAT without MLST; MLSD and MLST unknown
  dos-list         no MLSD; LIST in the DOS form, as IIS writes it
  huge-size        every file 1 PiB large, to SIZE, MLST and the listings
"""

import argparse
import itertools
import os
import stat
import time

from pyftpdlib.handlers import BufferedIteratorProducer

WHEN = 861_405_120  # 1997-04-18 23:12 UTC
NAMES = {"hostile-names": ["NORMAL.TXT", "ESC\x1b[2J.TXT", "TAB\tBEL\x07DEL\x7f.TXT",
                           "C1\x85\x9b.TXT", "..", "../AUSSEN.TXT", "/ABSOLUT.TXT",
                           "UNTER/ORDNER.TXT", "RUECK\\STRICH.TXT", "RLO\u202eTXT.EXE",
                           "LRI\u2066NAME\u2069.TXT"],
         "line-breaks": ["NORMAL.TXT", "ZEILE\r\nUMBRUCH.TXT", "NUR\rCR.TXT", "NUR\nLF.TXT"]}
DOWNLOAD = {"early-end": lambda data: data[: len(data) // 2],
            "more-data": lambda data: data + bytes(65536)}
MODES = {"plain", "stall-login", "stall-cwd", "close-cwd", "stall-transfer", "early-end", "more-data", "endless-listing",
         "hostile-names", "line-breaks", "pasv-address", "no-tls", "slow", "no-mlsd", "dos-list",
         "huge-size"}
UNKNOWN = {"pasv-address": {"EPSV"}, "no-mlsd": {"MLSD", "MLST"}, "dos-list": {"MLSD", "MLST"}}


def mlsd_line(name, size, folder, when):
    return "type=%s;size=%d;modify=%s; %s\r\n" % (
        "dir" if folder else "file", size, time.strftime("%Y%m%d%H%M%S", time.gmtime(when)), name)


def unix_line(name, size, folder, when):
    return "%s   1 velmora  velmora %9d %s %s\r\n" % (
        "drwxr-xr-x" if folder else "-rw-r--r--", size,
        time.strftime("%b %d  %Y", time.gmtime(when)), name)


def dos_line(name, size, folder, when):  # 04-18-97  11:12PM               186911 TRANVIK7.EXE
    stamp = time.strftime("%m-%d-%y  %I:%M%p", time.gmtime(when))
    return "%s       <DIR>          %s\r\n" % (stamp, name) if folder else \
        "%s %20d %s\r\n" % (stamp, size, name)


def entries(mode, fs, path):
    if mode == "endless-listing":
        return (("F%07d.TXT" % i, 1, False, WHEN) for i in itertools.count())
    if mode in NAMES:
        return ((name, 1, False, WHEN) for name in NAMES[mode])
    found = ((name, fs.lstat(os.path.join(path, name))) for name in sorted(fs.listdir(path)))
    return ((name, s.st_size, stat.S_ISDIR(s.st_mode), s.st_mtime) for name, s in found)


def make_handler(base, args):
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", required=True)
    name, _, number = parser.parse_args(args).mode.partition(":")
    if name not in MODES:
        parser.error("unknown mode " + name)
    seconds = float(number or 4)

    class Data(base.dtp_handler):
        held = name in ("stall-transfer", "slow")

        def push_with_producer(self, producer):
            if name == "stall-transfer" and self.file_obj is not None:
                return
            if name != "slow" and (name not in DOWNLOAD or self.file_obj is None):
                return super().push_with_producer(producer)
            data = b"".join(iter(producer.more, b""))
            if name != "slow":
                return self.push(DOWNLOAD[name](data))
            step = max(1, -(-len(data) // max(1, int(seconds / 0.25))))
            pieces = [data[i:i + step] for i in range(0, len(data), step)]

            def next_piece():
                if pieces:
                    return self.push(pieces.pop(0))
                self.trickle.cancel()
                self.held = False
                self.close_when_done()

            self.trickle = self.ioloop.call_every(0.25, next_piece)

        def close_when_done(self):
            if not self.held or (name == "stall-transfer" and self.file_obj is None):
                super().close_when_done()

    class Files(base.abstracted_fs):
        def stat(self, path):
            found = super().stat(path)
            if name != "huge-size" or not stat.S_ISREG(found.st_mode):
                return found
            return os.stat_result(found[:6] + (1 << 50,) + found[7:10])

        lstat = stat

        def getsize(self, path):
            return self.stat(path).st_size

    class Hostile(base):
        dtp_handler = Data
        abstracted_fs = Files
        proto_cmds = {cmd: v for cmd, v in base.proto_cmds.items() if cmd not in UNKNOWN.get(name, ())}
        if name == "pasv-address":
            masquerade_address = "127.0.0.2"
        if name == "no-tls":
            proto_cmds["AUTH"] = dict(perm=None, auth=False, arg=True, help="Syntax: AUTH TLS")

            def ftp_AUTH(self, line):
                self.respond("534 Request denied for policy reasons.")
        if name == "dos-list":
            def ftp_SYST(self, line):
                self.respond("215 Windows_NT")

        def pre_process_command(self, line, cmd, arg):
            if name == "close-cwd" and cmd == "CWD":
                self.close()
            elif not (name == "stall-login" and self.authenticated or
                      name == "stall-cwd" and cmd == "CWD"):
                super().pre_process_command(line, cmd, arg)

        def listing(self, path, cmd, line):
            found = entries(name, self.fs, path)
            lines = (line(*entry).encode("utf-8", "surrogateescape") for entry in found)
            self.push_dtp_data(BufferedIteratorProducer(lines), isproducer=True, cmd=cmd)
            return path

        def ftp_LIST(self, path):
            if name not in ("endless-listing", "dos-list", *NAMES) or not self.fs.isdir(path):
                return super().ftp_LIST(path)
            return self.listing(path, "LIST", dos_line if name == "dos-list" else unix_line)

        def ftp_MLSD(self, path):
            if name not in ("endless-listing", *NAMES):
                return super().ftp_MLSD(path)
            return self.listing(path, "MLSD", mlsd_line)

    return Hostile
