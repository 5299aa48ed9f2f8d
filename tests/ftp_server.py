#!/usr/bin/python3
"""A throw-away FTP server for the tests: pyftpdlib on 127.0.0.1.

Started by the tests with their own root and accounts; binds a free port,
then writes the port number to --port-file (atomically, so a reader never
sees half a number). Logs every command at debug level, so the data-connection
commands (PORT/EPRT or PASV/EPSV) and APPE show in --log. Runs until killed.

  ftp_server.py --port-file F --log F --user NAME:PASSWORD:HOME [--user ...]
"""
import argparse
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--user", action="append", default=[],
                    help="NAME:PASSWORD:HOME, full rights in HOME")
    args = ap.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    for spec in args.user:
        name, password, home = spec.split(":", 2)
        authorizer.add_user(name, password, home, perm="elradfmwMT")

    handler = FTPHandler
    handler.authorizer = authorizer
    # A wrong password is answered at once; the default makes every failed
    # login wait 3 s.
    handler.auth_failed_timeout = 0
    handler.use_gmt_times = True

    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.address[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.replace(tmp, args.port_file)
    server.serve_forever(handle_exit=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
