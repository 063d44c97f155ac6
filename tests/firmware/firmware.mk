# Firmware tests in OVMF's built-in UEFI Shell under QEMU, and `make run` to
# try brisvane in a virtual machine. Included by the root Makefile.
#
#   make run ARGS="-s -NoMap -delay 3"  runs one command line in the VM and
#                                       shows its console text, lasterror and
#                                       the stored variable; the VM's NVRAM
#                                       file (build/vm/) is kept between runs
#   make run-fresh ARGS=...             the same on a fresh copy of OVMF's
#                                       NVRAM template
#   make run SECURE_BOOT=1 ARGS=...     the same with Secure Boot enforced:
#                                       a copy of brisvane.efi signed with
#                                       Debian's public test key, which is
#                                       in db; NVRAM in build/vm-secureboot/
#   make test-firmware                  the firmware test suite, with
#                                       brisvane-vars on the same NVRAM files
#                                       and a boot under Secure Boot
#   make man                            build/brisvane.man, the manual page
#                                       that the shell's `help brisvane` prints

MAN := $(BUILD)/brisvane.man
HARNESS := $(EDK2_OUT)/harness.efi
HARNESS_SOURCES := $(wildcard tests/firmware/harness/*)
VM_DIR := $(BUILD)/vm
FIRMWARE_TEST_DIR := $(BUILD)/firmware-test
# Seconds one boot may take before it is stopped and counted as failed.
BOOT_TIME_LIMIT ?= 120
# The scripts share the package tests/vmtest; -B leaves no bytecode in the tree.
VM_PYTHON := PYTHONPATH="$(CURDIR)/tests" python3 -B

.PHONY: man run run-fresh test-firmware

man: $(MAN)

# The shell reads manual pages as ASCII with CR LF line ends; the source
# keeps plain LF ends.
$(MAN): brisvane.man
	@mkdir -p $(@D)
	@sed 's/\r*$$/\r/' $< > $@

# build-efi.sh builds every component of the package. Ordered after $(EFI)
# so that two EDK II builds never share the workspace; the touch keeps an
# incremental build that had nothing to redo from running again next time.
$(HARNESS): $(HARNESS_SOURCES) BrisvanePkg.dsc scripts/build-efi.sh | edk2 $(EFI)
	@scripts/build-efi.sh $(EDK2) $(BUILD) RELEASE
	@touch $@

# SECURE_BOOT=1 runs the test-signed image, from the test-signed shell, on
# an NVRAM file of its own (a copy of the store that holds the test key).
ifeq ($(SECURE_BOOT),1)
RUN_IMAGES := $(TEST_SIGNED_EFI) $(SECUREBOOT_SHELL)
RUN_OPTIONS := --efi $(TEST_SIGNED_EFI) --secure-boot-shell $(SECUREBOOT_SHELL) --dir $(VM_DIR)-secureboot
else
RUN_IMAGES := $(EFI)
RUN_OPTIONS := --efi $(EFI) --dir $(VM_DIR)
endif

run run-fresh: export BRISVANE_RUN_ARGS = $(ARGS)
run run-fresh: $(RUN_IMAGES) $(MAN) | packages
	@$(VM_PYTHON) scripts/run-in-vm.py $(RUN_OPTIONS) --man $(MAN) \
		$(if $(filter run-fresh,$@),--fresh) --time-limit $(BOOT_TIME_LIMIT) -- "$$BRISVANE_RUN_ARGS"

test-firmware: $(EFI) $(HARNESS) $(MAN) $(VARS) $(TEST_SIGNED_EFI) $(SECUREBOOT_SHELL) | packages
	@$(VM_PYTHON) tests/firmware/run_tests.py --efi $(EFI) --harness $(HARNESS) --man $(MAN) \
		--vars $(VARS) --signed-efi $(TEST_SIGNED_EFI) --secure-boot-shell $(SECUREBOOT_SHELL) \
		--work $(FIRMWARE_TEST_DIR) --time-limit $(BOOT_TIME_LIMIT)
