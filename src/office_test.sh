#!/usr/bin/env bash
# OFFICE.md run as written, with names of its own: the office block, from
# groupadd to the enabled units, and the first bulletin, as root, with a
# scratch folder for /srv/talvex and an sftp gateway (asyncssh) on a port
# of 127.0.0.1 that it binds itself. systemd is not asked: the block's
# systemctl is a stand-in that runs the service's ExecStart, read from the
# unit file, whenever drop/ or outbox/ holds something, as the path unit
# would. Then the monitoring block, and the check, by the command line of
# the shipped Nagios definition, as the monitoring account through OK,
# WARNING, CRITICAL (held, with the gateway's reason) and UNKNOWN; and
# README's cron line, whose log lines must carry their UTC time.
# Accounts and group are removed at the end, whatever fails.
#   office_test.sh KELVANE-SEND SOURCE_DIR
# Exits 77 (skipped) without root or a tool, or 1 where KELVANE_NO_SKIP is
# set, as CI does.
set -euo pipefail
send=$(realpath "$1")
source_dir=$(realpath "$2")
py=/usr/bin/python3
skip=77
[ -z "${KELVANE_NO_SKIP:-}" ] || skip=1
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit "$skip"; }
for tool in useradd groupadd runuser setfacl ts sftp ssh-keyscan systemd-escape setsid; do
	command -v "$tool" >/dev/null 2>&1 || { echo "skipped: no $tool"; exit "$skip"; }
done
"$py" -c 'import asyncssh' 2>/dev/null ||
	{ echo "skipped: no asyncssh for $py (Debian package python3-asyncssh)"; exit "$skip"; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-office.XXXXXX")
chmod 755 "$scratch"
tag=ko$$x$RANDOM
S=${tag}s G=${tag}g M1=${tag}a M2=${tag}b MON=${tag}n
F=$scratch/office H=$scratch/home
pids=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
	for pid in "${pids[@]}" $(cat "$scratch/units.pid" 2>/dev/null); do
		kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true
	done
	for user in "$S" "$M1" "$M2" "$MON"; do userdel "$user" 2>/dev/null || true; done
	groupdel "$G" 2>/dev/null || true
	rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
cd "$scratch"
mkdir -p bin root/data/talvex/data
for user in "$M1" "$M2" "$MON"; do useradd --no-create-home --shell /bin/sh "$user"; done

# The gateway: a key is taken once it is in authorized, as its
# administrator would add it; norename may not rename a bulletin (it
# takes the probe that tells a refusal of one bulletin from one of all).
ssh-keygen -q -t ed25519 -N '' -f host_key
setsid timeout 200 "$py" - "$scratch/root" "$scratch/authorized" >sftp-server.log 2>&1 <<'EOF' &
import asyncio, os, sys
import asyncssh
root, authorized = sys.argv[1], sys.argv[2]
class NoRename(asyncssh.SFTPServer):
    def rename(self, old, new):
        if os.path.basename(old).startswith(b".BRAX_"):
            raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "rename refused")
        return super().rename(old, new)
    def posix_rename(self, old, new):
        if os.path.basename(old).startswith(b".BRAX_"):
            raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "rename refused")
        return super().posix_rename(old, new)
class Gateway(asyncssh.SSHServer):
    def begin_auth(self, username):
        return True
    def public_key_auth_supported(self):
        return True
    def validate_public_key(self, username, key):
        try:
            with open(authorized) as f:
                known = {line.split()[1] for line in f if len(line.split()) > 1}
        except OSError:
            return False
        return key.export_public_key().decode().split()[1] in known
def sftp_factory(chan):
    refuse = chan.get_extra_info("username") == "norename"
    return (NoRename if refuse else asyncssh.SFTPServer)(chan, chroot=root)
async def main():
    acceptor = await asyncssh.listen("127.0.0.1", 0, server_host_keys=["host_key"],
                                     server_factory=Gateway, sftp_factory=sftp_factory)
    port = acceptor.get_port() if hasattr(acceptor, "get_port") else \
        acceptor._server.sockets[0].getsockname()[1]
    with open("sftp.port.new", "w") as f:
        f.write(f"{port}\n")
    os.rename("sftp.port.new", "sftp.port")
    await asyncio.Future()
