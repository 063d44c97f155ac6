# Firmware tests in the UEFI Shell of EDK II's virtual machine firmware under
# QEMU (OVMF for X64 and IA32, AAVMF for AARCH64 and ARM, Debian 13's builds
# of EDK II's RiscVVirt and LoongArchVirt for RISCV64 and LOONGARCH64), and
# `make run` to try brisvane in a virtual machine. Included by the root
# Makefile.
#
#   make run ARGS="-s -NoMap -delay 3"  runs one command line in the VM and
#                                       shows its console text, lasterror and
#                                       the stored variable; the VM's NVRAM
#                                       file (build/vm/) is kept between runs
#   make run-fresh ARGS=...             the same on a fresh copy of the
#                                       firmware's NVRAM template
#   make run SECURE_BOOT=1 ARGS=...     the same with Secure Boot enforced:
#                                       a copy of brisvane.efi signed with
#                                       Debian's public test key, which is
#                                       in db; NVRAM in build/vm-secureboot/
#   make test-firmware                  the firmware test suite, with
#                                       brisvane-vars on the same NVRAM files
#                                       and a boot under Secure Boot
#   make test-firmware-variants         the suite on the other architectures'
#                                       images, the CLANGDWARF build and
#                                       EDK II 2025.02's
#   make man                            build/brisvane.man, the manual page
#                                       that the shell's `help brisvane` prints
#
# ARCH=AARCH64 makes run and test-firmware boot the AArch64 image in AAVMF
# (NVRAM in build/vm-aarch64/), ARCH=IA32, ARCH=ARM, ARCH=RISCV64 and
# ARCH=LOONGARCH64 likewise; TOOLCHAIN and EDK2_RELEASE pick the build.

MAN := $(BUILD)/brisvane.man
# The architecture booted, one of EFI_ARCHS, from make's command line alone,
# for build systems often export ARCH as the host's (x86_64, arm64).
ifeq ($(origin ARCH),environment)
ARCH := X64
endif
ARCH ?= X64
ifeq ($(filter $(ARCH),$(EFI_ARCHS)),)
$(error ARCH=$(ARCH): this build makes images for $(strip $(EFI_ARCHS)))
endif
ARCH_DIR := $(EFI_DIR)/$(call lower,$(ARCH))
# The image that the tests and make run start, and the harness beside it.
TEST_EFI := $(call efi_image,$(ARCH))
HARNESS := $(ARCH_DIR)/harness.efi
VM_DIR := $(BUILD)/vm$(if $(filter-out X64,$(ARCH)),-$(notdir $(ARCH_DIR)))
# A work folder per build and architecture: build/firmware-test/x64,
# build/firmware-test/edk2-2025.02/aarch64, ...
FIRMWARE_TEST_DIR := $(BUILD)/firmware-test/$(patsubst $(BUILD)/%,%,$(ARCH_DIR))
# Seconds one boot may take before it is stopped and counted as failed.
BOOT_TIME_LIMIT ?= 120
# RISC-V 64 and LoongArch64 boot Debian 13's firmware packages, built from
# EDK II 2025.02 (the source that EDK2_RELEASE=2025.02 fetches), under QEMU
# 10 from Debian 12's backports: Debian 12's QEMU 7.2 boots neither. Each is
# unpacked once into the cache, never installed (scripts/fetch-debs.sh).
QEMU_ROOT := $(EDK2_CACHE)/qemu-10.0.2
QEMU_PACKAGES := $(foreach package,qemu-system-riscv qemu-system-misc,$(package)=1:10.0.2+ds-2+deb13u1~bpo12+1) \
	opensbi=1.5.1-1~bpo12+2
VM_FIRMWARE_ROOT := $(EDK2_CACHE)/firmware-2025.02
VM_FIRMWARE_PACKAGES := $(foreach package,qemu-efi-riscv64 qemu-efi-loongarch64,$(package)=2025.02-8+deb13u1)
VM_NEEDS := packages $(if $(filter RISCV64 LOONGARCH64,$(ARCH)),$(QEMU_ROOT) $(VM_FIRMWARE_ROOT))
# The scripts share the package tests/vmtest; -B leaves no bytecode in the
# tree. vmtest.machine finds the unpacked packages through the environment.
VM_PYTHON := BRISVANE_QEMU_ROOT="$(QEMU_ROOT)" BRISVANE_FIRMWARE_ROOT="$(VM_FIRMWARE_ROOT)" \
	PYTHONPATH="$(CURDIR)/tests" python3 -B

$(QEMU_ROOT): | packages
	@scripts/fetch-debs.sh $@ backports $(QEMU_PACKAGES)

$(VM_FIRMWARE_ROOT): | packages
	@scripts/fetch-debs.sh $@ trixie $(VM_FIRMWARE_PACKAGES)

.PHONY: man run run-fresh test-firmware test-firmware-variants test-firmware-suites

man: $(MAN)

# The shell reads manual pages as ASCII with CR LF line ends; the source
# keeps plain LF ends.
$(MAN): brisvane.man
	@mkdir -p $(@D)
	@sed 's/\r*$$/\r/' $< > $@

# SECURE_BOOT=1 runs the test-signed image, from the test-signed shell, on
# an NVRAM file of its own (a copy of the store that holds the test key).
# Secure Boot on X64 alone: the signed shell is an X64 build, and the store
# with the test key enrolled is OVMF's.
ifeq ($(SECURE_BOOT),1)
ifneq ($(ARCH),X64)
$(error SECURE_BOOT=1 runs X64 images in OVMF alone)
endif
RUN_IMAGES := $(TEST_SIGNED_EFI) $(SECUREBOOT_SHELL)
RUN_OPTIONS := --efi $(TEST_SIGNED_EFI) --secure-boot-shell $(SECUREBOOT_SHELL) --dir $(VM_DIR)-secureboot
else
RUN_IMAGES := $(TEST_EFI)
RUN_OPTIONS := --efi $(TEST_EFI) --dir $(VM_DIR)
endif

