#!/usr/bin/env bash
# An installer signed with Authenticode, as the README shows: a self-signed
# certificate from openssl, osslsigncode's signature behind the archive. The
# seal must still hold (`jov test`), and the signature must verify.
# Usage: sign_test.sh JOV SOURCE_DIR
set -euo pipefail
jov=$1
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "sign_test: $*" >&2; exit 1; }
cd "$work"

"$jov" pack -q -o Setup.exe "$source_dir/examples/payload"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=JOV test" \
    -keyout key.pem -out cert.pem 2> /dev/null
osslsigncode sign -certs cert.pem -key key.pem -n "Tovrel" -in Setup.exe -out Signed.exe > /dev/null
osslsigncode verify -in Signed.exe -CAfile cert.pem > verify.txt 2>&1 || fail "signature does not verify: $(cat verify.txt)"
(( $(stat -c %s Signed.exe) > $(stat -c %s Setup.exe) )) || fail "nothing was appended"
"$jov" test Signed.exe || fail "jov test refuses the signed installer"
cmp -s <("$jov" list Setup.exe | head -n -1) <("$jov" list Signed.exe | head -n -1) || fail "records differ after signing"

# The seal still guards the stub: a changed byte of a signed stub is refused.
cp Signed.exe Broken.exe
printf '\x5a' | dd of=Broken.exe bs=1 seek=600 conv=notrunc status=none
if "$jov" test Broken.exe 2> err.txt; then fail "a changed stub passed"; fi
grep -q "stub does not match its seal" err.txt || fail "unexpected refusal: $(cat err.txt)"
echo "sign_test: signed installer passes"
