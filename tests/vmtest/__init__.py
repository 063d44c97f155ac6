"""brisvane in a virtual machine, from the outside: OVMF or AAVMF booted
under QEMU (machine), the UEFI Shell scripts it runs and the console read
back (shell), its NVRAM file as UEFIExtract reads it (nvram), and a tally
of checks (checks). Used by `make run`, the firmware suite and the interop
check of brisvane-vars, with tests/ on PYTHONPATH.
"""

# The vendor GUID under which the UEFI Shell keeps its variables, and the one
# of them that brisvane keeps.
SHELL_GUID = "158DEF5A-F656-419C-B027-7A3192C079D2"
VARIABLE = "Brisvane"


def ucs2(text):
    """text as a variable's data: UCS-2 with a final NUL."""
    return (text + "\0").encode("utf-16-le")
