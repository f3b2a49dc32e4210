# Front door of the build. Every target installs the Debian packages it needs first (quick when present).
BUILD ?= build
JOBS ?= $(shell nproc)
# Plain tests run one more at a time than there are cores: most of them wait on sockets and
# timers. Instrumented ones run several times slower against the same time limits, so the
# sanitizer builds run one per core.
TEST_JOBS ?= $(shell expr $(JOBS) + 1)
SANITIZER_TEST_JOBS ?= $(JOBS)
CMAKE_FLAGS ?=
# `make test` also runs the whole suite under these sanitizers, each in its own build folder.
SANITIZERS ?= address thread

.PHONY: all deps build fuzz fuzz-smoke fuzz-long test test-plain $(addprefix test-,$(SANITIZERS)) demo serve bench soak clean format

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

# Always configured with the tests: a folder the demo made without them gets them here.
build: deps $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) -DQUORLINA_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain $(addprefix test-,$(SANITIZERS))

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS) --timeout 300

# A sanitizer build: build-address (AddressSanitizer with UndefinedBehaviorSanitizer) and
# build-thread (ThreadSanitizer). Benchmarks are not built there.
define sanitizer_test
test-$(1): deps
	cmake -S . -B build-$(1) -DQUORLINA_SANITIZE=$(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLINA_BENCH=OFF $$(CMAKE_FLAGS)
	cmake --build build-$(1) -j $$(JOBS)
	cd build-$(1) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $$(SANITIZER_TEST_JOBS) --timeout 300
endef
$(foreach s,$(SANITIZERS),$(eval $(call sanitizer_test,$(s))))

# libFuzzer targets (clang, ASan + UBSan) in build-fuzz; fuzz-smoke runs each for FUZZ_SECONDS.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUORLINA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS)

fuzz-smoke: fuzz
	bash scripts/fuzz-smoke.sh build-fuzz

# The long campaign: each target until 5 million executions or FUZZ_SECONDS (default 1800), two at
# a time, from and back into the kept corpora in fuzz/corpus/.
fuzz-long: fuzz
	bash scripts/fuzz-long.sh build-fuzz

# The control against simulated cameras for SOAK_MINUTES, with Stop/Play cycles, commands and
# faults; not part of `make test`. Fails on a stuck session or on descriptor, thread or memory growth.
SOAK_MINUTES ?= 10
soak: build
	$(BUILD)/bin/quorlina soak --minutes $(SOAK_MINUTES)

# The demo needs only the build's packages: a build folder made here leaves the tests out, and a
# folder that already has them is used as it is.
demo:
	@bash scripts/install-deps.sh --demo
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DQUORLINA_TESTS=OFF -DQUORLINA_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target quorlina
	$(BUILD)/bin/quorlina demo --out $(BUILD)/demo-snapshot.bmp

# The web page with two simulated cameras on 127.0.0.1:8080; the address with its token is printed.
serve: build
	$(BUILD)/bin/quorlina serve

bench: build
	bash scripts/bench.sh $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-address build-thread build-fuzz
