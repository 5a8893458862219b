#!/usr/bin/env bash
# kelvane-send against real servers on 127.0.0.1: curl against a pyftpdlib
# server that writes uploads slowly (2 kB every 10 ms, as a slow link
# does), OpenSSH's sftp against an asyncssh SFTP server, and a watcher that
# takes every file of the incoming folder whose name does not begin with a
# dot the moment it appears, as the gateway does. One row a step; the rows
# of a case share a folder. After each case, every bulletin taken must be
# whole, taken once, in conversion order, and written in delivered.log, and
# nothing still queued may have been taken.
#   kelvane_send_test.sh KELVANE-SEND   (with kelvane beside it)
# Exits 77 (skipped) when a client, a server or flock is not installed, or
# 1 where KELVANE_NO_SKIP is set, as CI does.
set -euo pipefail
send=$(realpath "$1")
py=/usr/bin/python3
skip=77
[ -z "${KELVANE_NO_SKIP:-}" ] || skip=1

for tool in curl sftp ssh-keygen flock setsid faketime strace; do
	command -v "$tool" >/dev/null 2>&1 || { echo "skipped: no $tool"; exit "$skip"; }
done
for module in pyftpdlib asyncssh; do
	"$py" -c "import $module" 2>/dev/null ||
		{ echo "skipped: no $module for $py (Debian package python3-$module)"; exit "$skip"; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-send.XXXXXX")
servers=()
accounts=()
# The accounts of the office rows carry this run's number, so that two
# runs at once never share or remove each other's.
sfx=$$
office_group=kt-office-$sfx
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
	# The servers started by a row's subshell are in servers.pids.
	[ ! -f "$scratch/servers.pids" ] || mapfile -t -O "${#servers[@]}" servers <"$scratch/servers.pids"
	for pid in "${servers[@]}"; do
		kill "$pid" 2>/dev/null || true
		wait "$pid" 2>/dev/null || true
	done
	for user in "${accounts[@]}"; do userdel "$user" 2>/dev/null || true; done
	[ "${#accounts[@]}" -eq 0 ] || groupdel "$office_group" 2>/dev/null || true
	rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
cd "$scratch"
incoming=$scratch/root/data/talvex/data
mkdir -p "$incoming" taken work home bin
# The temporary accounts run the programs too: copies they can reach,
# wherever the checkout is.
cp "$send" "$(dirname "$send")/kelvane" bin/
chmod 755 bin bin/*
send=$scratch/bin/kelvane-send
# Each server binds a port of its own choosing and writes it to NAME.port:
# no port is picked, released and bound again later.
port_of() {
	for _ in $(seq 100); do
		[ ! -s "$scratch/$1.port" ] || { cat "$scratch/$1.port"; return 0; }
		sleep 0.1
	done
	cat ./*.log >&2
	return 1
}
wait_port() {
	for _ in $(seq 100); do
		"$py" -c "import socket; socket.create_connection(('127.0.0.1', $1), 1)" 2>/dev/null && return 0
		sleep 0.1
	done
	cat ./*.log
	return 1
}

# The gateway: takes each file not named with a dot at once, and erases
# it; taken/N-NAME keeps the N-th file taken, taken.log its name. Files
# that one look finds are taken in the order they appeared (by the time
# of their rename, then by name where the clock cannot tell them apart).
timeout 230 "$py" - "$incoming" >watcher.log 2>&1 <<'EOF' &
import os, sys, time
incoming, n = sys.argv[1], 0
def appeared(entry):
    try:
        return (entry.stat().st_ctime_ns, entry.name)
    except FileNotFoundError:
        return (0, entry.name)
while True:
    for entry in sorted(os.scandir(incoming), key=appeared):
        if entry.name.startswith(".") or not entry.is_file():
            continue
        with open(entry.path, "rb") as f:
            data = f.read()
        os.unlink(entry.path)
        n += 1
        with open(f"taken/{n}-{entry.name}", "wb") as f:
            f.write(data)
        with open("taken.log", "a") as log:
            log.write(entry.name + "\n")
    time.sleep(0.001)
EOF
servers+=($!)

# FTP, slow: kelvane may do anything, norename may not rename, busy gets
# "452 try later" and full "552 Disk full" for every upload, sizelimit
# may not rename a file over 20000 bytes, refuseall may not rename any,
# endcheck refuses an upload over 20000 bytes at its end. The servers stop
# by themselves. With "later", the server binds its port, refusing
# connections, and listens once NAME.go appears.
start_ftp() {
	timeout 230 "$py" - "$scratch/root" "$1" "${2:-}" >>ftp-server.log 2>&1 <<'EOF' &
import os, socket, sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer
root, name, later = sys.argv[1], sys.argv[2], sys.argv[3] == "later"
sock = socket.socket()
sock.bind(("127.0.0.1", 0))
with open(name + ".port.tmp", "w") as f:
    f.write(str(sock.getsockname()[1]))
os.rename(name + ".port.tmp", name + ".port")
while later and not os.path.exists(name + ".go"):
    time.sleep(0.05)
users = DummyAuthorizer()
users.add_user("kelvane", "test-only", root, perm="elradfmw")
users.add_user("norename", "test-only", root, perm="elradmw")
users.add_user("busy", "test-only", root, perm="elradfmw")
users.add_user("sizelimit", "test-only", root, perm="elradfmw")
users.add_user("refuseall", "test-only", root, perm="elradfmw")
users.add_user("endcheck", "test-only", root, perm="elradfmw")
users.add_user("full", "test-only", root, perm="elradfmw")
class Slow(DTPHandler):
    ac_in_buffer_size = 2048
    def handle_read(self):
        super().handle_read()
        time.sleep(0.01)
    handle_read_event = handle_read
    # endcheck: a size limit applied to the file received, in a reply
    # that a terminal would obey.
    def handle_close(self):
        if (not self._closed and self.receive and self.cmd_channel.username == "endcheck"
                and self.get_transmitted_bytes() > 20000):
            self._resp = ("553 Over the size limit \x1b[31mRED\x1b[0m | x\rkelvane-send: "
                          "delivered everything", print)
            self.transfer_finished = False
            return self.close()
        return super().handle_close()
class Gateway(FTPHandler):
    authorizer = users
    dtp_handler = Slow
    def ftp_STOR(self, file, mode="w"):
        if self.username == "busy":
            return self.respond("452 Insufficient storage space, try later.")
        if self.username == "full":
            return self.respond("552 Disk full - please upload later")
        return super().ftp_STOR(file, mode)
    def ftp_RNTO(self, path):
        big = self.username == "sizelimit" and os.path.getsize(self._rnfr) > 20000
        if big or self.username == "refuseall":
            self._rnfr = None
            return self.respond("553 Bulletin over the size limit of 20000 bytes.")
        return super().ftp_RNTO(path)
FTPServer(sock, Gateway).serve_forever()
EOF
	echo $! >>"$scratch/servers.pids"
}
start_ftp ftp
start_ftp revived later
ftp_port=$(port_of ftp)
revived_port=$(port_of revived)
wait_port "$ftp_port"

# SFTP: any user with the test's key; norename may not rename.
ssh-keygen -q -t ed25519 -N '' -f host_key
ssh-keygen -q -t ed25519 -N '' -f user_key
ssh-keygen -q -t ed25519 -N '' -f other_key
timeout 230 "$py" - "$scratch/root" >sftp-server.log 2>&1 <<'EOF' &
import asyncio, os, sys
import asyncssh
root = sys.argv[1]
class NoRename(asyncssh.SFTPServer):
    def rename(self, old, new):
        raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "rename refused")
    posix_rename = rename
# Its login banner looks like sftp's echo of commands, which must not
# pass for one: norename's refused rename would read as a delivery.
class Counting(asyncssh.SSHServer):
    def connection_made(self, conn):
        self.conn = conn
    def begin_auth(self, username):
        self.conn.send_auth_banner("sftp> cd /data/talvex/data/\nsftp> put a b\n"
                                   "sftp> rename b c\nsftp> put d e\nAuthenticated to x\n")
        return True
    def auth_completed(self):
        with open("sftp-logins.log", "a") as log:
            log.write("login\n")
def sftp_factory(chan):
    norename = chan.get_extra_info("username") == "norename"
    return (NoRename if norename else asyncssh.SFTPServer)(chan, chroot=root)
async def main():
    servers = [await asyncssh.listen("127.0.0.1", 0, server_host_keys=["host_key"],
                                     server_factory=Counting, authorized_client_keys="user_key.pub",
                                     sftp_factory=sftp_factory),
               # No sftp subsystem: it takes the login and refuses the session.
               await asyncssh.listen("127.0.0.1", 0, server_host_keys=["host_key"],
                                     authorized_client_keys="user_key.pub")]
    for name, server in zip(["sftp", "nosftp"], servers):
        with open(name + ".port.tmp", "w") as f:
            f.write(str(server.sockets[0].getsockname()[1]))
        os.rename(name + ".port.tmp", name + ".port")
    await asyncio.Future()
asyncio.run(main())
EOF
servers+=($!)
sftp_port=$(port_of sftp)
nosftp_port=$(port_of nosftp)
for port in "$sftp_port" "$nosftp_port"; do
	printf '[127.0.0.1]:%s %s\n' "$port" "$(cut -d' ' -f1,2 host_key.pub)"
done >known_hosts
printf '[127.0.0.1]:%s %s\n' "$sftp_port" "$(cut -d' ' -f1,2 other_key.pub)" >changed_hosts
wait_port "$sftp_port"
sftp_options="-F /dev/null -P $sftp_port -o IdentitiesOnly=yes -o UserKnownHostsFile=$scratch/known_hosts -o StrictHostKeyChecking=yes"

# A gateway that takes the connection and never answers, and two ports
# bound but never listening, where nothing answers: down and dead.
timeout 230 "$py" -c '
import os, socket
socks = {}
for name in ("stall", "down", "dead"):
    socks[name] = socket.socket()
    socks[name].bind(("127.0.0.1", 0))
    with open(name + ".port.tmp", "w") as f:
        f.write(str(socks[name].getsockname()[1]))
    os.rename(name + ".port.tmp", name + ".port")
socks["stall"].listen(8)
held = []
while True:
    held.append(socks["stall"].accept())
' >stall.log 2>&1 &
servers+=($!)
stall_port=$(port_of stall)
down_port=$(port_of down)
dead_port=$(port_of dead)
wait_port "$stall_port"

# kelvane-send beside a kelvane that waits 2 s after converting: two jobs
# that did not take turns would each read the other's command.txt.
mkdir slow
cp "$send" slow/kelvane-send
# shellcheck disable=SC2016 # the wrapper's own variables
printf '#!/bin/sh\n"%s" "$@"\nstatus=$?\nsleep 2\nexit $status\n' "$(dirname "$send")/kelvane" >slow/kelvane
chmod +x slow/kelvane

# A message for each name a row uses: big*.txt about 600 kB, mid*.txt
# about 60 kB, empty*.txt empty, w*.txt a meteorologist's warning, any
# other a line of its own.
messages() {
	local word
	for word; do
		case $word in
		big*.txt) [ -e "$word" ] || yes 'Gale warning: west to northwest winds 35 to 45 knots.' |
			head -n 11000 >"$word" ;;
		mid*.txt) [ -e "$word" ] || yes 'Gale warning: west to northwest winds 35 to 45 knots.' |
			head -n 1100 >"$word" ;;
		empty*.txt) : >"$word" ;;
		w*.txt) [ -e "$word" ] || printf 'WWIO20 BRAX 070815\nGale warning %s.\n' "$word" >"$word" ;;
		*.txt) [ -e "$word" ] || echo "message $word of $(basename "$PWD")" >"$word" ;;
		esac
	done
}

# The dot files left in the gateway's incoming folder.
dots() {
	find "$incoming" -name '.*' -type f -printf x | wc -c
}
# How many bars a --check line in file $1 holds, and semicolons before
# the first.
bars() {
	awk -F'|' '{ print NF - 1, gsub(/;/, ";", $1) }' "$1"
}

failures=0
fail() {
	echo "FAIL $*"
	failures=$((failures + 1))
}

# Accounts for the office rows (root only): the sending account and two
# members of its group; removed at the end, whatever fails.
accounts=()
if [ "$(id -u)" -eq 0 ] && command -v useradd >/dev/null 2>&1; then
	groupadd "$office_group"
	for user in kt-send kt-met1 kt-met2; do
		useradd --no-create-home --shell /bin/sh --gid "$office_group" "$user-$sfx" &&
			accounts+=("$user-$sfx")
	done
	chmod 755 "$scratch" "$scratch/work"
fi

# Runs one row in work/CASE: kelvane-send with ARGUMENTS, or an action:
# "!sh COMMAND"; "!kill WHO SIGNAL ARGUMENTS", kelvane-send killed (its
# process group, its pid alone or its client alone once an upload has
# begun, its group once three are delivered with group-later); "!two
# ARGUMENTS", two kelvane-send jobs at once with the slow kelvane, each
# converting a message of its own; "!bg ARGUMENTS", kelvane-send left
# running once it is sending, and "!wait" for it. Before the
# arguments, "{as USER}" runs the row as that account with umask 077, and
# "{at OFFSET}" under a clock moved by OFFSET (faketime, file times left
# alone). {month} is the first of this month.
step() {
	local case=$1 arguments=$2 want_status=$3 want_line=$4 status=0 got as='' at='' word
	for word in kt-send kt-met1 kt-met2 kt-office; do
		arguments=${arguments//$word/$word-$sfx} want_line=${want_line//$word/$word-$sfx}
	done
	if [[ $arguments == "{as "* ]]; then
		as=${arguments#\{as } as=${as%%\}*} arguments=${arguments#*\} }
		if [ "${#accounts[@]}" -eq 0 ]; then
			[ -z "${KELVANE_NO_SKIP:-}" ] || fail "$case, $2: needs root and useradd"
			echo "skip $case, $2: needs root and useradd"
			return
		fi
	fi
	arguments=${arguments//\{month\}/$(date -u +%Y-%m-01)}
	[[ $arguments != "{at "* ]] || { at=${arguments#\{at } at=${at%%\}*} arguments=${arguments#*\} }; }
	local home=home/$case${as:+-$as}
	mkdir -p "work/$case" "$home"
	[ -e "$home/.netrc" ] || printf 'machine 127.0.0.1 login kelvane password test-only\n' >"$home/.netrc"
	chmod 600 "$home/.netrc"
	[ -z "$as" ] || chown -R "$as" "$home"
	arguments=${arguments//\{ftp\}/127.0.0.1 $ftp_port}
	arguments=${arguments//\{down\}/127.0.0.1 $down_port}
	arguments=${arguments//\{revived\}/127.0.0.1 $revived_port}
	arguments=${arguments//\{stall\}/127.0.0.1 $stall_port}
	arguments=${arguments//\{dead\}/$dead_port}
	arguments=${arguments//\{port\}/$ftp_port}
	arguments=${arguments//\{nosftp key\}/${sftp_options/-P $sftp_port/-P $nosftp_port} -i $scratch/user_key}
	arguments=${arguments//\{unknown host\}/-F /dev/null -P $sftp_port -o UserKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -i $scratch/user_key}
	arguments=${arguments//\{no known_hosts\}/-F /dev/null -P $sftp_port -o UserKnownHostsFile=$scratch/none -i $scratch/user_key}
	arguments=${arguments//\{changed host\}/-F /dev/null -P $sftp_port -o UserKnownHostsFile=$scratch/changed_hosts -i $scratch/user_key}
	arguments=${arguments//\{key\}/$sftp_options -i $scratch/user_key}
	arguments=${arguments//\{other key\}/$sftp_options -i $scratch/other_key}
	if [[ $arguments == *"{held}"* ]]; then
		arguments=${arguments//\{held\}/$(find "work/$case/held" -name '*BRAX_*' ! -name '*.failed' -printf '%f\n' | grep -o 'BRAX_[0-9]*\.[0-9]*' | head -n 1)}
	fi
	(
		cd "work/$case"
		export HOME=$scratch/$home scratch send
		run() {
			if [ -n "$as" ]; then
				setpriv --reuid "$as" --regid "$office_group" --init-groups sh -c 'umask 077; exec "$@"' sh "$@"
			elif [ -n "$at" ]; then
				NO_FAKE_STAT=1 faketime -f "$at" "$@"
			else
				"$@"
			fi
		}
		: >started
		# Waits until an upload of more than 1 kB has begun, or with
		# "delivered" until three bulletins are delivered.
		uploading() {
			for _ in $(seq 200); do
				if [ "${1:-}" = delivered ]; then
					[ "$({ wc -l <delivered.log; } 2>/dev/null || echo 0)" -lt 3 ] || break
				else
					[ -z "$(find "$incoming" -name '.BRAX_*' -size +1k -newer started)" ] || break
				fi
				sleep 0.05
			done
		}
		# shellcheck disable=SC2086 # the arguments are words
		case $arguments in
		"!sh "*)
			if [ -n "$as" ]; then run sh -c "${arguments#!sh }"; else eval "${arguments#!sh }"; fi >step.log 2>&1
			;;
		"!kill "*)
			set -- ${arguments#!kill }
			local who=$1 signal=$2
			shift 2
			messages "$@"
			setsid "$send" "$@" >step.log 2>&1 &
			uploading "$(if [ "$who" = "group-later" ]; then echo delivered; fi)"
			case $who in
			pid) kill "-$signal" "$!" ;;
			client)
				# The file holds the pid and a blank, with no line feed.
				{ read -r client || :; } <"/proc/$!/task/$!/children"
				kill "-$signal" "$client"
				;;
			*) kill "-$signal" -- "-$!" ;;
			esac
			{ wait "$!"; } 2>/dev/null || true
			;;
		"!two "*)
			set -- ${arguments#!two }
			messages a.txt b.txt
			for job in a b; do
				(timeout 60 "$scratch/slow/kelvane-send" "$1" "$job.txt" "${@:2}" >"job-$job.log" 2>&1
					echo $? >"job-$job.status") &
			done
			wait
			cat job-a.status job-b.status | sort -u | tr -d '\n' >step.status
			cat job-a.log job-b.log >step.log
			exit "$(cat step.status)"
			;;
		"!bg "*)
			set -- ${arguments#!bg }
			messages "$@"
			rm -f bg.status
			(run timeout 60 "$send" "$@" >bg.log 2>&1; echo $? >bg.status) &
			for _ in $(seq 100); do ! grep -q '^kelvane-send: sending' bg.log || break; sleep 0.05; done
			: >step.log
			;;
		"!wait")
			for _ in $(seq 600); do [ ! -e bg.status ] || break; sleep 0.1; done
			cat bg.log >step.log
			exit "$(cat bg.status)"
			;;
		*)
			set -- $arguments
			messages "$@"
			[ -z "$as" ] || chown "$as" ./*.txt 2>/dev/null || true
			run timeout 60 "$send" "$@" >step.log 2>&1
			;;
		esac
	) || status=$?
	rows=$((rows + 1))
	sed -n "s/^kelvane-send: queued \(BRAX_[^ ]*\) .* as outbox\/\([0-9]*\)\..*/$rows \2 \1/p" \
		"work/$case/step.log" >>"work/$case/order"
	got=$(tail -n 1 "work/$case/step.log" 2>/dev/null || true)
	# shellcheck disable=SC2053 # the line wanted is a pattern
	if [ "$status" != "$want_status" ]; then
		fail "$case, $2: status $status, want $want_status"
		cat "work/$case/step.log"
	elif [ "$want_line" = "-" ] && [ -s "work/$case/step.log" ]; then
		fail "$case, $2: printed '$got', want nothing"
	elif [ -n "$want_line" ] && [ "$want_line" != "-" ] && [[ "$got" != $want_line ]]; then
		fail "$case, $2: last line '$got', want '$want_line'"
		cat "work/$case/step.log"
	else
		echo "ok   $case, $2: $status $got"
	fi
}

