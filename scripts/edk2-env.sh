# shellcheck shell=bash
# What the scripts that run EDK II's build share: the environment that
# edksetup.sh and build read, and a build whose log is kept and whose errors
# are shown. Sourced by bash scripts that run with set -euo pipefail.

# edk2_setup EDK2_DIR WORKSPACE PACKAGES_PATH: exports EDK II's environment
# and runs edksetup.sh, leaving EDK2_DIR the current folder.
edk2_setup() {
    export WORKSPACE=$2
    export PACKAGES_PATH=$3
    export EDK_TOOLS_PATH=$1/BaseTools
    export CONF_PATH=$2/Conf
    export PYTHON_COMMAND=${PYTHON_COMMAND:-python3}
    cd "$1" || return
    # edksetup.sh reads its own arguments; give it none of ours.
    set --
    set +u
    # shellcheck disable=SC1091 # EDK II's own set-up script
    . ./edksetup.sh >/dev/null
    set -u
}

# edk2_build NAME LOG BUILD-ARGUMENT...: runs EDK II's build with its output
# in LOG; on failure shows the errors, names LOG, and exits.
edk2_build() {
    local name=$1 log=$2
    shift 2
    if ! build "$@" -n "$(nproc)" >"$log" 2>&1; then
        grep -E -B2 -A6 "error:|error [0-9A-F]+:" "$log" | head -60 >&2
        echo "$name: EDK II build failed; the whole log is $log" >&2
        exit 1
    fi
}
