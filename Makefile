# Thin wrapper over CMake so that the README's two commands stay short.
#   make run ARGS='ls'   build, then run kiv with ARGS
#   make test            build, then run every test
# BUILD and CMAKE_FLAGS select another build tree, e.g. the sanitizer build:
#   make test BUILD=build-san CMAKE_FLAGS=-DKIV_SANITIZE=ON
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: build run test clean

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/kiv $(ARGS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD)
