#!/bin/sh
# Static checks, all of which must be clean: the code follows .clang-format,
# clang-tidy (.clang-tidy) and cppcheck find nothing in the program, and
# mandoc's lint finds nothing in the manual page.
#   lint.sh BUILD_DIR   (a configured build with compile_commands.json)
set -eu
build=$1
cd "$(dirname "$0")/.."
program="src/convert.cpp src/frame.cpp src/body.cpp src/script.cpp src/main.cpp"

echo "clang-format: checking src/ and fuzz/"
clang-format --dry-run --Werror src/*.cpp src/*.h fuzz/*.cpp fuzz/*.h

echo "clang-tidy: checking the program"
clang-tidy --quiet -p "$build" $program 2>/dev/null

echo "cppcheck: checking the program"
cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 \
	--inline-suppr --quiet -I src $program
echo "mandoc: checking the manual page"
lint=$(mandoc -T lint -W warning "$build/kelvane.1")
[ -z "$lint" ] || { echo "$lint"; exit 1; }
echo "lint: clean"
