# Installing like any Linux tool, and a Debian package. Included by the root
# Makefile.
#
#   make install [PREFIX=/usr/local] [DESTDIR=]   brisvane-vars, its manual
#                                                 page and bash completion, each built
#                                                 brisvane.efi with the
#                                                 shell's brisvane.man, the
#                                                 README
#   make uninstall [PREFIX=...] [DESTDIR=...]     removes exactly those files
#   make deb                                      build/brisvane_<version>_<arch>.deb
#
# make deb builds what it packages, and nothing of the tests: the EFI images
# (EDK II and the cross compilers), the shell's manual page, and
# brisvane-vars in a CMake tree of its own with dpkg-buildflags' flags. A
# packager of brisvane-vars alone needs none of that: the CMake project
# builds and installs the tool, its manual page and its completion with the
# compiler and CMake alone (see the README).
#   make test-package                             checks the manual page, install
#                                                 and uninstall, and the package

PREFIX ?= /usr/local
DESTDIR ?=
VERSION := $(shell sed -n 's/^ *DEFINE *BRISVANE_VERSION *= *//p' Brisvane.inf)
DEB_ARCH := $(shell dpkg --print-architecture)
DEB := $(BUILD)/brisvane_$(VERSION)_$(DEB_ARCH).deb
DEB_TREE := $(BUILD)/deb

.PHONY: install uninstall deb test-package

install: all
	@scripts/install-files.sh install "$(DESTDIR)$(PREFIX)" $(BUILD) $(RELEASE_TREE)

uninstall:
	@scripts/install-files.sh uninstall "$(DESTDIR)$(PREFIX)"

deb: efi $(MAN) | build-packages
	@scripts/build-deb.sh $(VERSION) $(DEB_ARCH) $(BUILD) $(DEB_TREE) $(DEB)

test-package: deb $(VARS_MAN) | packages
	@tests/package/package-checks.sh $(DEB) $(VARS_MAN)
