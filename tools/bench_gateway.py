#!/usr/bin/env python3
"""A gateway for make bench, on 127.0.0.1 only, until it is killed.

    bench_gateway.py ftp ROOT PORT        pyftpdlib, user kelvane, password bench
    bench_gateway.py ftp-late ROOT PORT   the same, each reply 20 ms late, as
                                          over a link across a continent
    bench_gateway.py sftp ROOT PORT       asyncssh with host_key and user_key.pub
                                          of the current folder

Each prints "counted login" on standard error for every login.
"""
import sys
import time


def ftp(root, port, late):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    users = DummyAuthorizer()
    users.add_user("kelvane", "bench", root, perm="elradfmw")

    class Gateway(FTPHandler):
        authorizer = users

        def respond(self, resp, logfun=None):
            if late:
                time.sleep(0.02)
            return super().respond(resp)

        def on_login(self, username):
            print("counted login", file=sys.stderr, flush=True)

    FTPServer(("127.0.0.1", port), Gateway).serve_forever()


def sftp(root, port):
    import asyncio
    import asyncssh

    class Counting(asyncssh.SSHServer):
        def auth_completed(self):
            print("counted login", file=sys.stderr, flush=True)

    async def serve():
        await asyncssh.listen("127.0.0.1", port, server_host_keys=["host_key"],
                              authorized_client_keys="user_key.pub", server_factory=Counting,
                              sftp_factory=lambda chan: asyncssh.SFTPServer(chan, chroot=root))
        await asyncio.Future()

    asyncio.run(serve())


mode, root, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
if mode == "sftp":
    sftp(root, port)
else:
    ftp(root, port, mode == "ftp-late")
