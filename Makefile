# brisvane: `make` builds build/brisvane.efi and the images of the other
# architectures in build/ia32/, build/aarch64/, build/arm/, build/riscv64/
# and build/loongarch64/
# (installing what this machine lacks and fetching EDK II into a cache outside
# the repo), `make test` runs every test, `make clean` removes the build output
# but keeps the EDK II cache.

SHELL := /bin/bash
.DEFAULT_GOAL := all

# EDK II: 2022.11 (Debian 12) by default; EDK2_RELEASE=2025.02 (Debian 13)
# builds with the newer one. Each is fetched once into the cache.
EDK2_RELEASE ?= 2022.11
EDK2_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/brisvane
EDK2 := $(EDK2_CACHE)/edk2-$(EDK2_RELEASE)
BUILD := build
# $(call lower,TEXT): TEXT in lower case, as the build folders name tool
# chains and architectures.
lower = $(shell echo '$(1)' | tr A-Z a-z)
# The EDK II tool chain: empty for the tree's GCC tool chain (GCC5 in 2022.11,
# GCC in 2025.02), or CLANGDWARF or CLANGPDB (Debian's clang and lld).
TOOLCHAIN ?=
# AArch64 too where the tool chain has it: CLANGPDB never does, and
# CLANGDWARF only from 2025.02 on. IA32, ARM, RISC-V 64 and LoongArch64 with
# the GCC tool chain.
NO_AARCH64 := $(filter CLANGPDB,$(TOOLCHAIN))$(filter 2022.11-CLANGDWARF,$(EDK2_RELEASE)-$(TOOLCHAIN))
EFI_ARCHS ?= X64 $(if $(NO_AARCH64),,AARCH64) $(if $(TOOLCHAIN),,IA32 ARM RISCV64 LOONGARCH64)
BUILD_EFI_OPTIONS := $(foreach arch,$(EFI_ARCHS),-a $(arch)) $(if $(TOOLCHAIN),-t $(TOOLCHAIN))
# Images go to build/x64/ and build/aarch64/ (brisvane.efi and the firmware
# tests' harness.efi); another release's under build/edk2-RELEASE/, another
# tool chain's in a folder named after it (build/clangdwarf/x64/). The EDK II
# workspace of a release is EDK2_BUILD/edk2-ws.
EDK2_BUILD := $(BUILD)$(if $(filter-out 2022.11,$(EDK2_RELEASE)),/edk2-$(EDK2_RELEASE))
EFI_DIR := $(EDK2_BUILD)$(if $(TOOLCHAIN),/$(call lower,$(TOOLCHAIN)))
EFI_IMAGES := $(foreach arch,$(call lower,$(EFI_ARCHS)),$(EFI_DIR)/$(arch)/brisvane.efi)
# The same build makes the firmware tests' harness.efi beside each image.
EFI_HARNESSES := $(EFI_IMAGES:brisvane.efi=harness.efi)
EDK2_OUT := $(EFI_DIR)/x64
# The default build (2022.11, the GCC tool chain) ships: its X64 image is
# also build/brisvane.efi, where users and scripts find it, and its images
# have size budgets.
DEFAULT_BUILD := $(if $(filter $(BUILD),$(EFI_DIR)),yes)
EFI := $(if $(DEFAULT_BUILD),$(BUILD),$(EDK2_OUT))/brisvane.efi
# $(call efi_image,ARCH): the build's image for ARCH.
efi_image = $(if $(filter X64,$(1)),$(EFI),$(EFI_DIR)/$(call lower,$(1))/brisvane.efi)
VARS := $(BUILD)/brisvane-vars
# Its manual page, with the version filled in by the same CMake build.
VARS_MAN := $(BUILD)/brisvane-vars.1
# The Linux builds of one CMake project: the product, and the sanitized
# tests with the fuzzer (clang, for libFuzzer).
RELEASE_TREE := $(BUILD)/release
CHECK_TREE := $(BUILD)/check
HOST_SOURCES := CMakeLists.txt $(shell git ls-files 'app/*' 'command/*' 'store/*' 'platform/*' \
	'vars/*' 'nvram/*' 2>/dev/null)

