# Thin wrapper over CMake + Ninja. `make test` is what CI runs.
BUILD    ?= build
PREFIX   ?= /usr/local
APP      ?= quillnet
JOBS     ?= $(shell nproc)
FUZZ_SECONDS ?= 20
# Warnings are errors in CI builds (CI=true) unless WERROR says otherwise.
WERROR   ?= $(if $(CI),ON,OFF)
CMAKE_FLAGS ?=

CONFIGURE = cmake -S . -G Ninja -DKEL_WERROR=$(WERROR) $(CMAKE_FLAGS)
CTEST     = ctest --output-on-failure --timeout 600 -j $(JOBS)

.PHONY: all deps build test soak run asan tsan bench fuzz install clean tidy format check-format

all: build

deps:
	scripts/install-deps

$(BUILD)/build.ninja:
	$(CONFIGURE) -B $(BUILD)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Under CI the format check runs first, so a formatting slip fails the run
# before any build time is spent on it.
test: deps $(if $(CI),check-format) build
	cd $(BUILD) && $(CTEST)
	@scripts/test-summary $(BUILD)

# The long-running scenarios (a flood of forged members, a lossy relay, the
# periodic timer) for an hour each; `make test` runs them for seconds.
SOAK_SECONDS ?= 3600
soak: deps build
	cd $(BUILD) && KEL_SOAK_SECONDS=$(SOAK_SECONDS) ctest --output-on-failure -R Soak -j 2

run: deps build
	@if [ -x $(BUILD)/apps/$(APP)/$(APP) ]; then \
	  exec $(BUILD)/apps/$(APP)/$(APP); \
	else \
	  echo "$(APP) is not built yet: the program does not exist in this tree." >&2; exit 1; \
	fi

asan: deps
	$(CONFIGURE) -B build-asan -DKEL_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DKEL_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

tsan: deps
	$(CONFIGURE) -B build-tsan -DKEL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST)

# QUICK=1 runs every comparison with fewer rounds and iterations, in minutes.
bench: deps build
	scripts/run-benchmarks $(if $(QUICK),--quick) $(BUILD)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -G Ninja -B build-fuzz -DKEL_BUILD_FUZZ=ON -DKEL_BUILD_TESTS=OFF \
	  -DKEL_BUILD_BENCH=OFF -DKEL_BUILD_APPS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

tidy: build
	clang-tidy -p $(BUILD) --quiet $$(git ls-files '*.cpp' | grep -v -E '^(tests|fuzz|bench)/')

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# Every tracked source under CI; otherwise what changed since the merge-base with main.
check-format:
	scripts/check-format

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
