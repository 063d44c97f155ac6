#!/usr/bin/env bash
# Prints how long brisvane-vars takes on the NVRAM file of OVMF's 4 MB build:
# one set, one query, a set that compacts the store, 1,000 sets in a row,
# one set on the same store as a qcow2 image (QEMU's storage daemon started
# and stopped included; needs qemu-img to make the image), and one set
# through --domain (a libvirt session of its own, as in tests/vars/libvirt.py;
# as root, with libvirtd installed: the first, which makes the NVRAM, and
# later ones), one set on each network protocol (NBD, iSCSI and Ceph RBD
# servers of tests/vars/network.py's on loopback), against the floor of replacing the file,
# a plain program that reads it,
# writes a copy beside it, flushes the copy and renames it over the file (and
# flushes the folder). Not a test: the figures are the machine's and its
# disk's, and are printed only.
#
#   scripts/benchmark-vars.sh [TOOL] [TEMPLATE]
#
# TOOL defaults to build/brisvane-vars (make build/brisvane-vars), TEMPLATE
# to /usr/share/OVMF/OVMF_VARS_4M.fd. Needs a C compiler for the floor.
set -euo pipefail

TOOL=$(realpath "${1:-build/brisvane-vars}")
TEMPLATE=${2:-/usr/share/OVMF/OVMF_VARS_4M.fd}
REPEATS=20
WORK=$(mktemp -d "${TMPDIR:-/tmp}/benchmark-vars.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

cat >"$WORK/replace.c" <<'EOF'
/* The old scheme's floor: the file read whole, copied beside itself,
   flushed, renamed over itself, and its folder flushed; with "read", the
   file read whole alone. */
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
  char copy[4096], folder[4096];
  struct stat status;
  int in = open(argv[1], O_RDONLY);
  if (argc < 2 || in < 0 || fstat(in, &status) != 0) return 1;
  char *bytes = malloc(status.st_size);
  if (bytes == NULL || read(in, bytes, status.st_size) != status.st_size) return 1;
  close(in);
  if (argc == 3) return strcmp(argv[2], "read") != 0;
  snprintf(copy, sizeof(copy), "%s.new", argv[1]);
  int out = open(copy, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || write(out, bytes, status.st_size) != status.st_size || fsync(out) != 0) return 1;
  close(out);
  if (rename(copy, argv[1]) != 0) return 1;
  strcpy(folder, argv[1]);
  int dir = open(dirname(folder), O_RDONLY | O_DIRECTORY);
  if (dir < 0 || fsync(dir) != 0) return 1;
  close(dir);
  free(bytes);
  return 0;
}
EOF
cc -O2 -o "$WORK/replace" "$WORK/replace.c"

now() { date +%s%N; }

# Runs "$@" COUNT times, the run's number in place of {}; prints milliseconds per run.
per_run() {
  local count=$1 start end
  shift
  start=$(now)
  for ((run = 0; run < count; run++)); do
    "${@//\{\}/$run}" >/dev/null
  done
  end=$(now)
  echo $(((end - start) / count / 1000))
}

# Prints microseconds as milliseconds with one decimal.
ms() { printf '%d.%d ms' $(($1 / 1000)) $((($1 % 1000) / 100)); }

FILE=$WORK/vm_VARS.fd
cp "$TEMPLATE" "$FILE"
"$TOOL" "$FILE" -s -nomap
set_us=$(per_run $REPEATS "$TOOL" "$FILE" -s -nomap -delay {})
query_us=$(per_run $REPEATS "$TOOL" "$FILE" -g)
floor_us=$(per_run $REPEATS "$WORK/replace" "$FILE")
read_us=$(per_run $REPEATS "$WORK/replace" "$FILE" read)

# A store full of long values, then a set that does not fit: it compacts.
LONG=()
for ((word = 0; word < 289; word++)); do LONG+=(-noconsoleout); done
compact_us=0
for ((run = 0; run < 3; run++)); do
  cp "$TEMPLATE" "$FILE"
  for ((fill = 0; fill < 32; fill++)); do
    first=()
    ((fill % 2 == 0)) && first=(-nostartup)
    "$TOOL" "$FILE" -s "${first[@]}" "${LONG[@]}"
  done
  compact_us=$((compact_us + $(per_run 1 "$TOOL" "$FILE" -s -nonest "${LONG[@]}") / 3))
done

TESTS=$(dirname "$(realpath "$0")")/../tests
if domain_us=$(PYTHONPATH=$TESTS python3 -B "$TESTS/vars/libvirt.py" --tool "$TOOL" --benchmark $REPEATS); then
  first_domain=$(ms "${domain_us%% *}")
  domain=$(ms "${domain_us##* }")
else
  first_domain="not measured: ${domain_us##*$'\n'}"
  domain=$first_domain
fi
network=$(PYTHONPATH=$TESTS python3 -B "$TESTS/vars/network.py" --tool "$TOOL" "$TEMPLATE" --benchmark $REPEATS)

cp "$TEMPLATE" "$FILE"
thousand_start=$(now)
for ((run = 0; run < 1000; run++)); do
  "$TOOL" "$FILE" -s -nomap -delay $run
done
thousand_us=$((($(now) - thousand_start) / 1000))
floor_thousand_us=$(($(per_run 1000 "$WORK/replace" "$FILE") * 1000))

qcow2_us=
if command -v qemu-img >/dev/null; then
  qemu-img convert -O qcow2 "$TEMPLATE" "$WORK/vm_VARS.qcow2"
  qcow2_us=$(per_run $REPEATS "$TOOL" "$WORK/vm_VARS.qcow2" -s -nomap -delay {})
fi

echo "brisvane-vars on $(basename "$TEMPLATE") ($(stat -c %s "$TEMPLATE") bytes), $(df -T "$WORK" | awk 'NR == 2 { print $2 }') at $WORK"
printf '  %-50s %s\n' \
  "one set (mean of $REPEATS)" "$(ms "$set_us")" \
  "one query, -g: no write (mean of $REPEATS)" "$(ms "$query_us")" \
  "a set that compacts (mean of 3)" "$(ms "$compact_us")" \
  "a --domain set that makes the NVRAM (first start)" "$first_domain" \
  "one --domain set (mean of $REPEATS)" "$domain" \
  "1,000 sets" "$(ms "$thousand_us")" \
  "floor: replace the file (mean of $REPEATS)" "$(ms "$floor_us")" \
  "floor's reading alone (mean of $REPEATS)" "$(ms "$read_us")" \
  "floor: 1,000 replacements" "$(ms "$floor_thousand_us")" \
  "one set on a qcow2 image (mean of $REPEATS)" "$([ -n "$qcow2_us" ] && ms "$qcow2_us" || echo "no qemu-img")"
while IFS= read -r line; do
  figure=${line##*: }
  [[ $figure =~ ^[0-9]+$ ]] && figure=$(ms "$figure")
  printf '  %-50s %s\n' "one set on ${line%%: *} (mean of $REPEATS)" "$figure"
done <<<"$network"