FIRMWARE_SOURCES := $(wildcard app/*.cpp app/*.h command/*.cpp command/*.h \
	store/*.cpp store/*.h platform/*.h platform/uefi/* tests/firmware/harness/*) \
	Brisvane.inf BrisvanePkg.dsc BrisvanePkg.dec

# The default build's size budgets. X64: the size of a plain C build of the
# same behaviour with the same libraries. AArch64 images align their sections
# to 4 KB: six pages, the size of the first AArch64 build. IA32, ARM,
# RISC-V 64 and LoongArch64: the sizes of their first builds (LoongArch64's
# 32 bytes more since the command words became routines that brisvane-vars
# shares).
SIZE_BUDGET_X64 := 10304
SIZE_BUDGET_IA32 := 9600
SIZE_BUDGET_AARCH64 := 24576
SIZE_BUDGET_ARM := 11040
SIZE_BUDGET_RISCV64 := 11584
SIZE_BUDGET_LOONGARCH64 := 14112

# LoongArch64's cross compiler: Debian 12 has none, so Debian 13's is
# unpacked once into the cache with the packages it needs, down to its C
# library, on which it runs there (scripts/fetch-debs.sh).
LOONGARCH64_GCC := $(EDK2_CACHE)/gcc-loongarch64-14.2
LOONGARCH64_GCC_PACKAGES := gcc-loongarch64-linux-gnu=4:14.2.0-1 g++-loongarch64-linux-gnu=4:14.2.0-1
export GCC_LOONGARCH64_PREFIX := $(LOONGARCH64_GCC)/usr/bin/loongarch64-linux-gnu-
# What an EDK II build of EFI_ARCHS needs beyond the EDK II tree.
EDK2_BUILD_NEEDS := edk2 $(if $(filter LOONGARCH64,$(EFI_ARCHS)),$(LOONGARCH64_GCC))

# make sign, and the signed UEFI Shell for the Secure Boot test; first, for
# the firmware tests' rules name its files.
include scripts/secureboot.mk
# Firmware tests, the manual page and the virtual machine runner.
include tests/firmware/firmware.mk
# The command-line fuzzer: make fuzz (FUZZ_SECONDS), make fuzz-smoke.
include tests/fuzz/fuzz.mk
# make install, make uninstall and make deb.
include scripts/package.mk

.PHONY: all packages build-packages edk2 efi efi-variants sizes test check check-build test-host \
	check-format check-efi check-reproducible clean

all: efi $(MAN) $(VARS)

# Probing costs well under a second, so every run checks the packages.
packages:
	@scripts/install-packages.sh

# What the EFI images and the Debian package need alone: no test tool.
build-packages:
	@scripts/install-packages.sh build

# Fetching, and the set-up after it, is skipped in well under a second when
# done, so every run checks it.
edk2: build-packages
	@scripts/fetch-edk2.sh $(EDK2) $(EDK2_RELEASE)

efi: $(EFI) $(EFI_IMAGES)

# One EDK II build makes every architecture's images and harnesses.
$(EFI_IMAGES) $(EFI_HARNESSES) &: $(FIRMWARE_SOURCES) scripts/build-efi.sh | $(EDK2_BUILD_NEEDS)
	@scripts/build-efi.sh $(BUILD_EFI_OPTIONS) $(EDK2) $(EDK2_BUILD) RELEASE
	@for image in $(EFI_IMAGES); do echo "built $$image ($$(stat -c %s $$image) bytes)"; done

ifdef DEFAULT_BUILD
$(EFI): $(EDK2_OUT)/brisvane.efi
	@cp $< $@
endif

$(LOONGARCH64_GCC): | build-packages
	@scripts/fetch-debs.sh -s $@ trixie $(LOONGARCH64_GCC_PACKAGES)

# Every image variant: each tool chain on each EDK II release (2025.02 with
# GCC and CLANGDWARF); then their sizes.
efi-variants:
	@$(MAKE) --no-print-directory efi
	@$(MAKE) --no-print-directory efi TOOLCHAIN=CLANGDWARF
	@$(MAKE) --no-print-directory efi TOOLCHAIN=CLANGPDB
	@$(MAKE) --no-print-directory efi EDK2_RELEASE=2025.02
	@$(MAKE) --no-print-directory efi EDK2_RELEASE=2025.02 TOOLCHAIN=CLANGDWARF
	@$(MAKE) --no-print-directory sizes

# The size and hash of every brisvane.efi built so far, per architecture
# (the folder) and tool chain or release (the folder above it).
sizes:
	@python3 scripts/check-efi.py $$(find $(BUILD) \( -name edk2-ws -o -name reproducible \) -prune \
		$(foreach arch,x64 ia32 aarch64 arm riscv64 loongarch64,-o -path '*/$(arch)/brisvane.efi' -print) | sort)

# make check is the fast loop: the unit tests alone, sanitized.
test: check-format test-host fuzz-smoke check-efi check-reproducible test-firmware-suites \
	test-sign test-package

check: check-build
	@ctest --test-dir $(CHECK_TREE) -L unit -j"$$(nproc)" --output-on-failure

# Every CTest: the unit tests, the interop check against UEFIExtract, the
# media tests and --domain against libvirt (on the release tool). The
# packages come first, since configuring looks for UEFIExtract.
test-host: packages $(VARS)
	@$(MAKE) --no-print-directory check-build
	@ctest --test-dir $(CHECK_TREE) -j"$$(nproc)" --output-on-failure

# The check tree needs only the unit tests' packages, so make check installs
# no emulator or cross compiler.
check-build:
	@scripts/install-packages.sh unit
	@cmake -S . -B $(CHECK_TREE) -DCMAKE_BUILD_TYPE=Debug -DBRISVANE_CHECKS=ON \
		-DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(CHECK_TREE) -j"$$(nproc)"

# brisvane-vars: the same logic on a virtual machine's NVRAM file, from Linux.
$(VARS) $(VARS_MAN) &: $(HOST_SOURCES) Brisvane.inf | packages
	@cmake -S . -B $(RELEASE_TREE) -DBRISVANE_VARS_OUTPUT_DIR="$(CURDIR)/$(BUILD)" >/dev/null
	@cmake --build $(RELEASE_TREE) -j"$$(nproc)" --target brisvane-vars >/dev/null
	@touch $(VARS) $(VARS_MAN) # as new as their sources, also where none compiled in changed
	@echo "built $@"

check-format: | packages
	@git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	@echo "format: every C and C++ file follows .clang-format"
	@shellcheck -x $$(git ls-files '*.sh' '*.bash' .ci/run)
	@echo "format: every shell script passes shellcheck"
	@python3 scripts/check-layout.py

check-efi: efi
	@$(foreach arch,$(EFI_ARCHS),python3 scripts/check-efi.py --machine $(arch) \
		$(if $(DEFAULT_BUILD),--max-size $(SIZE_BUDGET_$(arch))) $(call efi_image,$(arch)) &&) true

check-reproducible: | $(EDK2_BUILD_NEEDS)
	@scripts/check-reproducible.sh $(EDK2) $(EDK2_BUILD)/reproducible $(BUILD_EFI_OPTIONS)

clean:
	rm -rf $(BUILD)
