#!/bin/sh
# Installs the Debian packages of the given groups (tools/debian-packages)
# that the machine lacks, saying which: with apt-get as root, or through
# sudo where it is there. Where it can do neither, it stops with the one
# apt-get command to run.
#   setup.sh GROUP...   (build, test, package, check)
set -eu
list=$(dirname "$0")/debian-packages
wanted=
for group; do
	wanted="$wanted $(awk -v group="$group" '$1 == group { $1 = ""; print }' "$list")"
done
if ! command -v dpkg-query >/dev/null 2>&1; then
	echo "setup: not a Debian system; make sure these are installed:$wanted"
	exit 0
fi
missing=
for package in $wanted; do
	dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
		missing="$missing $package"
done
[ -n "$missing" ] || exit 0

command="apt-get install -y --no-install-recommends$missing"
if [ "$(id -u)" -eq 0 ]; then
	sudo=
elif command -v sudo >/dev/null 2>&1; then
	sudo=sudo
else
	echo "setup: these Debian packages are missing:$missing"
	echo "setup: as root, run: $command"
	exit 1
fi
echo "setup: installing the Debian packages$missing"
log=$(mktemp "${TMPDIR:-/tmp}/kelvane-setup.XXXXXX")
trap 'rm -f "$log"' EXIT
# shellcheck disable=SC2086 # $missing is a list of words
if ! { $sudo apt-get update && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y \
	--no-install-recommends $missing; } >"$log" 2>&1; then
	cat "$log"
	echo "setup: the install failed; as root, run: apt-get update && $command"
	exit 1
fi
