"""The asyncssh SFTP server on a loopback port, for tools/sftp-server.sh.

Serves --root as the root of the SFTP session (chroot), key login only.
Writes "open" and "closed" to stderr as connections come and go.
--module FILE loads a file whose make_server(root, args) returns the factory
of the SFTPServer for each session; the arguments not known here go to it.
"""

import argparse
import asyncio
import importlib.util
import sys

import asyncssh


class Server(asyncssh.SSHServer):
    def connection_made(self, conn):
        print("open", file=sys.stderr, flush=True)

    def connection_lost(self, exc):
        print("closed", file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host-key", required=True)
    parser.add_argument("--authorized-keys", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--module")
    args, rest = parser.parse_known_args()

    def factory(chan):
        return asyncssh.SFTPServer(chan, chroot=args.root.encode())

    if args.module:
        found = importlib.util.spec_from_file_location("sftp_module", args.module)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        factory = module.make_server(args.root, rest)
    elif rest:
        parser.error("unknown arguments: " + " ".join(rest))

    loop = asyncio.new_event_loop()
    loop.run_until_complete(
        asyncssh.listen(
            "127.0.0.1",
            args.port,
            server_factory=Server,
            server_host_keys=[args.host_key],
            authorized_client_keys=args.authorized_keys,
            sftp_factory=factory,
            allow_scp=False,
        )
    )
    loop.run_forever()


if __name__ == "__main__":
    main()
