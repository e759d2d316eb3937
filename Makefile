# Thin wrapper over CMake for the two everyday commands:
#   make test   build and run every test, normal and ASan+UBSan builds,
#               then the armhf board build, run under qemu-user
#   make demo   capture 10 seconds from the emulated encoder into an MP4
#   make bench  the whole program against ffmpeg -c copy (bench/bench_app.sh)
#   make soak   long runs of the whole program (bench/soak.sh; HOURS=24)
#   make fuzz-smoke  build the libFuzzer targets (clang) and run each a few
#               seconds over its seeds (part of make test)
#   make fuzz   the long fuzzing run: FUZZ_RUNS (10000000) executions per
#               target, one target after the other (README, "Fuzzing")
#   make deb    the Debian packages for amd64 and the armhf board, in
#               build/deb (README, "Installing on the board")
#   make test-deb  checks them without installing (part of make test)
#   make deb-check installs, removes and purges the amd64 package in a
#               throw-away Debian root made with debootstrap (root)
BUILD := build
JOBS ?= $(shell nproc)
# Tests at once: twice the processors, as the interop tests spend most of
# their time waiting on real-time pacing and receivers.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
CMAKE_GEN := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: demo-recover all deps build test test-normal test-asan armhf-config cross test-armhf demo bench soak clean fuzz-build fuzz-smoke fuzz \
  deb test-deb deb-check

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD)/normal $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)/normal -j $(JOBS)

test-normal: build
	cd $(BUILD)/normal && ctest --output-on-failure -j $(TEST_JOBS) --timeout 600

test-asan: deps
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVOZIREV_SANITIZE=ON
	cmake --build $(BUILD)/asan -j $(JOBS)
	cd $(BUILD)/asan && ctest --output-on-failure -j $(TEST_JOBS) --timeout 900

# The board build (32-bit ARM, Linux/armhf-toolchain.cmake) with its tests,
# warnings as errors. `make cross` builds only the program; `make test-armhf`
# builds everything and runs the tests under qemu-user through binfmt_misc,
# which tools/armhf-binfmt.sh sets up (the test discovery runs the test
# executables during the build already).
armhf-config: deps
	cmake -S . -B $(BUILD)/armhf $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=Linux/armhf-toolchain.cmake \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DVOZIREV_TESTS=ON

cross: armhf-config
	cmake --build $(BUILD)/armhf -j $(JOBS) --target vozirev

test-armhf: armhf-config
	tools/armhf-binfmt.sh
	cmake --build $(BUILD)/armhf -j $(JOBS)
	cd $(BUILD)/armhf && ctest --output-on-failure -j $(TEST_JOBS) --timeout 900

test: test-normal test-asan test-armhf fuzz-smoke test-deb

demo: build
	tools/demo.sh $(BUILD)/normal

demo-recover: build
	tools/demo-recover.sh $(BUILD)/normal

bench: build
	cd $(BUILD)/normal && ctest -R '^corpus$$' --output-on-failure
	bench/bench_app.sh $(BUILD)/normal

soak: build
	bench/soak.sh $(BUILD)/normal $(or $(HOURS),24)

# ---- fuzzing (tests/fuzz/) ----
FUZZ_BUILD := $(BUILD)/fuzz
FUZZ_SECONDS ?= 4
FUZZ_RUNS ?= 10000000

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DVOZIREV_TESTS=OFF -DVOZIREV_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz-smoke: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) tests/fuzz/run_fuzz.sh smoke $(FUZZ_BUILD)

fuzz: fuzz-build
	FUZZ_RUNS=$(FUZZ_RUNS) tests/fuzz/run_fuzz.sh long $(FUZZ_BUILD)

# ---- Debian packages (packaging/, tests/packaging/) ----
# Each architecture is built in $(BUILD)/deb-ARCH with Debian's build flags.
# test-deb also runs the packaged program under the emulated device of the
# normal build.
deb:
	@VOZIREV_PACKAGING=1 tools/install-deps.sh
	JOBS=$(JOBS) packaging/build-deb.sh $(BUILD)

test-deb: build deb
	tests/packaging/check_debs.sh $(BUILD)

deb-check: deb
	@VOZIREV_PACKAGING=chroot tools/install-deps.sh
	tests/packaging/chroot_check.sh $(BUILD)

clean:
	rm -rf $(BUILD)
