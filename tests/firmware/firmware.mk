# Firmware tests in the UEFI Shell of EDK II's virtual machine firmware under
# QEMU (OVMF for X64, AAVMF for AARCH64), and `make run` to try brisvane in a
# virtual machine. Included by the root Makefile.
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
#   make test-firmware-variants         the suite on the AArch64 images, the
#                                       CLANGDWARF build and EDK II 2025.02's
#   make man                            build/brisvane.man, the manual page
#                                       that the shell's `help brisvane` prints
#
# ARCH=AARCH64 makes run and test-firmware boot the AArch64 image in AAVMF
# (NVRAM in build/vm-aarch64/); TOOLCHAIN and EDK2_RELEASE pick the build.

MAN := $(BUILD)/brisvane.man
# The architecture booted: X64 or AARCH64, from make's command line alone,
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
TEST_EFI := $(if $(filter X64,$(ARCH)),$(EFI),$(ARCH_DIR)/brisvane.efi)
HARNESS := $(ARCH_DIR)/harness.efi
VM_DIR := $(BUILD)/vm$(if $(filter-out X64,$(ARCH)),-$(notdir $(ARCH_DIR)))
# A work folder per build and architecture: build/firmware-test/x64,
# build/firmware-test/edk2-2025.02/aarch64, ...
FIRMWARE_TEST_DIR := $(BUILD)/firmware-test/$(patsubst $(BUILD)/%,%,$(ARCH_DIR))
# Seconds one boot may take before it is stopped and counted as failed.
BOOT_TIME_LIMIT ?= 120
# The scripts share the package tests/vmtest; -B leaves no bytecode in the tree.
VM_PYTHON := PYTHONPATH="$(CURDIR)/tests" python3 -B

.PHONY: man run run-fresh test-firmware test-firmware-variants

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
run run-fresh: $(RUN_IMAGES) $(MAN) | packages
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

test-firmware: $(TEST_EFI) $(HARNESS) $(MAN) $(VARS) $(OVMF_TEST_BUILDS) | packages
	@$(VM_PYTHON) tests/firmware/run_tests.py --arch $(ARCH) --efi $(TEST_EFI) --harness $(HARNESS) \
		--man $(MAN) --vars $(VARS) $(FIRMWARE_TEST_OPTIONS) \
		--work $(FIRMWARE_TEST_DIR) --time-limit $(BOOT_TIME_LIMIT)

# Each in a make of its own, which builds its images into folders of its
# own; every variable named, so that none comes from this make's command
# line. After this make's build, whose EDK II workspace the CLANGDWARF build
# shares.
VARIANT := --no-print-directory test-firmware
test-firmware-variants: efi $(MAN) $(VARS)
	@$(MAKE) $(VARIANT) ARCH=AARCH64 TOOLCHAIN= EDK2_RELEASE=2022.11
	@$(MAKE) $(VARIANT) ARCH=X64 TOOLCHAIN=CLANGDWARF EDK2_RELEASE=2022.11
	@$(MAKE) $(VARIANT) ARCH=X64 TOOLCHAIN= EDK2_RELEASE=2025.02
	@$(MAKE) $(VARIANT) ARCH=AARCH64 TOOLCHAIN= EDK2_RELEASE=2025.02
