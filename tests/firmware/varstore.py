"""Reads variables out of an OVMF NVRAM file with UEFIExtract (Debian's
uefitool-cli), independently of the firmware that wrote them.

`UEFIExtract FILE all` dumps every element of the image into FILE.dump/: a
folder per variable store entry with info.txt (its name as "Text:", the
"Variable GUID:", "State:", "Attributes:") and body.bin (its data). Entries
of deleted or superseded variables come out with the subtype "Invalid" and
no name.
"""

import os
import re
import shutil
import subprocess
import tempfile
from typing import NamedTuple


class VariableEntry(NamedTuple):
    name: str
    guid: str
    state: int
    attributes: int
    data: bytes


# The state byte of a variable that is in force (VAR_ADDED, with the other
# bits of the in-progress and deleted markers still erased to 1).
VAR_ADDED_STATE = 0x3F


def _field(info, name):
    match = re.search(rf"^{re.escape(name)}: (.*)$", info, re.MULTILINE)
    return match.group(1).strip() if match else None


def read_variables(vars_file, name, guid):
    """Every valid entry for the variable NAME under GUID in vars_file, in
    store order."""
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "vars.fd")
        shutil.copyfile(vars_file, image)
        result = subprocess.run(
            ["UEFIExtract", image, "all"], capture_output=True, text=True, timeout=120
        )
        dump = image + ".dump"
        if not os.path.isdir(dump):
            raise RuntimeError(
                f"UEFIExtract made no dump (status {result.returncode}): "
                f"{result.stdout}{result.stderr}"
            )
        entries = []
        for folder, _, files in os.walk(dump):
            if "info.txt" not in files or "body.bin" not in files:
                continue
            with open(os.path.join(folder, "info.txt"), encoding="utf-8", errors="replace") as f:
                info = f.read()
            if _field(info, "Type") != "VSS entry" or _field(info, "Subtype") == "Invalid":
                continue
            if _field(info, "Text") != name or (_field(info, "Variable GUID") or "").upper() != guid:
                continue
            with open(os.path.join(folder, "body.bin"), "rb") as f:
                data = f.read()
            entries.append(
                VariableEntry(
                    name,
                    guid,
                    int(_field(info, "State").rstrip("h"), 16),
                    int(_field(info, "Attributes").split()[0].rstrip("h"), 16),
                    data,
                )
            )
        with open(image + ".report.txt", encoding="utf-8", errors="replace") as f:
            report = f.read()
        # Without a parsed store an empty answer would mean nothing.
        if not re.search(r"^ VSS2? store ", report, re.MULTILINE):
            raise RuntimeError("UEFIExtract found no variable store in the file")
        return entries
