"""An SFTP server that misbehaves as --mode says, for the engine's tests;
loaded by tools/asyncssh-sftp-server.py --module. The modes:
  cap:N            answers each READ with at most N bytes
  reorder          sends the answers to READs in swapped pairs
  eof-end:N        stat and listing say N bytes more than the open file has
  eof:N            says end of file from byte N on
  endless-data     answers every READ in full, past the end with zeros
  long-data        answers every READ with a byte more than asked
  zero-data        answers every READ with DATA of no bytes
  big-status       answers every READ with a status of 70,000 bytes
  slow             trickles every answer: 4 KiB each 0.12 s
  bad-name         answers the listing with a NAME that libssh cannot parse
  endless-listing  a directory that never ends
  listing:N:B      a directory of N entries whose names have B bytes in all
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
from asyncssh.packet import UInt32


async def forever(*_):
    await asyncio.Event().wait()


def names(count, total):
    """count names of total bytes in all, each a file of one byte."""
    attrs = asyncssh.SFTPAttrs(size=1, permissions=0o100644, mtime=861_000_000)
    for i in range(count):
        length = total // count + (i < total % count)
        yield asyncssh.SFTPName(b"%07d" % i + b"x" * (length - 7), b"", attrs)


def make_server(root, args):
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", required=True)
    name, _, numbers = parser.parse_args(args).mode.partition(":")
    limits = [int(n) for n in numbers.split(":") if n]
    limit = limits[0] if limits else 0
    handler = sftp.SFTPServerHandler
    handlers = dict(handler._packet_handlers)
    send = handler.send_packet

    if name == "stall-init":
        handler.run = forever
    elif name == "reorder":
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
    elif name == "slow":
        def send_slowly(self, pkttype, pktid, *args):
            if pkttype != sftp.FXP_DATA:
                return send(self, pkttype, pktid, *args)
            payload = bytes([pkttype]) + b"".join(args)
            data = UInt32(len(payload)) + payload
            loop = asyncio.get_running_loop()
            self.due = max(loop.time(), getattr(self, "due", 0))
            for at in range(0, len(data), 4096):
                loop.call_at(self.due, self._writer.write, data[at:at + 4096])
                self.due += 0.12

        handler.send_packet = send_slowly
    elif name == "bad-name":
        async def readdir(self, packet):
            self.mangle = True
            return await handlers[sftp.FXP_READDIR](self, packet)

        def send_mangled(self, pkttype, pktid, *args):
            if pkttype == sftp.FXP_NAME and getattr(self, "mangle", False):
                args = (UInt32(pktid), UInt32(3))  # three names promised, none there
            send(self, pkttype, pktid, *args)

        handlers[sftp.FXP_READDIR] = readdir
        handler.send_packet = send_mangled
    elif name == "zero-data":
        async def read(self, packet):
            return b"", False

        handlers[sftp.FXP_READ] = read
    elif name in ("endless-listing", "listing"):
        async def readdir(self, packet):
            packet.get_string()
            if not hasattr(self, "listing"):
                self.listing = names(*limits) if limits else (
                    asyncssh.SFTPName(b"F%07d.TXT" % i, b"", asyncssh.SFTPAttrs(
                        size=1, permissions=0o100644, mtime=861_000_000))
                    for i in range(10**12))
            batch = [entry for _, entry in zip(range(128), self.listing)]
            if not batch:
                raise sftp.SFTPEOFError
            return batch, False

        handlers[sftp.FXP_READDIR] = readdir
    handler._packet_handlers = handlers

    class Hostile(asyncssh.SFTPServer):
        async def read(self, file_obj, offset, size):
            if name == "stall-read":
                await forever()
            if name == "big-status":
                raise sftp.SFTPFailure("x" * 70_000)
            if name == "eof":
                size = max(0, min(size, limit - offset))
            more = 1 if name == "long-data" else 0
            data = super().read(file_obj, offset, size + more) if size else b""
            if name == "cap":
                data = data[:limit]
            return data + bytes(size - len(data)) if name == "endless-data" else data

        def grown(self, result):
            attrs = asyncssh.SFTPAttrs.from_local(result)
            attrs.size += (limit or 65536) if stat.S_ISREG(attrs.permissions) else 0
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
