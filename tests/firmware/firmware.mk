# Targets that boot OVMF under QEMU: filled in by the firmware test suite.