asyncio.run(main())
EOF
pids+=($!)
for _ in $(seq 100); do [ ! -s sftp.port ] || break; sleep 0.1; done
port=$(cat sftp.port 2>/dev/null) || { cat sftp-server.log; exit 1; }

# kelvane-send and kelvane on the PATH, as the package puts them.
cp "$send" "$(dirname "$send")/kelvane" bin/
cp /bin/sh bin/cron
# The service as systemd runs it: the unit's ExecStart, as root, in an
# empty environment.
service=$(sed -n 's/^ExecStart=//p' "$source_dir/packaging/system/kelvane-send@.service")
printf '#!/bin/sh\nexec env -i PATH=%s %s\n' "$scratch/bin:/usr/sbin:/usr/bin:/sbin:/bin" "${service//%f/$F}" >bin/unit
# systemctl enable --now UNIT...: records the units, then runs the
# service whenever drop/ or outbox/ holds something, as the path unit would.
cat >bin/systemctl <<EOF
#!/bin/bash
[ "\$1 \$2" = "enable --now" ] || exit 1
shift 2
printf '%s\n' "\$@" >>"$scratch/enabled"
setsid bash -c 'while :; do [ -z "\$(find "$F/drop" "$F/outbox" -mindepth 1 2>/dev/null)" ] || unit; sleep 0.5; done' >>"$scratch/journal" 2>&1 </dev/null &
echo \$! >"$scratch/units.pid"
EOF
chmod 755 bin/kelvane-send bin/kelvane bin/systemctl bin/unit
export PATH=$scratch/bin:$PATH

