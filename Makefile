# brisvane: `make` builds build/brisvane.efi (installing what this machine
# lacks and fetching EDK II into a cache outside the repo), `make test` runs
# every test, `make clean` removes the build output but keeps the EDK II cache.

SHELL := /bin/bash
.DEFAULT_GOAL := all

EDK2_VERSION := 2022.11
EDK2_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/brisvane
EDK2 := $(EDK2_CACHE)/edk2-$(EDK2_VERSION)
BUILD := build
EFI := $(BUILD)/brisvane.efi
EDK2_OUT := $(BUILD)/edk2-ws/Build/Brisvane/RELEASE_GCC5/X64
VARS := $(BUILD)/brisvane-vars
# The Linux builds of one CMake project: the product, and the sanitized
# tests with the fuzzer (clang, for libFuzzer).
RELEASE_TREE := $(BUILD)/release
CHECK_TREE := $(BUILD)/check
HOST_SOURCES := CMakeLists.txt $(shell git ls-files 'app/*' 'command/*' 'store/*' 'platform/*' \
	'vars/*' 'varstore/*' 2>/dev/null)

FIRMWARE_SOURCES := $(wildcard app/*.cpp app/*.h command/*.cpp command/*.h \
	store/*.cpp store/*.h platform/*.h platform/uefi/*) \
	Brisvane.inf BrisvanePkg.dsc BrisvanePkg.dec

# The size of a plain C build of the same behaviour with the same libraries.
SIZE_BUDGET := 10304

# make sign, and the signed UEFI Shell for the Secure Boot test; first, for
# the firmware tests' rules name its files.
include scripts/secureboot.mk
# Firmware tests, the manual page and the virtual machine runner.
include tests/firmware/firmware.mk
# The command-line fuzzer: make fuzz (FUZZ_SECONDS), make fuzz-smoke.
include tests/fuzz/fuzz.mk

.PHONY: all packages edk2 test check check-build test-host check-format check-efi \
	check-reproducible clean

all: $(EFI) $(MAN) $(VARS)

# Probing costs well under a second, so every run checks the packages.
packages:
	@scripts/install-packages.sh

$(EDK2)/BaseTools/Source/C/bin/GenFw: | packages
	@scripts/fetch-edk2.sh $(EDK2)

edk2: packages $(EDK2)/BaseTools/Source/C/bin/GenFw

$(EFI): $(FIRMWARE_SOURCES) scripts/build-efi.sh | edk2
	@scripts/build-efi.sh $(EDK2) $(BUILD) RELEASE
	@cp $(EDK2_OUT)/brisvane.efi $@
	@echo "built $@ ($$(stat -c %s $@) bytes)"

# make check is the fast loop: the unit tests alone, sanitized.
test: check-format test-host fuzz-smoke check-efi check-reproducible test-firmware test-sign

check: check-build
	@ctest --test-dir $(CHECK_TREE) -L unit -j"$$(nproc)" --output-on-failure

# Every CTest: the unit tests and the interop check against UEFIExtract.
test-host: check-build
	@ctest --test-dir $(CHECK_TREE) -j"$$(nproc)" --output-on-failure

check-build: | packages
	@cmake -S . -B $(CHECK_TREE) -DCMAKE_BUILD_TYPE=Debug -DBRISVANE_CHECKS=ON \
		-DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(CHECK_TREE) -j"$$(nproc)"

# brisvane-vars: the same logic on a virtual machine's NVRAM file, from Linux.
$(VARS): $(HOST_SOURCES) | packages
	@cmake -S . -B $(RELEASE_TREE) -DBRISVANE_VARS_OUTPUT_DIR="$(CURDIR)/$(BUILD)" >/dev/null
	@cmake --build $(RELEASE_TREE) -j"$$(nproc)" --target brisvane-vars >/dev/null
	@echo "built $@"

check-format: | packages
	@git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	@echo "format: every C and C++ file follows .clang-format"

check-efi: $(EFI)
	@python3 scripts/check-efi.py --max-size $(SIZE_BUDGET) $(EFI)

check-reproducible: | edk2
	@scripts/check-reproducible.sh $(EDK2) $(BUILD)/reproducible

clean:
	rm -rf $(BUILD)
