# Drives CMake: `make` builds, `make demo` converts the examples in a
# scratch folder, `make test` builds and runs every test.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all demo test bench clean

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j 2

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

demo: all
	sh tools/demo.sh $(BUILD)/kelvane

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j 2

# Release build with the body benchmark, then the cost figures.
bench:
	cmake -S . -B $(BUILD)-release -DCMAKE_BUILD_TYPE=Release -DKELVANE_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD)-release -j 2
	sh tools/bench.sh $(BUILD)-release

clean:
	rm -rf $(BUILD) $(BUILD)-release