# A block of OFFICE.md with this test's names, paths and gateway.
block() {
	awk -v name="$1" '$0 == "<!-- " name ":end -->" { inside = 0 }
		inside && !/^```/ { print }
		$0 == "<!-- " name ":begin -->" { inside = 1 }' "$source_dir/OFFICE.md" |
		sed -e "s|/srv/talvex|$F|g" -e "s|/var/lib/talvex|$H|g" \
			-e "s|talvex@gateway|-P $port talvex@127.0.0.1|g" \
			-e "s|ssh-keyscan gateway|ssh-keyscan -p $port 127.0.0.1|g" \
			-e "s/\btalvex\b/$S/g" -e "s/\bforecast\b/$G/g" -e "s/\bmet1\b/$M1/g" \
			-e "s/\bmet2\b/$M2/g" -e "s/\bnagios\b/$MON/g" \
			-e "s|^# Give \(.*\.pub\) to the gateway's administrator\.\$|cat \1 >>$scratch/authorized|"
}
failures=0
fail() {
	echo "FAIL $*"
	failures=$((failures + 1))
}
block office >office.sh
grep -q "^cat .*\.pub >>$scratch/authorized\$" office.sh || fail "office block: the key is no longer given to the gateway"
if sh -eux office.sh >office.log 2>&1; then
	echo "ok   office block: $(wc -l <office.sh) commands, $(tr '\n' ' ' <enabled)"
else
	cat office.log
	fail "office block"
fi
instance=kelvane-send@$(systemd-escape --path "$F")
[ "$(cat enabled 2>/dev/null)" = "$instance.timer"$'\n'"$instance.path" ] || fail "the block enables '$(cat enabled 2>/dev/null)'"
block first-bulletin >first.sh
sh first.sh >first.log 2>&1 || true
kill -- "-$(cat units.pid)" 2>/dev/null || true
delivered=$(find root/data/talvex/data -name 'BRAX_*' -printf '%f\n')
if ! grep -q "^kelvane-send: QUEUED: BRAX_.*; $S sends it\$" first.log ||
	[[ "$(tail -n 1 first.log)" != 20??-??-??T??:??:??Z\ BRAX_*\ bytes\ sftp://*@127.0.0.1/*\ NOUS71\ BRAX\ ??????\ $M1 ]] ||
	[ -z "$delivered" ] || ! cmp -s "root/data/talvex/data/$delivered" "$F/$delivered"; then
	cat first.log journal
	fail "first bulletin"
else
	echo "ok   first bulletin: $(tail -n 1 first.log)"
fi
[ -z "$(find "$F" -user root)" ] || fail "root left files in the folder: $(find "$F" -user root)"

block monitoring >monitoring.sh
sh -eux monitoring.sh >monitoring.log 2>&1 || { cat monitoring.log; fail "monitoring block"; }
check_line=$(sed -n 's/^ *command_line *//p' "$source_dir/packaging/kelvane-send.cfg")
grep -qF "$check_line" "$source_dir/OFFICE.md" || fail "OFFICE.md does not show the command_line of kelvane-send.cfg"
# Helpers of the rows: the check as the monitoring account with WARN and
# CRITICAL minutes; the gateway's port and login in the conf; a member's
# bulletin; the modes (outbox/ and held/ with the binary's); README's cron
# line, run as cron runs it, as the sending account.
check() {
	local line=${check_line//\/usr\/bin\//}
	line=${line//\$ARG1\$/$F} line=${line//\$ARG2\$/$1} line=${line//\$ARG3\$/$2}
	runuser -u "$MON" -- sh -c "$line"
}
gateway() {
	printf 'KELVANE_SEND_GATEWAY=sftp -i %s -P %s %s@127.0.0.1\n' "$H/.ssh/$S" "$1" "$2" >"$F/kelvane-send.conf"
}
member() {
	runuser -u "$M1" -- sh -c "cd $F && echo 'Bulletin $1.' >$1.txt && kelvane-send 36 $1.txt" >/dev/null || true
}
modes() {
	echo "$(stat -c %a "$F" "$F/drop" "$F/kelvane-send.conf" | tr '\n' ' ')$(stat -c %a "$F/outbox" "$F/held" | grep -cx 2750)"
}
cron_line() {
	local line
	line=$(sed -n 's/^    \* \* \* \* \* //p' "$source_dir/README.md")
	# cron ends the command at a % and gives \% as %.
	if [ -z "$line" ] || [[ ${line//\\%/} == *%* ]]; then echo "README's cron line: '$line'"; return 1; fi
	line=${line//\\%/%} line=${line//\/usr\/bin\/kelvane-send/kelvane-send}
	runuser -u "$S" -- env HOME="$H" cron -c "${line//\/srv\/talvex/$F}"
	tail -n 1 "$H/kelvane-send.log"
}

# what | command (as root) | status | last line (a pattern)
while IFS='|' read -r what command want_status want_line; do
	status=0
	(eval "$command") >row.log 2>&1 || status=$?
	got=$(tail -n 1 row.log)
	# shellcheck disable=SC2053 # the line wanted is a pattern
	if [ "$status" != "$want_status" ] || [[ $got != $want_line ]]; then
		fail "$what, $command: $status '$got', want $want_status '$want_line'"
		cat row.log
	else
		echo "ok   $what, $command: $status $got"
	fi
done <<'EOF'
modes|modes|0|3770 3770 640 2
read only|runuser -u "$MON" -- touch "$F/x"|1|*Permission denied
read only|runuser -u "$MON" -- touch "$F/drop/x"|1|*Permission denied
read only|runuser -u "$MON" -- touch "$F/outbox/x"|1|*Permission denied
read only|runuser -u "$MON" -- touch "$F/held/x"|1|*Permission denied
read only|runuser -u "$MON" -- sh -c "echo x >>$F/kelvane-send.conf"|2|*Permission denied
ok|check 5 15|0|KELVANE-SEND OK: nothing queued | queued=0 held=0;;0 *
warning|gateway 1 "$S" && member w1 && unit|75|kelvane-send: TEMPFAIL: *; 1 bulletin queued: BRAX_*
warning|cron_line|0|20??-??-??T??:??:??Z kelvane-send: TEMPFAIL: *, cron tries again at its next run; 1 bulletin queued: BRAX_*
warning|sleep 2 && check 0 15|1|KELVANE-SEND WARNING: 1 queued, the oldest BRAX_* | queued=1 held=0;;0 *
critical|gateway "$port" norename && unit|1|kelvane-send: FAILED: held BRAX_* *
critical|check 5 15|2|KELVANE-SEND CRITICAL: 1 held, BRAX_* (*rename of .BRAX_* refused*)* | queued=0 held=1;;0 *
unknown|setfacl -x "u:$MON" "$F/held" && check 5 15|3|KELVANE-SEND UNKNOWN: cannot read */held*
EOF
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
