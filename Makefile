# Thin wrapper over CMake so that the README's two commands stay short.
#   make run ARGS='ls'   build the program alone (quietly: its output only on
#                        failure), then run kiv with ARGS
#   make test            build everything, then run every test
# BUILD and CMAKE_FLAGS select another build tree, e.g. the sanitizer build:
#   make test BUILD=build-san CMAKE_FLAGS=-DKIV_SANITIZE=ON
#   make fuzz            build the libFuzzer targets (clang++) into build-fuzz
#   make fuzz-run        run each of them for FUZZ_SECONDS (fuzz/run.sh)
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= screen_fuzz daemon_fuzz cli_fuzz channel_fuzz replies_fuzz record_fuzz

.PHONY: build run test clean fuzz fuzz-run

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# A first `make run` should not wait for every test and benchmark, nor bury
# the session under pages of build lines.
run:
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target kiv >$(BUILD)/run-build.log 2>&1 || \
	    { cat $(BUILD)/run-build.log; exit 1; }
	@./$(BUILD)/kiv $(ARGS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DKIV_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(FUZZ_TARGETS)

fuzz-run: fuzz
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD)
