#!/usr/bin/env python3
"""Checks that every product file's includes run one way, down the tree's
layers: the platform seam's types at the bottom, then the portable core
(the store, then the command logic), the store format library, the UEFI
application, and brisvane-vars' wings, each of which may use those below
it (base, then the optional libraries, the media, libvirt, and the front
end on top). Prints each include that runs against the direction and exits
1 if there is one.

    check-layout.py [ROOT]
"""

import os
import re
import sys

# Bottom first: a file may include what lies in its own layer or a lower one.
LAYERS = ["platform/", "store/", "command/", "nvram/", "app/",
          "vars/base/", "vars/dl/", "vars/media/", "vars/libvirt/", "vars/cli/"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer(path):
    """The rank of the layer that path lies in, or None outside them."""
    ranks = [rank for rank, prefix in enumerate(LAYERS) if path.startswith(prefix)]
    return ranks[-1] if ranks else None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    wrong = []
    for top in {prefix.split("/")[0] for prefix in LAYERS}:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in names:
                if not name.endswith((".c", ".cpp", ".h")):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root)
                if layer(path) is None:
                    wrong.append(f"{path} lies in no layer")
                    continue
                with open(os.path.join(root, path)) as f:
                    for included in INCLUDE.findall(f.read()):
                        rank = layer(included)
                        if rank is not None and rank > layer(path):
                            wrong.append(f"{path} includes {included}, a layer above its own")
    for line in wrong:
        print(f"layout: {line}")
    if not wrong:
        print(f"layout: every include runs down the layers ({' < '.join(LAYERS)})")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
