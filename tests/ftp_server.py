#!/usr/bin/python3
"""A throw-away FTP server for the tests: pyftpdlib on 127.0.0.1.

Started by the tests with their own root and accounts; binds a free port,
then writes the port number to --port-file (atomically, so a reader never
sees half a number). Logs every command at debug level, so the data-connection
commands (PORT/EPRT or PASV/EPSV) and APPE show in --log. Runs until killed.
With --drop NAME:BYTES, a download of a file named NAME breaks off after BYTES
bytes: the server drops the data and the control connection, as a line that
goes down mid-transfer does. With --stall NAME:BYTES:SECONDS, a transfer of a
file named NAME (either way) stops for SECONDS once BYTES bytes have gone,
the whole server answering nothing meanwhile, and then goes on; the log says
"stalling NAME" when it starts and "going on with NAME" when it ends. --login-delay SECONDS delays the answer to a
wrong password (pyftpdlib's own delay, 3 s by default; 0 here unless set).
With --size NAME:BYTES, SIZE of a file named NAME is answered "213 BYTES",
whatever the file holds.

  ftp_server.py --port-file F --log F --user NAME:PASSWORD:HOME [--user ...]
                [--drop NAME:BYTES] [--stall NAME:BYTES:SECONDS]
                [--login-delay SECONDS] [--size NAME:BYTES]
"""
import argparse
import logging
import os
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


def carries(dtp, name):
    """Whether the data connection `dtp` transfers the file called `name`."""
    f = dtp.file_obj
    return f is not None and os.path.basename(getattr(f, "name", "")) == name


def dropping_dtp(name, limit):
    class DroppingDTPHandler(DTPHandler):
        def send(self, data):
            if not carries(self, name):
                return super().send(data)
            room = limit - self.tot_bytes_sent
            if room > 0:
                return super().send(data[:room])
            # The client gets no reply and no more data: both connections
            # simply close.
            self.cmd_channel.close()
            return 0
    return DroppingDTPHandler


def stalling_dtp(base, name, limit, seconds):
    class StallingDTPHandler(base):
        stalled = False

        def _stall(self):
            self.stalled = True
            logging.info("stalling %s", name)
            # The server stands still, as one that stops answering does.
            time.sleep(seconds)
            logging.info("going on with %s", name)

        def send(self, data):
            if self.stalled or not carries(self, name):
                return super().send(data)
            room = limit - self.tot_bytes_sent
            if room > 0:
                return super().send(data[:room])
            self._stall()
            return super().send(data)

        def handle_read(self):
            super().handle_read()
            if not self.stalled and carries(self, name) and self.tot_bytes_received >= limit:
                self._stall()
        # The base class reads through this alias of its own handle_read.
        handle_read_event = handle_read
    return StallingDTPHandler


def lying_size(base, name, size):
    class LyingSizeHandler(base):
        def ftp_SIZE(self, path):
            if os.path.basename(path) != name:
                return super().ftp_SIZE(path)
            self.respond("213 %s" % size)
    return LyingSizeHandler


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--user", action="append", default=[],
                    help="NAME:PASSWORD:HOME, full rights in HOME")
    ap.add_argument("--drop", help="NAME:BYTES, break off downloads of NAME")
    ap.add_argument("--stall", help="NAME:BYTES:SECONDS, stop transfers of NAME for a while")
    ap.add_argument("--login-delay", type=float, default=0,
                    help="seconds before a wrong password is answered")
    ap.add_argument("--size", help="NAME:BYTES, the SIZE reply for NAME")
    args = ap.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    for spec in args.user:
        name, password, home = spec.split(":", 2)
        authorizer.add_user(name, password, home, perm="elradfmwMT")

    handler = FTPHandler
    handler.authorizer = authorizer
    # A wrong password is answered at once unless asked otherwise; the
    # default makes every failed login wait 3 s.
    handler.auth_failed_timeout = args.login_delay
    handler.use_gmt_times = True
    if args.drop:
        name, limit = args.drop.rsplit(":", 1)
        handler.dtp_handler = dropping_dtp(name, int(limit))
    if args.stall:
        name, limit, seconds = args.stall.rsplit(":", 2)
        handler.dtp_handler = stalling_dtp(handler.dtp_handler, name, int(limit), float(seconds))
    if args.size:
        name, size = args.size.rsplit(":", 1)
        handler = lying_size(handler, name, int(size))
    if args.drop or args.stall:
        # Sends go through the handler's send(), where the limit is counted.
        handler.use_sendfile = False

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
