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
HOST := $(BUILD)/host
VARS := $(BUILD)/brisvane-vars
VARS_SOURCES := $(wildcard command/* store/* platform/*.h platform/linux/* \
	platform/nvram/* app/vars/*) CMakeLists.txt

FIRMWARE_SOURCES := $(wildcard app/*.cpp app/*.h command/*.cpp command/*.h \
	store/*.cpp store/*.h platform/*.h platform/uefi/*) \
	Brisvane.inf BrisvanePkg.dsc BrisvanePkg.dec

# The size of a plain C build of the same behaviour with the same libraries.
SIZE_BUDGET := 10304

# Firmware tests, the manual page and the virtual machine runner.
include tests/firmware/firmware.mk
# The command-line fuzzer: make fuzz (FUZZ_SECONDS), make fuzz-smoke.
include tests/fuzz/fuzz.mk

.PHONY: all packages edk2 test test-host test-vars check-efi check-reproducible clean

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

test: test-host test-vars fuzz-smoke check-efi check-reproducible test-firmware

test-host: | packages
	@cmake -S tests -B $(HOST) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(HOST) -j"$$(nproc)"
	@ctest --test-dir $(HOST) --output-on-failure

# brisvane-vars: the same logic on a virtual machine's NVRAM file, from Linux.
$(VARS): $(VARS_SOURCES) | packages
	@cmake -S . -B $(BUILD)/vars -DBRISVANE_VARS_OUTPUT_DIR="$(CURDIR)/$(BUILD)" >/dev/null
	@cmake --build $(BUILD)/vars -j"$$(nproc)" >/dev/null
	@echo "built $@"

test-vars: | packages
	@cmake -S . -B $(BUILD)/vars-test -DBRISVANE_VARS_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(BUILD)/vars-test -j"$$(nproc)"
	@ctest --test-dir $(BUILD)/vars-test --output-on-failure

check-efi: $(EFI)
	@python3 scripts/check-efi.py --max-size $(SIZE_BUDGET) $(EFI)

check-reproducible: | edk2
	@scripts/check-reproducible.sh $(EDK2) $(BUILD)/reproducible

clean:
	rm -rf $(BUILD)
