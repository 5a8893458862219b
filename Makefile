# Drives CMake: `make` builds, `make demo` converts the examples in a
# scratch folder, `make test` builds and runs every test.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all demo test clean

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j 2

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

demo: all
	sh tools/demo.sh $(BUILD)/kelvane

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j 2

clean:
	rm -rf $(BUILD)
