# shellcheck shell=sh
# A private apt configuration, for fetching from another Debian suite than
# the machine's own while leaving the system's apt configuration, package
# lists and installed packages untouched. Sourced by the fetch scripts
# (POSIX sh, set -eu).
#
# The machine's apt sources may list binary packages of its own release only,
# so the entries are derived from its own sources file: the same URIs and
# keys, with the types and suites asked for.

SYSTEM_SOURCES=/etc/apt/sources.list.d/debian.sources

# private_apt_setup WORK TYPES SUITE: an apt configuration in the folder
# WORK, for TYPES (deb or deb-src) of SUITE. SUITE is a release (trixie), whose
# companion suites follow the system's (bookworm-updates becomes
# trixie-updates), or "backports", the system release's backports suite
# alone. private_apt and private_apt_cache then run apt-get and apt-cache on
# it, with downloads in WORK/archives; its package lists are fetched.
private_apt_setup() {
    PRIVATE_APT=$1
    mkdir -p "$PRIVATE_APT/sources" "$PRIVATE_APT/lists/partial" "$PRIVATE_APT/archives/partial"
    [ -r "$SYSTEM_SOURCES" ] || {
        echo "private-apt: $SYSTEM_SOURCES is missing; cannot derive a source entry" >&2
        exit 1
    }
    system_suite=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
    suite=$3
    [ "$suite" != backports ] || suite=$system_suite-backports
    # A stanza left with no suite (the security archive, for backports) is
    # disabled rather than dropped, which keeps the awk a line filter.
    awk -v types="$2" -v from="$system_suite" -v to="$suite" '
        /^Types:/ { $0 = "Types: " types }
        /^Suites:/ {
            line = ""
            for (i = 2; i <= NF; i++) {
                if ($i == from) line = line " " to
                else if (index($i, from "-") == 1 && to !~ /-/) line = line " " to substr($i, length(from) + 1)
            }
            $0 = line == "" ? $0 "\nEnabled: no" : "Suites:" line
        }
        { print }' "$SYSTEM_SOURCES" >"$PRIVATE_APT/sources/private.sources"
    # An empty package status: apt resolves dependencies as if nothing were
    # installed, and never reads or locks the system's.
    : >"$PRIVATE_APT/status"
    private_apt -qq update
}

# private_apt_run PROGRAM ARGUMENT...: apt-get or apt-cache on the
# configuration; private_apt and private_apt_cache name one each.
private_apt_run() {
    program=$1
    shift
    "$program" -o Dir::Etc::SourceList=/dev/null -o APT::Sandbox::User=root \
        -o Dir::Etc::SourceParts="$PRIVATE_APT/sources" \
        -o Dir::State::Lists="$PRIVATE_APT/lists" \
        -o Dir::State::status="$PRIVATE_APT/status" \
        -o Dir::Cache::Archives="$PRIVATE_APT/archives" "$@"
}

private_apt() { private_apt_run apt-get "$@"; }
private_apt_cache() { private_apt_run apt-cache "$@"; }
