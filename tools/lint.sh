#!/bin/sh
# Static checks, all of which must be clean: the code follows .clang-format,
# clang-tidy (.clang-tidy) and cppcheck find nothing in the program,
# mandoc's lint finds nothing in the manual page, and shellcheck nothing
# in the shell scripts.
#   lint.sh BUILD_DIR   (a configured build with compile_commands.json)
set -eu
build=$1
cd "$(dirname "$0")/.."
set -- src/convert.cpp src/frame.cpp src/body.cpp src/script.cpp src/main.cpp

echo "clang-format: checking src/ and fuzz/"
clang-format --dry-run --Werror src/*.cpp src/*.h fuzz/*.cpp fuzz/*.h

echo "clang-tidy: checking the program"
clang-tidy --quiet -p "$build" "$@" 2>/dev/null

echo "cppcheck: checking the program"
cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 \
	--inline-suppr --quiet -I src "$@"
echo "mandoc: checking the manual page"
lint=$(mandoc -T lint -W warning "$build/kelvane.1")
[ -z "$lint" ] || { echo "$lint"; exit 1; }
echo "shellcheck: checking the shell scripts"
shellcheck .ci/run src/*.sh tools/*.sh examples/send-bulletin
echo "lint: clean"
