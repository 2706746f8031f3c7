"""An SFTP server that misbehaves as --mode says, for the engine's tests;
loaded by tools/asyncssh-sftp-server.py --module. The modes:
  cap:N            answers each READ with at most N bytes
  reorder          sends the answers to READs in swapped pairs
  eof-end          stat and listing say 64 KiB more than the open file has
  eof:N            says end of file from byte N on
  endless-data     answers every READ in full, past the end with zeros
  endless-listing  a directory that never ends
  empty-realpath   resolves every path to ""
  stall-init       never answers the SFTP start
  stall-read       never answers a READ
  plain            none of this
"""

import argparse
import asyncio
import stat

import asyncssh
from asyncssh import sftp


async def forever(*_):
    await asyncio.Event().wait()


def make_server(root, args):
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", required=True)
    name, _, number = parser.parse_args(args).mode.partition(":")
    limit = int(number or 0)
    handler = sftp.SFTPServerHandler
    if name == "stall-init":
        handler.run = forever
    elif name == "reorder":
        send = handler.send_packet

        def flush(self):
            held, self.held = getattr(self, "held", None), None
            if held:
                send(self, *held)

        def send_swapped(self, *packet):
            if packet[0] == sftp.FXP_DATA and not getattr(self, "held", None):
                self.held = packet
                asyncio.get_running_loop().call_later(0.05, flush, self)
            else:
                send(self, *packet)
                flush(self)

        handler.send_packet = send_swapped
    elif name == "endless-listing":

        async def readdir(self, packet):
            packet.get_string()
            self.listed = getattr(self, "listed", 0) + 128
            attrs = asyncssh.SFTPAttrs(size=1, permissions=0o100644, mtime=861_000_000)
            return [asyncssh.SFTPName(b"F%07d.TXT" % i, b"", attrs)
                    for i in range(self.listed - 128, self.listed)], False

        handler._packet_handlers = {**handler._packet_handlers, sftp.FXP_READDIR: readdir}

    class Hostile(asyncssh.SFTPServer):
        async def read(self, file_obj, offset, size):
            if name == "stall-read":
                await forever()
            if name == "eof":
                size = max(0, min(size, limit - offset))
            data = super().read(file_obj, offset, size) if size else b""
            if name == "cap":
                data = data[:limit]
            return data + bytes(size - len(data)) if name == "endless-data" else data

        def grown(self, result):
            attrs = asyncssh.SFTPAttrs.from_local(result)
            attrs.size += 65536 if stat.S_ISREG(attrs.permissions) else 0
            return attrs

        if name == "eof-end":
            def stat(self, path):
                return self.grown(super().stat(path))

            def lstat(self, path):
                return self.grown(super().lstat(path))
        if name == "empty-realpath":
            def realpath(self, path):
                return b""

    return lambda chan: Hostile(chan, chroot=root.encode())