run run-fresh: export BRISVANE_RUN_ARGS = $(ARGS)
run run-fresh: $(RUN_IMAGES) $(MAN) | $(VM_NEEDS)
	@$(VM_PYTHON) scripts/run-in-vm.py --arch $(ARCH) $(RUN_OPTIONS) --man $(MAN) \
		$(if $(filter run-fresh,$@),--fresh) --time-limit $(BOOT_TIME_LIMIT) -- "$$BRISVANE_RUN_ARGS"

# The brisvane-vars boots test the Linux tool with the firmware, and the
# Secure Boot boot the firmware's signature checks: neither depends on the
# tool chain or EDK II release of the image, so they run with the default
# build alone, the brisvane-vars boots with the sample of cut files that the
# check tree's brisvane-cut-files writes; Secure Boot on X64 alone.
OVMF_TESTS := $(if $(DEFAULT_BUILD),$(filter X64,$(ARCH)))
OVMF_TEST_BUILDS := $(if $(OVMF_TESTS),$(TEST_SIGNED_EFI) $(SECUREBOOT_SHELL)) $(if $(DEFAULT_BUILD),check-build)
CUT_FILES := $(CHECK_TREE)/tests/nvram/brisvane-cut-files
FIRMWARE_TEST_OPTIONS := $(if $(DEFAULT_BUILD),--vars-boots --cut-files $(CUT_FILES)) $(if $(OVMF_TESTS),\
	--signed-efi $(TEST_SIGNED_EFI) --secure-boot-shell $(SECUREBOOT_SHELL))

test-firmware: $(TEST_EFI) $(HARNESS) $(MAN) $(VARS) $(OVMF_TEST_BUILDS) | $(VM_NEEDS)
	@$(VM_PYTHON) tests/firmware/run_tests.py --arch $(ARCH) --efi $(TEST_EFI) --harness $(HARNESS) \
		--man $(MAN) --vars $(VARS) $(FIRMWARE_TEST_OPTIONS) \
		--work $(FIRMWARE_TEST_DIR) --time-limit $(BOOT_TIME_LIMIT)

# The suites that make test runs, each ARCH/TOOLCHAIN/EDK2_RELEASE (an empty
# tool chain written as -): every architecture of the default build, the
# CLANGDWARF build and EDK II 2025.02's X64 and AArch64 images. The longest
# first, so that the two at a time end close together.
FIRMWARE_SUITES := X64/-/2022.11 IA32/-/2022.11 LOONGARCH64/-/2022.11 AARCH64/-/2022.11 \
	RISCV64/-/2022.11 ARM/-/2022.11 X64/-/2025.02 AARCH64/-/2025.02 X64/CLANGDWARF/2022.11
FIRMWARE_VARIANTS := $(filter-out X64/-/2022.11,$(FIRMWARE_SUITES))
# $(call suite_field,SUITE,N): ARCH (1), TOOLCHAIN (2) or EDK2_RELEASE (3).
suite_field = $(patsubst -,,$(word $(2),$(subst /, ,$(1))))
# $(call suite_make,SUITE,ARCHS): a make of the suite's build, for ARCHS;
# every variable named, so that none comes from this make's command line.
suite_make = $(MAKE) --no-print-directory TOOLCHAIN=$(call suite_field,$(1),2) \
	EDK2_RELEASE=$(call suite_field,$(1),3) EFI_ARCHS="$(2)"
# $(call run_suites,SUITE...): builds the images the suites boot, a build at
# a time (each uses both cores, and the CLANGDWARF build shares the default
# build's EDK II workspace); then runs the suites two at a time, QEMU keeping
# a core busy for each, every suite in a make of its own with its output
# shown whole once it ends. The makes are out of make's sight in the
# functions, hence the + that marks the recipes as runs of make.
suite_builds = $(sort $(foreach suite,$(1),$(subst $(call suite_field,$(suite),1)/,,$(suite))))
suite_archs = $(foreach suite,$(1),$(if $(filter %/$(2),$(suite)),$(call suite_field,$(suite),1)))
run_suites = $(foreach build,$(call suite_builds,$(1)),\
	$(call suite_make,-/$(build),$(call suite_archs,$(1),$(build))) efi &&) \
	$(MAKE) --no-print-directory -j2 $(addprefix firmware-suite/,$(1))

# The packages unpacked into the cache are fetched first too, not by two
# suites at once.
test-firmware-variants: efi $(MAN) $(VARS) | $(QEMU_ROOT) $(VM_FIRMWARE_ROOT)
	@+$(call run_suites,$(FIRMWARE_VARIANTS))

test-firmware-suites: efi $(MAN) $(VARS) $(OVMF_TEST_BUILDS) | $(QEMU_ROOT) $(VM_FIRMWARE_ROOT)
	@+$(call run_suites,$(FIRMWARE_SUITES))

firmware-suite/%:
	@+log=$(BUILD)/firmware-test/$(subst /,_,$*).log; mkdir -p $(BUILD)/firmware-test; \
	$(call suite_make,$*,$(call suite_field,$*,1)) test-firmware ARCH=$(call suite_field,$*,1) \
		>$$log 2>&1; status=$$?; cat $$log; exit $$status