# After a case: what the watcher took since it began (from line $2 of
# taken.log on) against the case's folder: whole, once (the killed cases
# may send one twice), not still queued, in delivered.log's order, and in
# conversion order (the hold cases only within each heading).
check_case() {
	local case=$1 from=$2 dir=work/$1 n name taken delivered twice=0 rank
	local -A seen=() last=()
	n=$from
	while read -r name; do
		n=$((n + 1))
		if [ -n "${seen[$name]:-}" ]; then
			twice=$((twice + 1))
			if [[ $case != killed* ]] || [ "$twice" -gt 1 ]; then fail "$case: $name taken twice"; fi
		fi
		seen[$name]=1
		local kept
		kept=$(find "$dir" -maxdepth 3 -name "$name" ! -path '*/outbox/*' ! -path '*/held/*' -print -quit)
		cmp -s "taken/$n-$name" "$kept" || fail "$case: $name taken, but not the whole bulletin"
		! ls "$dir"/outbox/*"$name" >/dev/null 2>&1 || fail "$case: $name taken, but still queued"
	done < <(tail -n "+$((from + 1))" taken.log)
	taken=$(tail -n "+$((from + 1))" taken.log | awk '!seen[$0]++' | tr '\n' ' ')
	delivered=$(cat "$dir"/archive/*/delivered.log* "$dir/delivered.log" 2>/dev/null |
		awk '$5 != "dropped" { print $2 }' | tr '\n' ' ' || true)
	[ "$taken" = "$delivered" ] || fail "$case: taken '$taken', delivered.log '$delivered'"
	rank=0
	while read -r _ _ name; do
		rank=$((rank + 1))
		seen[$name]=$rank
	done < <(sort -k1,1n -k2,2n "$dir/order" 2>/dev/null)
	for name in $delivered; do
		local heading=all
		[[ $case != hold* ]] || heading=$(head -c 29 "$dir/$name" | tail -c 11)
		[ "${seen[$name]:-0}" -gt "${last[$heading]:-0}" ] ||
			fail "$case: $name delivered out of conversion order"
		last[$heading]=${seen[$name]:-0}
	done
}

