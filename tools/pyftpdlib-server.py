"""The pyftpdlib FTP server on a loopback port, for tools/ftp-server.sh.

Serves --root as the root of the session (chroot) to one user, read-only;
with --cert, AUTH TLS is required on the control and the data connections.
Writes "open" and "closed" to stderr as connections come and go.
--module FILE loads a file whose make_handler(handler, args) returns the
handler class to use instead; the arguments not known here go to it.
"""

import argparse
import importlib.util
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password-file", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--module")
    args, rest = parser.parse_known_args()

    class TLSData(TLS_DTPHandler):
        # pyftpdlib 1.5.7 closes a data connection that is readable before a
        # command gave it something to send: the client's TLS hello, here.
        def readable(self):
            return self._ssl_accepting or super().readable()

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    base = TLS_FTPHandler if args.cert else FTPHandler

    class Handler(base):
        certfile = args.cert
        keyfile = args.key
        tls_control_required = True
        tls_data_required = True
        authorizer = DummyAuthorizer()
        if args.cert:
            dtp_handler = TLSData

        def on_connect(self):
            print("open", file=sys.stderr, flush=True)

        def on_disconnect(self):
            print("closed", file=sys.stderr, flush=True)

    with open(args.password_file) as file:
        Handler.authorizer.add_user(args.user, file.read().strip(), args.root, perm="elr")

    handler = Handler
    if args.module:
        found = importlib.util.spec_from_file_location("ftp_module", args.module)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        handler = module.make_handler(Handler, rest)
    elif rest:
        parser.error("unknown arguments: " + " ".join(rest))

    FTPServer(("127.0.0.1", args.port), handler).serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
