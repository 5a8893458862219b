#!/bin/sh
# Unpacks the Debian package into a scratch root, converts an example with
# the packaged binary, and checks its files: the programs, the manual
# pages (clean under mandoc's lint), the user and system units, the office
# guide and the monitoring command, the Recommends an sftp office needs, and
# what the conversion wrote; then lintian, where installed, which must find no
# error and no warning.
#   package_test.sh PACKAGE.deb EXAMPLES_DIR
set -eu
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$2" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

dpkg-deb --field "$deb" Package Version Depends Recommends Suggests
dpkg-deb --field "$deb" Recommends | grep -qw openssh-client
dpkg -x "$deb" "$scratch/root"
test -x "$scratch/root/usr/bin/kelvane"
test -x "$scratch/root/usr/bin/kelvane-send"
test -f "$scratch/root/usr/lib/systemd/user/kelvane-send@.service"
test -f "$scratch/root/usr/lib/systemd/user/kelvane-send@.timer"
test -f "$scratch/root/usr/lib/systemd/user/kelvane-send@.path"
for unit in service timer path; do
	test -f "$scratch/root/usr/lib/systemd/system/kelvane-send@.$unit"
done
test -f "$scratch/root/usr/share/doc/kelvane/OFFICE.md"
grep -q '^ *command_line .*kelvane-send -C ' "$scratch/root/usr/share/doc/kelvane/examples/kelvane-send.cfg"
for name in kelvane kelvane-send; do
	page="$scratch/root/usr/share/man/man1/$name.1.gz"
	test -f "$page"
	if command -v mandoc >/dev/null 2>&1; then
		lint=$(mandoc -T lint -W warning "$page" || true)
		[ -z "$lint" ] || { echo "$lint"; exit 1; }
	fi
done

mkdir "$scratch/work"
cp "$examples/helpdesk.txt" "$scratch/work/"
(cd "$scratch/work" && "$scratch/root/usr/bin/kelvane" 36 helpdesk.txt >console.log) ||
	{ cat "$scratch/work/console.log"; exit 1; }
bulletin=$(cd "$scratch/work" && ls BRAX_*)
grep -q "^put $bulletin\$" "$scratch/work/command.txt"
if command -v lintian >/dev/null 2>&1; then
	echo "lintian: checking $(basename "$deb")"
	lintian --fail-on error,warning --info "$deb" 2>/dev/null
fi
echo "package: $(basename "$deb") installs bin/kelvane, bin/kelvane-send, their manual pages, the user and system units (service, timer, path), OFFICE.md and the monitoring command; it converted helpdesk.txt into $bulletin"
