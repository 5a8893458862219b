#!/bin/sh
# Static checks, all of which must be clean: the code follows .clang-format,
# clang-tidy (.clang-tidy) and cppcheck find nothing in the program,
# mandoc's lint finds nothing in the manual pages, shellcheck nothing in
# the shell scripts, and systemd-analyze nothing in the units (service, timer, path).
#   lint.sh BUILD_DIR   (a configured build with compile_commands.json)
set -eu
build=$1
cd "$(dirname "$0")/.."
set -- src/system.cpp src/convert.cpp src/frame.cpp src/body.cpp src/script.cpp src/names.cpp src/main.cpp \
	src/send.cpp src/send_text.cpp src/send_gateway.cpp src/send_folder.cpp src/send_queue.cpp \
	src/send_drop.cpp src/send_ftp.cpp src/send_sftp.cpp \
	src/send_child.cpp src/send_status.cpp src/send_account.cpp src/send_archive.cpp src/send_main.cpp \
	src/send_litter.cpp

echo "clang-format: checking src/ and fuzz/"
clang-format --dry-run --Werror src/*.cpp src/*.h fuzz/*.cpp fuzz/*.h

echo "clang-tidy: checking the program"
clang-tidy --quiet -p "$build" "$@" 2>/dev/null

echo "cppcheck: checking the program"
cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 \
	--inline-suppr --quiet -I src "$@"
echo "mandoc: checking the manual pages"
lint=$(mandoc -T lint -W warning "$build/kelvane.1" "$build/kelvane-send.1")
[ -z "$lint" ] || { echo "$lint"; exit 1; }
echo "shellcheck: checking the shell scripts"
shellcheck .ci/run src/*.sh tools/*.sh

# The user units and the system units, each as an instance for
# /srv/talvex run from the build folder: systemd-analyze fails on errors
# and only warns of unknown keys, so any word from it fails the check.
echo "systemd-analyze: checking the units"
units=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-units.XXXXXX")
trap 'rm -rf "$units"' EXIT
for from in packaging packaging/system; do
	kind=$(basename "$from")
	mkdir "$units/$kind"
	sed "s|^ExecStart=kelvane-send |ExecStart=$(cd "$build" && pwd)/kelvane-send |" \
		"$from/kelvane-send@.service" >"$units/$kind/kelvane-send@srv-talvex.service"
	cp "$from/kelvane-send@.timer" "$units/$kind/kelvane-send@srv-talvex.timer"
	cp "$from/kelvane-send@.path" "$units/$kind/kelvane-send@srv-talvex.path"
	lint=$(systemd-analyze verify --man=no "$units/$kind/kelvane-send@srv-talvex.service" \
		"$units/$kind/kelvane-send@srv-talvex.timer" "$units/$kind/kelvane-send@srv-talvex.path" 2>&1) ||
		{ echo "$lint"; exit 1; }
	[ -z "$lint" ] || { echo "$kind units: $lint"; exit 1; }
done
echo "lint: clean"
