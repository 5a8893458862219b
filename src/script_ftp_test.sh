#!/usr/bin/env bash
# Converts an example, then feeds the command.txt it wrote to the real ftp
# client, logging in through a .netrc, against a real FTP server on
# 127.0.0.1; the bulletin must arrive in data/talvex/data/ byte for byte.
# Exits 77 (skipped) when the client or the server is not installed, or 1
# where KELVANE_NO_SKIP is set, as CI does.
set -euo pipefail
kelvane=$1
examples=$2
py=/usr/bin/python3
skip=77
[ -z "${KELVANE_NO_SKIP:-}" ] || skip=1

if ! command -v ftp >/dev/null 2>&1; then
	echo "skipped: no ftp client (Debian package ftp)"
	exit "$skip"
fi
if ! "$py" -c 'import pyftpdlib' 2>/dev/null; then
	echo "skipped: no FTP server (Debian package python3-pyftpdlib)"
	exit "$skip"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-ftp.XXXXXX")
server=
cleanup() {
	if [ -n "$server" ]; then
		kill "$server" 2>/dev/null || true
		wait "$server" 2>/dev/null || true
	fi
	rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$scratch/root/data/talvex/data" "$scratch/work" "$scratch/home"
# The server binds a port of its own choosing and writes it to port: no
# port is picked, released and bound again later. It also stops by
# itself, should this script be killed outright.
timeout 120 "$py" - "$scratch" >"$scratch/server.log" 2>&1 <<'EOF' &
import os, socket, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
scratch = sys.argv[1]
users = DummyAuthorizer()
users.add_user("kelvane", "test-only", scratch + "/root", perm="elradfmw")
FTPHandler.authorizer = users
sock = socket.socket()
sock.bind(("127.0.0.1", 0))
server = FTPServer(sock, FTPHandler)
with open(scratch + "/port.tmp", "w") as f:
    f.write(str(sock.getsockname()[1]))
os.rename(scratch + "/port.tmp", scratch + "/port")
server.serve_forever()
EOF
server=$!
for _ in $(seq 100); do
	[ ! -s "$scratch/port" ] || break
	kill -0 "$server" 2>/dev/null || { cat "$scratch/server.log"; exit 1; }
	sleep 0.1
done
port=$(cat "$scratch/port")

cd "$scratch/work"
cp "$examples/helpdesk.txt" .
"$kelvane" 36 helpdesk.txt >console.log || { cat console.log; exit 1; }
bulletin=$(ls BRAX_*)

printf 'machine 127.0.0.1 login kelvane password test-only\n' >"$scratch/home/.netrc"
chmod 600 "$scratch/home/.netrc"
HOME=$scratch/home timeout 60 ftp -p 127.0.0.1 "$port" <command.txt >ftp.log 2>&1 || true

status=0
cmp "$bulletin" "$scratch/root/data/talvex/data/$bulletin" || status=1
grep -q "$bulletin" ftp.log || { echo "dir did not list $bulletin"; status=1; }
if [ "$status" -ne 0 ]; then
	cat ftp.log "$scratch/server.log"
	exit 1
fi
echo "sent $bulletin ($(wc -c <"$bulletin") bytes) with $(command -v ftp) to 127.0.0.1:$port"
