#!/bin/bash
# make sign's script on a copy of the image, one case per row: a good pair
# gives a signed image that verifies and leaves the unsigned one as it was;
# each refusal prints exactly its one line and leaves no signed image, not
# even the one the good pair left or a partial one. Usage:
#   sign-cases.sh IMAGE TEST_KEY TEST_CERT TEST_KEY_PASSPHRASE
# The key pair is Debian's public test pair, used for this test alone.
set -euo pipefail

IMAGE=${1:?usage: sign-cases.sh IMAGE TEST_KEY TEST_CERT TEST_KEY_PASSPHRASE}
KEY=${2:?}
CERT=${3:?}
PASSPHRASE=${4:?}
SIGN=$(dirname "$0")/../../scripts/sign-efi.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/sign-cases.XXXXXX")
trap 'rm -rf "$work"' EXIT
unsigned=$work/brisvane.efi
signed=$work/brisvane.signed.efi
cp "$IMAGE" "$unsigned"
printf '%s\n' "$PASSPHRASE" >"$work/passphrase"
printf 'not the passphrase\n' >"$work/wrong-passphrase"
printf 'not a PE image\n' >"$work/notes.efi"
# A throwaway pair of its own, made for this run.
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=throwaway -days 1 \
    -keyout "$work/throwaway.key" -out "$work/throwaway.pem" 2>/dev/null
before=$(sha256sum <"$unsigned")

# name | key | cert | passphrase file | the line printed (signed: success),
# on the copy of the image alone
cases=(
    "good pair|$KEY|$CERT|$work/passphrase|signed"
    "mismatched pair|$work/throwaway.key|$CERT||sign: KEY $work/throwaway.key does not match the certificate CERT $CERT"
    "missing key|$work/absent.key|$CERT||sign: KEY $work/absent.key does not exist"
    "passphrase key without passphrase|$KEY|$CERT||sign: KEY $KEY is protected by a passphrase; give it with KEY_PASSPHRASE_FILE=FILE"
    "wrong passphrase|$KEY|$CERT|$work/wrong-passphrase|sign: the passphrase in $work/wrong-passphrase does not unlock KEY $KEY"
    "certificate for key|$work/throwaway.key|$work/throwaway.key||sign: CERT $work/throwaway.key is not a PEM X.509 certificate"
    "bad second image|$work/throwaway.key|$work/throwaway.pem||sign: sbsign could not sign $work/notes.efi: file is too small for DOS header"
)

failed=0
for row in "${cases[@]}"; do
    IFS='|' read -r name key cert passphrase_file expected <<<"$row"
    images=("$unsigned")
    # The first image signs, so its signed copy must go when the second fails.
    [ "$name" != "bad second image" ] || images+=("$work/notes.efi")
    status=0
    output=$(KEY_PASSPHRASE_FILE=$passphrase_file "$SIGN" "$key" "$cert" "${images[@]}" 2>&1) ||
        status=$?
    problem=
    if [ "$expected" = signed ]; then
        if [ $status -ne 0 ] || ! sbverify --cert "$cert" "$signed" >/dev/null 2>&1; then
            problem="no verified signed image (status $status): $output"
        elif [ "$(sha256sum <"$unsigned")" != "$before" ]; then
            problem="the unsigned image changed"
        fi
    elif [ $status -eq 0 ] || [ "$output" != "$expected" ]; then
        problem="status $status, printed: $output"
    elif compgen -G "$work/*.signed*" >/dev/null; then
        problem="left $(cd "$work" && echo ./*.signed*)"
    fi
    if [ -n "$problem" ]; then
        echo "sign: FAIL $name: $problem"
        failed=$((failed + 1))
    else
        echo "sign: ok $name"
    fi
done
[ $failed -eq 0 ] || exit 1
