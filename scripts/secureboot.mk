# Secure Boot: signing the built images. Included by the root Makefile.
#
#   make sign KEY=db.key CERT=db.crt   writes build/brisvane.signed.efi (and
#                                      a signed copy of each other built
#                                      image), checked with sbverify against
#                                      CERT; KEY_PASSPHRASE_FILE=FILE unlocks
#                                      a key that has a passphrase
#   make test-sign                     make sign's refusals

# Images of other architectures join the list when they are built.
SIGN_IMAGES = $(EFI) $(wildcard $(BUILD)/aarch64/brisvane.efi)

# Debian's public test keys ("snakeoil"), enrolled as PK, KEK and db in
# OVMF_VARS_4M.snakeoil.fd: used for the Secure Boot test alone, never to
# sign anything handed out.
TEST_KEY := /usr/share/ovmf/PkKek-1-snakeoil.key
TEST_CERT := /usr/share/ovmf/PkKek-1-snakeoil.pem
TEST_KEY_PASSPHRASE := snakeoil

.PHONY: sign test-sign

sign: $(EFI) | packages
	@KEY_PASSPHRASE_FILE="$(KEY_PASSPHRASE_FILE)" scripts/sign-efi.sh "$(KEY)" "$(CERT)" \
		$(SIGN_IMAGES)

test-sign: $(EFI) | packages
	@tests/sign/sign-cases.sh $(EFI) $(TEST_KEY) $(TEST_CERT) $(TEST_KEY_PASSPHRASE)
