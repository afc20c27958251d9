# Thin wrapper over CMake/CTest. `make demo` and `make test` are all a newcomer needs: both install
# the Debian packages they need when missing.
JOBS     ?= $(shell nproc)
BUILD    ?= build
ASAN     ?= build-asan
CROSS    ?= build-ppc
BUILDTYPE ?= RelWithDebInfo
FUZZ     ?= build-fuzz
FUZZ_SECONDS ?= 60
# make has a built-in LINT (lint), which ?= would keep: the lint build would land in ./lint.
ifeq ($(origin LINT),default)
LINT     := build-lint
endif
MUTANTS  ?= 100
SEED     ?= 1
VMBUILD  ?= build-vm
VM_BOARD ?= vm-board

DEPS_BASE  := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libssl-dev zlib1g-dev \
              python3-pytest python3-pexpect tar gzip lrzsz tftpd-hpa busybox openssl valgrind \
              libcli11-dev nlohmann-json3-dev help2man man-db dpkg-dev softhsm2 \
              libengine-pkcs11-openssl
DEPS_CROSS := g++-powerpc-linux-gnu qemu-user
DEPS_FUZZ  := clang libclang-rt-14-dev
DEPS_LINT  := clang-tidy cppcheck clang-format
DEPS_MEASURE := ninja-build gcovr ccache
DEPS_VM    := qemu-system-ppc linux-source-6.1 g++-powerpc-linux-gnu dpkg-dev flex bison bc xz-utils \
              bzip2 lrzsz python3-pytest python3-pexpect e2fsprogs

.PHONY: all deps deps-cross deps-fuzz deps-lint deps-measure deps-vm build test unit-test asan-test \
        deb demo bench bench-build fuzz cross-test valgrind lint format clean mutants coverage vm-build vm vm-test

all: build

define install_missing
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(DEPS_BASE))
deps-cross:
	$(call install_missing,$(DEPS_CROSS))
deps-fuzz:
	$(call install_missing,$(DEPS_FUZZ))
deps-lint:
	$(call install_missing,$(DEPS_LINT))
deps-measure:
	$(call install_missing,$(DEPS_MEASURE))
deps-vm:
	$(call install_missing,$(DEPS_VM))

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILDTYPE)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Every test: unit and end-to-end tests, then the unit tests again under ASan/UBSan/LSan. Every
# unit test has a time limit (tests/CMakeLists.txt); a test that times out is run once more, with
# both attempts in the log (a test that fails is not), so that a hang that depends on chance -- one
# CI run was lost to a test that looped when its scratch directory's random name ended in R --
# shows by name without costing the run.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --repeat after-timeout:2
	$(MAKE) asan-test

unit-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -L unit

# Tests that make signed images use the host build's bootimg (BOOTIMG). The power-loss test cuts
# at every operation in the plain build; here a seeded sample of 150 per road keeps it to minutes.
asan-test: build
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DBOOTMGR_SANITIZE=ON -DBOOTMGR_HOST_TOOLS=OFF
	cmake --build $(ASAN) -j $(JOBS)
	BOOTIMG=$(abspath $(BUILD))/bin/bootimg POWERLOSS_CUTS=150 \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS) -L unit --repeat after-timeout:2

# The Debian package of the host tools (bootimg, bootmgr-sim, their man pages) in $(BUILD).
deb: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target bootimg bootmgr-sim man-pages
	cd $(BUILD) && cpack -G DEB

# The demo needs only the simulator and the image tool.
demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target bootmgr-sim bootimg
	tools/demo.sh $(BUILD)/bin

# The benchmark programs are built as make bench builds them by .ci/run too, so that they cannot rot.
bench-build: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBOOTMGR_TESTS=OFF
	cmake --build build-bench -j $(JOBS)

bench: bench-build
	tools/run-bench.sh build-bench

# Memcheck over the boot roads (good slot, fall-back, reboot) and the install of a signed package.
valgrind: build
	tools/valgrind-roads.sh $(BUILD)/bin

# The unit tests built for the board's CPU (32-bit big-endian PowerPC) and run under qemu-user.
# Tests that make signed images use the host build's bootimg (BOOTIMG). The power-loss test cuts
# at every operation in the plain build; here a seeded sample of 150 per road keeps it to minutes.
cross-test: build deps-cross
	BOOTIMG=$(abspath $(BUILD))/bin/bootimg tools/cross-test.sh $(abspath $(CROSS)) $(JOBS)

# The emulated board: kernel, BusyBox root file system and the static bootmgr for QEMU's e500
# PowerPC machine. Kernel and BusyBox are built once and cached in ~/.cache/bootmgr-vm.
vm-build: deps deps-vm $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target bootimg
	BOOTIMG=$(abspath $(BUILD))/bin/bootimg tools/vm/build.sh $(abspath $(VMBUILD)) $(JOBS) >/dev/null

# One power-up of the board in VM_BOARD (a demo board is made when there is none).
vm: vm-build
	tools/vm/run.sh --build $(abspath $(VMBUILD)) $(VM_BOARD)

# The boot manager's roads on the emulated board, compared with the simulated board's texts.
vm-test: vm-build
	BOOTMGR_BIN=$(abspath $(BUILD))/bin BOOTMGR_VM_BUILD=$(abspath $(VMBUILD)) \
	  /usr/bin/python3 -m pytest -q tests/vm

# libFuzzer programs (clang, ASan+UBSan), each run FUZZ_SECONDS from the seeds in fuzz/corpus.
fuzz: deps deps-fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBOOTMGR_FUZZ=ON \
	  -DBOOTMGR_TESTS=OFF -DBOOTMGR_HOST_TOOLS=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
	  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"
	cmake --build $(FUZZ) -j $(JOBS)
	fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

# clang-tidy (.clang-tidy) and cppcheck over the system's own sources.
lint: deps deps-lint
	tools/lint.sh $(abspath $(LINT)) $(JOBS)

# Mutation testing: MUTANTS seeded faults (SEED) spread over every product folder, each rebuilt and
# run against every unit test program that exercises its unit in build-mutants; kill rate per folder and survivors,
# also in build-mutants/mutants.txt. FOLDERS=crypto,image runs only those folders' share.
mutants: deps deps-measure
	/usr/bin/python3 tools/mutants.py --mutants $(MUTANTS) --seed $(SEED) \
	  $(if $(FOLDERS),--folders $(FOLDERS)) --build build-mutants --jobs $(JOBS)

# Line and branch coverage of the product code by the unit and end-to-end tests, counting the
# board children the test fixture forks (build-cov-children; also in its coverage.txt).
coverage: deps deps-measure
	/usr/bin/python3 tools/coverage.py --count-children --jobs $(JOBS)

# Formats the project's own C++ sources with the repository's .clang-format.
format: deps-lint
	git ls-files -- '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN) $(CROSS) build-bench $(FUZZ) $(LINT) build-mutants build-cov build-cov-children \
	  $(VMBUILD)
