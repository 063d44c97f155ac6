# Secure Boot: signing the built images, and the signed UEFI Shell that the
# Secure Boot test boots. Included by the root Makefile.
#
#   make sign KEY=db.key CERT=db.crt   writes build/brisvane.signed.efi (and
#                                      a signed copy of each other built
#                                      image), checked with sbverify against
#                                      CERT; KEY_PASSPHRASE_FILE=FILE unlocks
#                                      a key that has a passphrase
#   make secureboot-shell              the UEFI Shell built without Debian's
#                                      refusal to run under Secure Boot,
#                                      signed with the test key; built once
#                                      into the EDK II cache
#   make test-sign                     make sign's refusals

# Images of other architectures join the list when they are built; not
# LoongArch64's, whose machine type Debian 12's sbsign does not know.
SIGN_IMAGES = $(EFI) $(wildcard $(foreach arch,ia32 aarch64 arm riscv64,$(BUILD)/$(arch)/brisvane.efi))

UEFI_SHELL_CACHE := $(EDK2_CACHE)/uefi-shell-$(EDK2_RELEASE)
UEFI_SHELL := $(UEFI_SHELL_CACHE)/Shell.efi
SECUREBOOT_SHELL := $(UEFI_SHELL_CACHE)/Shell.signed.efi

# Debian's public test keys ("snakeoil"), enrolled as PK, KEK and db in
# OVMF_VARS_4M.snakeoil.fd: used for the tests and make run SECURE_BOOT=1
# alone, never to sign anything handed out.
TEST_KEY := /usr/share/ovmf/PkKek-1-snakeoil.key
TEST_CERT := /usr/share/ovmf/PkKek-1-snakeoil.pem
TEST_KEY_PASSPHRASE := snakeoil

# Signs images with the test key: IMAGE.efi gives IMAGE.signed.efi.
SIGN_WITH_TEST_KEY = KEY_PASSPHRASE_FILE=<(echo $(TEST_KEY_PASSPHRASE)) \
	scripts/sign-efi.sh $(TEST_KEY) $(TEST_CERT)

# A copy of the image signed with the test key, for the Secure Boot test and
# make run SECURE_BOOT=1; build/brisvane.efi itself stays unsigned.
TEST_SIGNED_EFI := $(BUILD)/test-signed/brisvane.signed.efi

.PHONY: sign secureboot-shell test-sign

sign: $(EFI) | packages
	@KEY_PASSPHRASE_FILE="$(KEY_PASSPHRASE_FILE)" scripts/sign-efi.sh "$(KEY)" "$(CERT)" \
		$(SIGN_IMAGES)

secureboot-shell: $(SECUREBOOT_SHELL)

# Built from the cached EDK II tree and kept beside it: it takes minutes.
$(UEFI_SHELL): | edk2
	@scripts/build-shell.sh $(EDK2) $(UEFI_SHELL_CACHE)

$(SECUREBOOT_SHELL): $(UEFI_SHELL) | packages
	@$(SIGN_WITH_TEST_KEY) $<

$(TEST_SIGNED_EFI): $(EFI) scripts/sign-efi.sh | packages
	@mkdir -p $(@D)
	@cp $< $(@D)/brisvane.efi
	@$(SIGN_WITH_TEST_KEY) $(@D)/brisvane.efi

test-sign: $(EFI) | packages
	@tests/sign/sign-cases.sh $(EFI) $(TEST_KEY) $(TEST_CERT) $(TEST_KEY_PASSPHRASE)
