# Installing like any Linux tool, and a Debian package. Included by the root
# Makefile.
#
#   make install [PREFIX=/usr/local] [DESTDIR=]   brisvane-vars, its manual
#                                                 page, each built
#                                                 brisvane.efi with the
#                                                 shell's brisvane.man, the
#                                                 README
#   make uninstall [PREFIX=...] [DESTDIR=...]     removes exactly those files
#   make deb                                      build/brisvane_<version>_<arch>.deb
#   make test-package                             checks the manual page, install
#                                                 and uninstall, and the package

PREFIX ?= /usr/local
DESTDIR ?=
VERSION := $(shell sed -n 's/^ *DEFINE *BRISVANE_VERSION *= *//p' Brisvane.inf)
DEB_ARCH := $(shell dpkg --print-architecture)
DEB := $(BUILD)/brisvane_$(VERSION)_$(DEB_ARCH).deb
VARS_MAN := $(BUILD)/brisvane-vars.1

.PHONY: install uninstall deb test-package

$(VARS_MAN): vars/brisvane-vars.1 Brisvane.inf
	@mkdir -p $(@D)
	@sed 's|@VERSION@|$(VERSION)|g' $< > $@

install: all $(VARS_MAN)
	@scripts/install-files.sh install "$(DESTDIR)$(PREFIX)" $(BUILD)

uninstall:
	@scripts/install-files.sh uninstall "$(DESTDIR)$(PREFIX)"

deb: all $(VARS_MAN) | packages
	@scripts/build-deb.sh $(VERSION) $(DEB_ARCH) $(BUILD) $(DEB)

test-package: deb | packages
	@tests/package/package-checks.sh $(DEB) $(VARS_MAN)