: >taken.log
current='' from=0 rows=0
# case | kelvane-send arguments or action | status | last line (a pattern)
while IFS='|' read -r case arguments status line; do
	[ -n "$case" ] || continue
	if [ "$case" != "$current" ]; then
		[ -z "$current" ] || check_case "$current" "$from"
		current=$case from=$(wc -l <taken.log)
	fi
	step "$case" "$arguments" "$status" "$line"
done <<'EOF'
ftp|36 mid.txt ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://127.0.0.1:*/data/talvex/data/; nothing queued
ftp|!sh tail -n 1 delivered.log|0|20??-??-??T??:??:??Z BRAX_* bytes ftp://127.0.0.1:*/data/talvex/data/ NOUS71 BRAX ?????? root
sftp|36 m1.txt sftp {key} talvex@127.0.0.1|0|kelvane-send: delivered BRAX_* to sftp://talvex@127.0.0.1/data/talvex/data/; nothing queued
outage|36 m1.txt ftp {revived}|75|kelvane-send: TEMPFAIL: cannot reach 127.0.0.1:* (curl exit 7), run kelvane-send --retry to try again; 1 bulletin queued: BRAX_*
outage|36 m2.txt ftp {revived}|75|*; 2 bulletins queued, the oldest BRAX_*
outage|36 m3.txt ftp {revived}|75|*; 3 bulletins queued, the oldest BRAX_*
outage|--status|1|BRAX_* bytes, NOUS71 BRAX ??????, queued since 20??-??-?? ??:??:?? UTC, last failure: none seen
outage|--check|0|KELVANE-SEND OK: 3 queued, the oldest BRAX_* for 0 min * | queued=3 held=0;;0 oldest=*s;300;900
outage|!sh touch -d '+2 hours' outbox/*|0|
outage|{at +6m} --check|1|KELVANE-SEND WARNING: 3 queued, the oldest BRAX_* for 6 min * | queued=3 held=0;;0 oldest=3??s;300;900
outage|{at +16m} --check --warn 10 --critical 15|2|KELVANE-SEND CRITICAL: 3 queued, * | queued=3 held=0;;0 oldest=9??s;600;900
outage|{at -2h} --check|2|KELVANE-SEND CRITICAL: 3 queued, the oldest BRAX_* queued 1?? min * s ahead of the clock, which was set back since | queued=3 held=0;;0 oldest=7???s;300;900
outage|--check --warn soon|3|KELVANE-SEND UNKNOWN: usage: --warn takes MINUTES from 0 to 525600, not soon
outage|--check --critical 99999999999999999999|3|KELVANE-SEND UNKNOWN: usage: --critical takes MINUTES from 0 to 525600, not 99999999999999999999
outage|--check --warn 20 --critical 10|3|KELVANE-SEND UNKNOWN: usage: --warn 20 is above --critical 10
outage|!sh cd / && "$send" --check; echo "status $?"|0|status 3
outage|!sh cd / && "$send" --check|3|KELVANE-SEND UNKNOWN: / is not a kelvane-send folder (no outbox/, held/, drop/ or kelvane-send.conf): give the folder with -C DIR
outage|!sh dir=$PWD && cd / && "$send" -C "$dir" --check|0|KELVANE-SEND OK: 3 queued, the oldest BRAX_* for 0 min * | queued=3 held=0;;0 oldest=*s;300;900
outage|!sh "$send" -C "$scratch/taken" --check|3|KELVANE-SEND UNKNOWN: */taken is not a kelvane-send folder *
outage|-C nowhere --check|3|KELVANE-SEND UNKNOWN: cannot enter nowhere (No such file or directory)
outage|-C nowhere --retry ftp {revived}|1|kelvane-send: FAILED: cannot enter nowhere (No such file or directory); nothing converted or sent
outage|!sh touch "$scratch/revived.go" && wait_port "$revived_port"|0|
outage|--retry ftp {revived}|0|kelvane-send: delivered 3 bulletins to ftp://*; nothing queued
outage|--status|0|kelvane-send: nothing queued
outage|--retry ftp {revived}|0|-
retries|36 m1.txt ftp {down}|75|kelvane-send: TEMPFAIL: *, run kelvane-send --retry to try again; 1 bulletin queued: BRAX_*
retries|!sh cp /bin/sh "$scratch/cron" && "$scratch/cron" -c '"$1" --retry ftp 127.0.0.1 "$2"; exit $?' sh "$send" {dead}|75|kelvane-send: TEMPFAIL: *, cron tries again at its next run; 1 bulletin queued: BRAX_*
retries|!sh wants=$HOME/.config/systemd/user/timers.target.wants && mkdir -p "$wants" && ln -s /dev/null "$wants/kelvane-send@$(systemd-escape --path "$PWD").timer"|0|
retries|--retry ftp {down}|75|kelvane-send: TEMPFAIL: *, the timer tries again within a minute; 1 bulletin queued: BRAX_*
sftp down|36 m1.txt sftp -F /dev/null -P {dead} talvex@127.0.0.1|75|*TEMPFAIL: cannot reach talvex@127.0.0.1 (sftp exit 255), *; 1 bulletin queued: BRAX_*
sftp words|36 m1.txt sftp -o NoSuchOption=1 {key} talvex@127.0.0.1|1|*FAILED: sftp refused its words (*Bad configuration option*; 1 bulletin queued: BRAX_*
sftp words|--retry sftp {nosftp key} talvex@127.0.0.1|1|*FAILED: the gateway took the login of talvex@127.0.0.1 but refused the sftp session, *
sftp words|--retry sftp {unknown host} talvex@127.0.0.1|1|*FAILED: host key of 127.0.0.1 unknown: add it to ~/.ssh/known_hosts, for example with ssh-keyscan, *
sftp words|--retry sftp {no known_hosts} talvex@127.0.0.1|1|*FAILED: host key of 127.0.0.1 unknown: *
sftp words|--retry sftp {changed host} talvex@127.0.0.1|1|*FAILED: host key of 127.0.0.1 is not the one in known_hosts: find out why before you mend it, *
sftp words|--retry sftp {key} talvex@127.0.0.1|0|kelvane-send: delivered BRAX_* to sftp://*; nothing queued
login|!sh echo machine 127.0.0.1 login kelvane password wrong >"$HOME/.netrc"|0|
login|36 m1.txt ftp {ftp}|1|kelvane-send: FAILED: login to 127.0.0.1:* refused (reply 530 *), mend that *; 1 bulletin queued: BRAX_*
login|--status|1|BRAX_* last failure: * UTC login to 127.0.0.1:* refused (reply 530 *)
login|!sh echo machine 127.0.0.1 login kelvane password test-only >"$HOME/.netrc"|0|
login|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_*; nothing queued
netrc|!sh echo machine gateway.example login kelvane password test-only >"$HOME/.netrc"|0|
netrc|36 m1.txt ftp {ftp}|1|kelvane-send: FAILED: */.netrc has no entry for 127.0.0.1 (add: machine 127.0.0.1 login USER password PASSWORD); nothing converted or sent; nothing queued
sftp login|36 m1.txt sftp {other key} talvex@127.0.0.1|1|*FAILED: login to talvex@127.0.0.1 refused, *; 1 bulletin queued: BRAX_*
rename|!sh echo machine 127.0.0.1 login norename password test-only >"$HOME/.netrc"|0|
rename|36 m1.txt ftp {ftp}|1|*FAILED: the gateway refused BRAX_* (rename of .BRAX_* to BRAX_* refused (reply 550 *)) and a probe too (rename refused (reply 550 *)): it takes nothing now, nothing held, mend that and run kelvane-send --retry; 1 bulletin queued: BRAX_*
rename|!sh dots|0|0
rename|!sh echo machine 127.0.0.1 login kelvane password test-only >"$HOME/.netrc"|0|
rename|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
sftp rename|36 m1.txt sftp {key} norename@127.0.0.1|1|*FAILED: the gateway refused BRAX_* (rename of .BRAX_* refused (*Permission denied)) and a probe too (upload or rename refused (*Permission denied)): it takes nothing now, nothing held, *; 1 bulletin queued: BRAX_*
sftp rename|!sh dots|0|0
sftp rename|--retry sftp {key} talvex@127.0.0.1|0|kelvane-send: delivered BRAX_* to sftp://*; nothing queued
busy|!sh echo machine 127.0.0.1 login busy password test-only >"$HOME/.netrc"|0|
busy|36 m1.txt ftp {ftp}|75|*TEMPFAIL: 127.0.0.1:* refused for now (reply 452 *), *; 1 bulletin queued: BRAX_*
busy|!sh echo machine 127.0.0.1 login full password test-only >"$HOME/.netrc"|0|
busy|--retry ftp {ftp}|75|*TEMPFAIL: the gateway refused BRAX_* (upload of .BRAX_* refused (reply 552 Disk full - please upload later)) and a probe too (upload refused (reply 552 *)): it takes nothing now, nothing held, run kelvane-send --retry to try again; 1 bulletin queued: BRAX_*
busy|!sh echo machine 127.0.0.1 login kelvane password test-only >"$HOME/.netrc"|0|
busy|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
hold|!sh echo machine 127.0.0.1 login sizelimit password test-only >"$HOME/.netrc"|0|
hold|2 w1.txt ftp {down}|75|*; 1 bulletin queued: BRAX_*
hold|36 mid.txt ftp {down}|75|*
hold|3 w2.txt ftp {down}|75|*
hold|36 m1.txt ftp {down}|75|*; 4 bulletins queued, the oldest BRAX_*
hold|--retry ftp {ftp}|1|kelvane-send: FAILED: held BRAX_* (rename of .BRAX_* to BRAX_* refused (reply 553 Bulletin over the size limit of 20000 bytes.)): see kelvane-send --status, then --release or --drop it; 1 bulletin queued: BRAX_*, 1 held: BRAX_*
hold|--status|1|BRAX_* bytes, NOUS71 BRAX ??????, queued since * UTC, held: * 553 Bulletin over the size limit of 20000 bytes.)
hold|--check|2|KELVANE-SEND CRITICAL: 1 held, BRAX_* (* 553 Bulletin over *), 1 queued | queued=1 held=1;;0 oldest=*s;300;900
hold|--retry ftp {ftp}|1|kelvane-send: FAILED: bulletins wait in held/ for a person: *; 1 bulletin queued: BRAX_*, 1 held: BRAX_*
hold|!sh echo machine 127.0.0.1 login kelvane password test-only >"$HOME/.netrc"|0|
hold|--release {held}|0|kelvane-send: released BRAX_*: queued again as outbox/*; 2 bulletins queued, the oldest BRAX_*
hold|--release BRAX_01.000000|1|kelvane-send: FAILED: BRAX_01.000000 is not held: nothing is; 2 bulletins queued, the oldest BRAX_*
hold|--retry ftp {ftp}|0|kelvane-send: delivered 2 bulletins to ftp://*; nothing queued
hold|!sh echo machine 127.0.0.1 login sizelimit password test-only >"$HOME/.netrc"|0|
hold|36 mid2.txt ftp {ftp}|1|kelvane-send: FAILED: held BRAX_* *; nothing queued, 1 held: BRAX_*
hold|--drop {held}|0|kelvane-send: dropped BRAX_*; delivered.log says so; nothing queued
hold|!sh tail -n 1 delivered.log|0|20??-??-??T??:??:??Z BRAX_* bytes dropped NOUS71 BRAX ?????? root, dropped by root
hold two|!sh echo machine 127.0.0.1 login sizelimit password test-only >"$HOME/.netrc"|0|
hold two|36 mid1.txt ftp {down}|75|*
hold two|37 mid2.txt ftp {down}|75|*
hold two|36 m1.txt ftp {down}|75|*
hold two|2 w1.txt ftp {down}|75|*; 4 bulletins queued, the oldest BRAX_*
hold two|--retry ftp {ftp}|1|kelvane-send: FAILED: held BRAX_* (rename * (reply 553 *)), BRAX_* (rename * (reply 553 *)): see kelvane-send --status, then --release or --drop it; 1 bulletin queued: BRAX_*, 2 held, the oldest BRAX_*
hold two|!sh awk '{ print $6 }' delivered.log|0|WWIO20
hold two|!sh dots|0|0
refused|!sh echo machine 127.0.0.1 login refuseall password test-only >"$HOME/.netrc"|0|
refused|36 m1.txt ftp {ftp}|1|kelvane-send: FAILED: the gateway refused BRAX_* (rename of .BRAX_* refused (reply 553 *)) and a probe too (rename refused (reply 553 *)): it takes nothing now, nothing held, mend that and run kelvane-send --retry; 1 bulletin queued: BRAX_*
refused|37 m2.txt ftp {ftp}|1|*nothing held, *; 2 bulletins queued, the oldest BRAX_*
refused|2 w1.txt ftp {ftp}|1|*nothing held, *; 3 bulletins queued, the oldest BRAX_*
refused|3 w2.txt ftp {ftp}|1|*nothing held, *; 4 bulletins queued, the oldest BRAX_*
refused|!sh "$send" --status >status.txt; grep -c 'last failure: .* and a probe too (rename refused (reply 553 ' status.txt|0|1
refused|!sh dots|0|0
refused|!sh echo machine 127.0.0.1 login kelvane password test-only >"$HOME/.netrc"|0|
refused|--retry ftp {ftp}|0|kelvane-send: delivered 4 bulletins to ftp://*; nothing queued
end|!sh echo machine 127.0.0.1 login endcheck password test-only >"$HOME/.netrc"|0|
end|36 mid.txt ftp {ftp}|1|kelvane-send: FAILED: held BRAX_* (upload of .BRAX_* refused at its end (reply 553 Over the size limit \\x1b?31mRED\\x1b?0m | x\\x0dkelvane-send: delivered everything)): see *; nothing queued, 1 held: BRAX_*
end|--status|1|BRAX_* held: * (reply 553 Over the size limit \\x1b?31mRED\\x1b?0m | x\\x0dkelvane-send: delivered everything)
end|!sh "$send" --check >check.txt; bars check.txt|0|1 0
end|!sh { "$send" --status; "$send" --check; } >both.txt; tr -d '\n\040-\176' <both.txt >odd.txt; wc -c <odd.txt|0|0
end|!sh dots|0|0
edges|!sh messages m1.txt && faketime -f '@2026-01-01 00:00:00' "$send" 36 m1.txt ftp {down} >/dev/null; echo outbox/*[0-9]|0|outbox/0000000001.0.BRAX_01.000000
edges|{at @{month} 00:05:00} --check|0|KELVANE-SEND OK: 1 queued, the oldest BRAX_01.000000 for 5 min 0 s | queued=1 held=0;;0 oldest=300s;300;900
edges|{at @{month} 00:05:01} --check|1|KELVANE-SEND WARNING: * oldest=301s;300;900
edges|{at @{month} 00:15:00} --check|1|KELVANE-SEND WARNING: * oldest=900s;300;900
edges|{at @{month} 00:15:01} --check|2|KELVANE-SEND CRITICAL: * oldest=901s;300;900
edges|{at @{month} 00:15:01} --check --warn 0 --critical 0|2|KELVANE-SEND CRITICAL: *
killed|!kill group KILL 36 big.txt ftp {ftp}|0|
killed|--status|1|BRAX_* bytes, * queued since *, last failure: none seen
killed|!sh dots|0|1
killed|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_*; nothing queued
killed|!sh dots|0|0
killed|!kill client KILL 36 big1.txt ftp {ftp}|0|kelvane-send: FAILED: curl was killed by signal 9 (Killed), sending BRAX_*, mend that and run kelvane-send --retry; 1 bulletin queued: BRAX_*
killed|!sh dots|0|1
killed|--retry sftp {key} talvex@127.0.0.1|0|kelvane-send: delivered BRAX_*; nothing queued
killed|!sh dots|0|0
killed pid|!kill pid TERM 36 big.txt ftp {ftp}|0|
killed pid|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_*; nothing queued
killed pid|!kill pid KILL 36 big2.txt ftp {ftp}|0|
killed pid|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_*; nothing queued
killed pid|!sh dots|0|0
removed|!sh messages big.txt m1.txt m2.txt && for m in big m1 m2; do "$send" 36 $m.txt ftp {down}; done; set -- outbox/*[0-9]; echo $#|0|3
removed|!bg --retry ftp {ftp}|0|
removed|!sh set -- outbox/*[0-9]; rm "${@: -1}"|0|
removed|!wait|0|kelvane-send: delivered 2 bulletins to ftp://*; nothing queued
removed|!sh grep 'removed' bg.log|0|kelvane-send: outbox/0000000003.*BRAX_* was removed while the queue was being sent: not sent, nothing held
backlog|!sh for i in $(seq 10 39); do messages m$i.txt; faketime "2026-12-01 10:00:$i" "$send" 36 m$i.txt ftp {down}; done; true|0|
backlog|!sh grep -c 'logged in' "$scratch/ftp-server.log" >logins.before|0|
backlog|--retry ftp {ftp}|0|kelvane-send: delivered 30 bulletins to ftp://*; nothing queued
backlog|!sh echo $(($(grep -c 'logged in' "$scratch/ftp-server.log") - $(cat logins.before))) login|0|1 login
sftp backlog|!sh for i in $(seq 10 39); do messages m$i.txt; faketime "2026-12-01 11:00:$i" "$send" 36 m$i.txt sftp -F /dev/null -P {dead} talvex@127.0.0.1; done; true; wc -l <"$scratch/sftp-logins.log" >logins.before|0|
sftp backlog|--retry sftp {key} talvex@127.0.0.1|0|kelvane-send: delivered 30 bulletins to sftp://*; nothing queued
sftp backlog|!sh echo $(($(wc -l <"$scratch/sftp-logins.log") - $(cat logins.before))) login|0|1 login
killed backlog|!sh for i in $(seq 10 17); do messages mid$i.txt; faketime "2026-12-01 12:00:$i" "$send" 36 mid$i.txt ftp {down}; done; true|0|
killed backlog|!kill group-later KILL --retry ftp {ftp}|0|
killed backlog|--retry ftp {ftp}|0|kelvane-send: delivered * to ftp://*; nothing queued
killed backlog|!sh dots|0|0
clock|!sh messages a1.txt a2.txt; faketime '2026-12-09 10:00:00' "$send" 36 a1.txt ftp {down}; faketime '2026-12-09 09:00:00' "$send" 36 a2.txt ftp {down}; touch -d '2026-12-09 12:00' BRAX_09.100000; touch -d '2026-12-09 06:00' BRAX_09.090000|0|
clock|--retry ftp {ftp}|0|kelvane-send: delivered 2 bulletins to ftp://*; nothing queued
whole|!sh mkdir -m 700 outbox && : >outbox/0000000001.BRAX_01.000000 && printf '%0100d' 0 >secret && ln secret outbox/0000000002.BRAX_01.000001|0|
whole|36 m1.txt ftp {ftp}|1|kelvane-send: FAILED: held BRAX_01.000000 (not whole: it is too short for a bulletin (0 bytes)), BRAX_01.000001 (not whole: its flag line does not carry its size less 18 (100 bytes)): see *; nothing queued, 2 held, the oldest BRAX_01.000000
log|!sh mkdir delivered.log|0|
log|36 m1.txt ftp {ftp}|1|kelvane-send: FAILED: BRAX_* delivered but not written to delivered.log (Is a directory), marked delivered so as not to be sent again, mend that and run kelvane-send --retry; nothing queued, 1 delivered but not yet in delivered.log
log|--retry ftp {ftp}|1|kelvane-send: FAILED: BRAX_* delivered at * UTC but not written to delivered.log (Is a directory), marked delivered so as not to be sent again: free space or mend it, then run kelvane-send --retry; *
log|--status|1|BRAX_* bytes, NOUS71 BRAX ??????, delivered * UTC, not yet written to delivered.log
log|!sh rmdir delivered.log|0|
log|--retry ftp {ftp}|0|kelvane-send: wrote the delivered.log line of BRAX_*, delivered earlier
exact log|!sh mkdir delivered.log|0|
exact log|36 m1.txt ftp {ftp}|1|*not written to delivered.log (Is a directory), marked delivered *
exact log|!sh rmdir delivered.log && f=$(ls outbox/*.delivered) && b=${f#outbox/*.} && echo "$(date -u +%Y-%m-01T00:00:00Z) ${b%.delivered} $(stat -c %s "$f") bytes dropped NOUS71 BRAX 010000 root" >delivered.log|0|
exact log|{at +1h} --retry sftp {key} talvex@127.0.0.1|0|kelvane-send: wrote the delivered.log line of BRAX_*, delivered earlier
exact log|!sh set -- $(tail -n 1 delivered.log); echo "$(wc -l <delivered.log) $5 $(($(date -d "$1" +%s) > $(date +%s) - 600))"|0|2 ftp://127.0.0.1:*/data/talvex/data/ 1
archive|36 m1.txt ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
archive|36 m2.txt ftp {down}|75|*; 1 bulletin queued: BRAX_*
archive|{at +31d} 36 m3.txt ftp {down}|75|*; 2 bulletins queued, the oldest BRAX_*
archive|!sh set -- BRAX_* archive; echo $# "$4"|0|4 archive
archive|{at +33d} --retry ftp {down}|75|*; 2 bulletins queued, the oldest BRAX_*
archive|!sh set -- BRAX_*; echo $# archive/*/*|0|2 archive/????-??/BRAX_*
archive|{at +33d} --retry ftp {ftp}|0|kelvane-send: delivered 2 bulletins to ftp://*; nothing queued
archive|!sh set -- BRAX_*; echo $# archive/*/* "$(wc -l <delivered.log) $(cat archive/*/delivered.log)"|0|1 archive/*/BRAX_* archive/*/BRAX_* archive/*/delivered.log 2 ????-??-??T* BRAX_* ftp://*
archive|!sh mkdir archive/2020-01 && : >archive/2020-01/BRAX_01.000000|0|
archive|--retry ftp {ftp}|0|-
archive|!sh echo KELVANE_SEND_KEEP_DAYS=33 >kelvane-send.conf && chmod 600 kelvane-send.conf|0|
archive|--retry ftp {ftp}|0|kelvane-send: removed archive/2020-01/ (1 bulletin), older than KELVANE_SEND_KEEP_DAYS=33
archive|!sh echo archive/*|0|archive/????-??
archive kill|!sh for i in 1 2 3 4 5; do messages k$i.txt; "$send" 36 k$i.txt ftp {ftp}; done; set -- BRAX_*; echo $#|0|5
archive kill|!sh NO_FAKE_STAT=1 strace -f -qq -o /dev/null -e inject=renameat2:signal=KILL:when=3 faketime -f +33d "$send" --retry ftp {ftp}; set -- BRAX_*; echo $# archive/*/*|0|3 archive/*/BRAX_* archive/*/BRAX_*
archive kill|{at +33d} --retry ftp {ftp}|0|kelvane-send: archived 3 bulletins into archive/*/
archive kill|!sh set -- archive/*/BRAX_*; echo $# BRAX_*|0|5 BRAX_*
archive kill|!sh head -c 100 /etc/services >BRAX_01.000000 && touch -d '-40 days' BRAX_01.000000 && "$send" --retry ftp {ftp}; echo archive/"$(date -u -d '-40 days' +%Y-%m)"/BRAX_*|0|archive/????-??/BRAX_01.000000
archive refused|!sh mkdir -m 777 archive && head -c 100 /etc/services >BRAX_01.000000 && touch -d '-40 days' BRAX_01.000000|0|
archive refused|--retry ftp {ftp}|0|kelvane-send: cannot open archive (Operation not permitted): it must be a folder of root's that nobody else may write; the bulletins stay in the folder
archive refused|!sh echo BRAX_*|0|BRAX_01.000000
log month|!sh echo "2026-01-05T10:00:00Z BRAX_05.100000 80 bytes dropped NOUS71 BRAX 051000 root" >delivered.log && mkdir -p archive/2026-01 && echo '- - - - dropped' >archive/2026-01/delivered.log|0|
log month|36 m1.txt ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
log month|!sh echo $(cat archive/2026-01/delivered.log.2 archive/2026-01/delivered.log) $(wc -l <delivered.log)|0|2026-01-05T10:00:00Z BRAX_05.100000 80 bytes dropped NOUS71 BRAX 051000 root - - - - dropped 1
seat record|!sh printf 'KELVANE_SEND_GATEWAY=ftp 127.0.0.1 %s\nKELVANE_SEND_SEAT=1/2\n' {port} >kelvane-send.conf && chmod 600 kelvane-send.conf && printf '%010d BRAX_07.081530\n' "$(date -d '2026-12-06 08:15:30Z' +%s)" >kelvane.names && messages m.txt && FAKETIME_DONT_RESET=1 faketime -f '@2026-12-07 08:15:30' "$send" 36 m.txt && ls BRAX_*|0|BRAX_07.081532
conf|!sh echo "KELVANE_SEND_GATEWAY=ftp 127.0.0.1 {port}" >kelvane-send.conf && chmod 664 kelvane-send.conf|0|
conf|36 m1.txt|1|kelvane-send: FAILED: */kelvane-send.conf is not trusted: *; nothing converted or sent
conf|!sh chmod 600 kelvane-send.conf|0|
conf|36 m1.txt|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
conf|!sh echo KELVANE_SEND_SAET=1/2 >>kelvane-send.conf|0|
conf|--retry|1|kelvane-send: FAILED: kelvane-send.conf line 2 (KELVANE_SEND_SAET=1/2) is not *; nothing converted or sent
notes|36 m1.txt ftp {down}|75|*
notes|!sh echo secret >target && for f in outbox/*.failed; do rm "$f" && ln -s "$PWD/target" "$f"; done|0|
notes|--status|1|BRAX_* last failure: none seen
notes|--retry ftp {down}|75|*
notes|!sh cat target|0|secret
notes|!sh for f in outbox/*.failed; do rm "$f" && mkfifo "$f"; done|0|
notes|--status|1|BRAX_* last failure: none seen
notes|--retry ftp {down}|75|*
notes|--status|1|BRAX_* last failure: * cannot reach *
unreadable|!sh chown kt-send . && chmod 700 .|0|
unreadable|{as kt-send} 36 m1.txt ftp {down}|75|*
unreadable|!sh chmod 0300 outbox|0|
unreadable|{as kt-send} --status|1|kelvane-send: FAILED: cannot read */outbox (Permission denied); *
unreadable|{as kt-send} --retry ftp {ftp}|1|kelvane-send: FAILED: cannot read */outbox (Permission denied); *
unreadable|{as kt-send} --check|3|KELVANE-SEND UNKNOWN: cannot read */outbox (Permission denied)
unreadable|!sh chmod 0600 outbox|0|
unreadable|{as kt-send} --status|1|kelvane-send: FAILED: cannot examine */outbox/* (Permission denied)
unreadable|!sh chmod 0700 outbox|0|
unreadable|{as kt-send} --retry ftp {ftp}|0|kelvane-send: delivered BRAX_*; nothing queued
office|!sh chown kt-send:kt-office . && chmod 3770 . && echo "KELVANE_SEND_GATEWAY=ftp 127.0.0.1 {port}" >kelvane-send.conf && chown kt-send kelvane-send.conf && chmod 640 kelvane-send.conf|0|
office|{as kt-met1} 36 a.txt|1|kelvane-send: FAILED: */drop is missing: kt-send's first run makes it (kelvane-send --retry as kt-send); nothing converted or sent; nothing queued
office|{as kt-send} --retry|0|-
office|!sh echo $(stat -c %A:%U:%G drop outbox)|0|drwx-ws--T:kt-send:kt-office drwxr-s---:kt-send:kt-office
office|{as kt-met1} 36 a.txt|75|kelvane-send: QUEUED: BRAX_* handed over in drop/; kt-send sends it
office|{as kt-met2} 36 big1.txt|75|kelvane-send: QUEUED: BRAX_* handed over in drop/; kt-send sends it
office|{as kt-met2} --status|0|kelvane-send: nothing queued
office|{as kt-send} --status|1|kelvane-send: 2 handed over in drop/, not yet queued, since * UTC
office|{as kt-send} !bg --retry|0|
office|{as kt-met1} 36 b.txt|75|kelvane-send: QUEUED: BRAX_* handed over in drop/; kt-send sends it
office|!wait|0|kelvane-send: delivered 3 bulletins to ftp://*; nothing queued
office|!sh echo $(awk '{ print $NF }' delivered.log)|0|kt-met1 kt-met2 kt-met1
office|--retry|1|kelvane-send: FAILED: no /home/kt-send/.netrc with the gateway's login *
office|{as kt-met1} !sh rm -f kelvane-send.conf|1|*Operation not permitted
office|!sh rm kelvane-send.conf && echo "KELVANE_SEND_GATEWAY=ftp 127.0.0.1 1" >kelvane-send.conf && chown kt-met1 kelvane-send.conf && chmod 640 kelvane-send.conf|0|
office|{as kt-send} --retry|1|kelvane-send: FAILED: */kelvane-send.conf is not trusted: *; nothing converted or sent
office|!sh rm kelvane-send.conf|0|
office|{as kt-met2} 36 c.txt|1|kelvane-send: FAILED: * is shared by group kt-office, so it needs a kelvane-send.conf of kt-send's with mode 640 *; nothing converted or sent
office|!sh mkdir orphan && chown 4000000000 orphan && cd orphan && "$send" --status|1|kelvane-send: FAILED: */orphan belongs to uid 4000000000, which is no account: kelvane-send sends as the folder's owner, not as root; nothing converted or sent
members|!sh chown kt-send:kt-office . && chmod 3770 . && echo "KELVANE_SEND_GATEWAY=ftp 127.0.0.1 {port}" >kelvane-send.conf && chown kt-send kelvane-send.conf && chmod 640 kelvane-send.conf && echo key >"$scratch/secret-of-send" && mkdir -p "$scratch/home/members-kt-send/.ssh"|0|
members|{as kt-send} --retry|0|-
members|{as kt-met2} !sh printf x >drop/9999999999.BRAX_01.000000 && : >drop/BRAX_01.000000.AAAAAA && ln -s "$scratch/secret-of-send" drop/BRAX_01.000001.BBBBBB|0|
members|{as kt-met1} 36 a.txt|75|*
members|{as kt-send} --retry|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
members|{as kt-send} --status|1|kelvane-send: nothing queued, but 3 files above are not bulletins: see to them
members|{as kt-met2} !sh mv outbox outbox.old|1|*Operation not permitted
members|{as kt-met2} !sh rm -f kelvane-send.send.lock delivered.log kelvane-send.conf drop; ls -d kelvane-send.send.lock delivered.log kelvane-send.conf drop|0|kelvane-send.send.lock
members|{as kt-met2} !sh exec 3<kelvane-send.send.lock|2|*Permission denied
members|{as kt-met1} 36 big2.txt|75|*
members|{as kt-met1} 36 b.txt|75|*
members|{as kt-send} !bg --retry|0|
members|{as kt-met2} !sh for f in BRAX_* outbox drop; do mv "$f" "x$f" 2>/dev/null && echo "moved $f"; done; echo none moved|0|none moved
members|!wait|0|kelvane-send: delivered 2 bulletins to ftp://*; nothing queued
members|{as kt-met1} 36 c.txt|75|*
members|{as kt-met2} !sh echo WWIO20 >w.txt; for f in BRAX_*; do dd if=w.txt of="$f" bs=1 seek=18 count=6 conv=notrunc 2>/dev/null; done; listed=$(ls drop 2>/dev/null); rewritten=$(grep -l WWIO20 BRAX_*); echo "${listed:-none} ${rewritten:-none}"|0|none none
members|{as kt-send} --retry|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
members|{as kt-met1} 36 f.txt|75|*
members|{as kt-met2} !sh umask 027; for f in BRAX_*; do cp "$f" "drop/$f.QQQQQQ"; done|0|
members|{as kt-send} !sh "$send" --retry >retry.log; cat retry.log; grep -q "cannot be queued: the folder's BRAX_.* is kt-met1's, not kt-met2's; left alone" retry.log && echo refused|0|refused
members|{as kt-met1} 36 mid.txt|75|*
members|{as kt-met2} !sh ln -s "$scratch/home/members-kt-send/.ssh" held|0|
members|{as kt-met1} 36 e.txt|1|kelvane-send: FAILED: */held is not fit for the queue: *
members|{as kt-send} !sh echo machine 127.0.0.1 login sizelimit password test-only >"$HOME/.netrc"|0|
members|{as kt-send} --retry|1|kelvane-send: FAILED: */held is not fit for the queue: *; nothing converted or sent
members|!sh rm held; echo x $(ls -A "$scratch/home/members-kt-send/.ssh")|0|x
members|{as kt-send} --retry|1|kelvane-send: FAILED: held BRAX_* (rename of *): see *; nothing queued, 1 held: BRAX_*
members|{as kt-met2} --drop {held}|1|kelvane-send: FAILED: BRAX_* was queued by kt-met1: only kt-met1, kt-send or root may drop it; nothing queued, 1 held: BRAX_*
members|{as kt-met1} --release {held}|75|kelvane-send: QUEUED: asked kt-send to release BRAX_*, done at its next run; nothing queued, 1 held: BRAX_*
members|{as kt-send} !sh echo machine 127.0.0.1 login kelvane password test-only >"$HOME/.netrc"|0|
members|{as kt-send} --retry|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
hand|!sh messages mine.txt hand.txt; ("$scratch/slow/kelvane-send" 36 mine.txt ftp {ftp} >slow.log 2>&1; echo $? >slow.status) & sleep 1; "$scratch/bin/kelvane" 37 hand.txt >/dev/null; wait; echo $(cat slow.status) $(grep -c NOUS71 delivered.log) $(grep -c NOUS72 delivered.log)|0|0 1 0
seats|!sh for k in 1 2 3; do mkdir s$k && printf 'KELVANE_SEND_GATEWAY=ftp 127.0.0.1 %s\nKELVANE_SEND_SEAT=%s/3\n' {port} $k >s$k/kelvane-send.conf && chmod 600 s$k/kelvane-send.conf && echo "seat $k" >s$k/m.txt && cp "$HOME/.netrc" "s$k/.netrc"; done; for k in 1 2 3; do (cd s$k && FAKETIME_DONT_RESET=1 faketime -f '@2026-12-07 08:15:30' timeout 4 "$send" 36 m.txt >log 2>&1; echo $? >status) & done; wait; cat s?/log s?/delivered.log >/dev/null && cat s1/delivered.log s2/delivered.log s3/delivered.log >delivered.log && ln s?/BRAX_* . && grep -h queued s?/log; echo $(cat s?/status) $(cd s1 && ls BRAX_*) $(cd s2 && ls BRAX_*) $(cd s3 && ls BRAX_*)|0|0 0 0 BRAX_07.081530 BRAX_07.081531 BRAX_07.081532
stall|!sh messages s1.txt && "$send" 36 s1.txt ftp {down}|75|*
stall|!bg --retry ftp {stall}|0|
stall|!sh messages s2.txt && timeout 2 "$send" 36 s2.txt ftp {ftp} >s2.log; echo $? >s2.status; cat s2.log; echo $(cat s2.status) $(grep -c '^kelvane-send: handed BRAX_.* over in drop/$' s2.log) $(grep -c 'waiting for the send in progress (pid [0-9]*)' s2.log)|0|124 1 1
stall|!sh timeout 1 "$send" --status >/dev/null; echo $?|0|1
stall|!sh kill "$(head -n 1 kelvane-send.send.lock)"|0|
stall|!wait|143|
stall|--retry ftp {ftp}|0|kelvane-send: delivered 2 bulletins to ftp://*; nothing queued
stdout|36 m1.txt ftp {down}|75|*
stdout|!sh "$send" --retry ftp {ftp} >/dev/full; echo $?|0|0
stdout|!sh messages m2.txt; "$send" 36 m2.txt ftp {ftp} >/dev/full; echo "$?$(find outbox -name '0*' -printf x)"|0|1
conversion|36 empty.txt ftp {ftp}|1|kelvane-send: FAILED: conversion of empty.txt (kelvane exited 1); nothing queued from it; nothing queued
two jobs|!two 36 ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
usage|36 m1.txt|1|kelvane-send: FAILED: usage: no GATEWAY, and kelvane-send.conf has no KELVANE_SEND_GATEWAY line
usage|36 m1.txt smtp 127.0.0.1|1|kelvane-send: FAILED: usage: smtp is not a gateway: *
usage|--retry ftp|1|kelvane-send: FAILED: usage: ftp needs a HOST
usage|--retry ftp 127.0.0.1 21 extra|1|kelvane-send: FAILED: usage: extra word extra
usage|--status now|1|kelvane-send: FAILED: usage: extra word now
usage|--retry ftp 127.0.0.1:2121|1|kelvane-send: FAILED: usage: host 127.0.0.1:2121 carries a port: give it after the host, as ftp 127.0.0.1 2121
usage|--bogus|1|kelvane-send: FAILED: usage: unknown option --bogus
open outbox|!sh mkdir outbox && chmod 777 outbox|0|
open outbox|--retry ftp {ftp}|1|kelvane-send: FAILED: */outbox is not fit for the queue: it must be a folder of root's, not a link, with mode 700 (move it away: kelvane-send makes it); nothing converted or sent
stray|!sh mkdir -m 755 outbox && echo x >outbox/notes.txt && echo x >"outbox/odd$(printf '\033')name"|0|
stray|--status|1|kelvane-send: nothing queued, but 2 files above are not bulletins: see to them
EOF
check_case "$current" "$from"
for stray in 'notes.txt' 'odd\\x1bname'; do
	grep -q "^kelvane-send: outbox/$stray is not a bulletin; left alone\$" work/stray/step.log ||
		fail "stray: --status does not report outbox/$stray"
done
[ -e work/stray/outbox/notes.txt ] || fail "stray: outbox/notes.txt was removed"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
