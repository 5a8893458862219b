# Drives CMake: `make` builds, `make demo` converts the examples in a
# scratch folder, `make test` builds and runs every test. Each first
# installs the Debian packages it needs that the machine lacks
# (tools/setup.sh, tools/debian-packages).
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all demo test lint install package bench sanitize memcheck fuzz mutants clean

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j 2

$(BUILD)/CMakeCache.txt:
	@sh tools/setup.sh build
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

# Builds only the program, its output kept in a log shown on failure.
demo:
	@sh tools/setup.sh build
	@sh tools/demo.sh $(BUILD) "$(CMAKE_FLAGS)"

# Configures again, so that a build folder made without GoogleTest gets
# the tests once it is installed; no test may be missing.
test:
	@sh tools/setup.sh build test
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j 2
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j 2

# Installs bin/kelvane and share/man/man1/kelvane.1 under PREFIX, below
# DESTDIR when that is set (a staging root for packagers).
PREFIX ?= /usr/local
install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, then a test of what it holds and lintian's verdict
# (where lintian is installed): any error or warning fails. The file times
# in the package come from SOURCE_DATE_EPOCH, the last commit's time unless
# the caller sets it, so that two builds of one commit are byte-identical.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
package: all
	@sh tools/setup.sh package
	cd $(BUILD) && SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH) cpack
	sh tools/package_test.sh $(BUILD)/kelvane_$$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' \
		$(BUILD)/CMakeCache.txt)_amd64.deb examples

# Format, clang-tidy, cppcheck, the manual page's lint and shellcheck, all clean.
lint: $(BUILD)/CMakeCache.txt
	sh tools/lint.sh $(BUILD)

# Every test, end-to-end ones included, against a build with the address
# and undefined-behaviour sanitizers; faketime is preloaded before the
# sanitizer runtime there, which is harmless. The rows that inject faults
# are left out: the sanitizer runtime takes over the library calls that
# libfiu fails, and adds system calls of its own.
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
sanitize:
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE_FLAGS)"
	cmake --build $(BUILD)-sanitize -j 2
	ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir $(BUILD)-sanitize --output-on-failure -j 2 -E injected

# The end-to-end runs of the binary under valgrind's memcheck, but for the
# rows that inject faults: any error or leak fails the run.
memcheck: all
	KELVANE_VALGRIND=1 ctest --test-dir $(BUILD) --output-on-failure -j 2 -R 'Scratch|Runs' -E injected

# Both fuzz targets, each for FUZZ_SECONDS, from the seeds in fuzz/corpus;
# what they find new goes to the build folder, not into the seeds. Paths
# are absolute: the conversion target works in a scratch folder.
FUZZ_SECONDS ?= 60
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g -O1
fuzz:
	cmake -S . -B $(BUILD)-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= \
		-DBUILD_TESTING=OFF -DKELVANE_FUZZ=ON -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build $(BUILD)-fuzz -j 2
	for target in body convert; do \
		mkdir -p $(BUILD)-fuzz/corpus/$$target && \
		$(BUILD)-fuzz/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=$(CURDIR)/$(BUILD)-fuzz/$$target- \
			$(CURDIR)/$(BUILD)-fuzz/corpus/$$target $(CURDIR)/fuzz/corpus/$$target || exit 1; \
	done

# Release build with the body benchmark, then the cost figures.
bench:
	cmake -S . -B $(BUILD)-release -DCMAKE_BUILD_TYPE=Release -DKELVANE_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD)-release -j 2
	sh tools/bench.sh $(BUILD)-release

# Classic mutants of the program, each built in build-mutants/ and run
# against every test: the share of them the tests catch.
MUTANTS ?= 400
SEED ?= 1
mutants:
	python3 tools/mutants.py --count $(MUTANTS) --seed $(SEED)

clean:
	rm -rf $(BUILD) $(BUILD)-release $(BUILD)-sanitize $(BUILD)-fuzz build-mutants
