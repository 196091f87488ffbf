#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR: `jov` from `cmake --install` and from the Debian package,
# its man page and bash completion covering every command and option, packing with its own stub.
set -euo pipefail
build=$(cd "$1" && pwd) source_dir=$(cd "$2" && pwd) work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install_test: $*" >&2; exit 1; }
options() { "$build/jov" "$1" --help | grep -o -- '--[a-z][a-z-]*' | sort -u; }

check_tree() {  # ROOT holding bin/ and share/
  local root=$1 page=$work/page.txt version offered
  version=$("$root/bin/jov" --version | head -1)
  [[ $version == "$("$build/jov" --version | head -1)" && $version =~ ^jov\ [0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    fail "installed jov says '$version'"
  LC_ALL=C.UTF-8 MANWIDTH=400 man --warnings=all -l "$root/share/man/man1/jov.1.gz" > "$page" 2> "$work/warnings"
  [[ ! -s $work/warnings ]] || fail "man page warnings: $(cat "$work/warnings")"
  grep -q "^$version " "$page" || fail "man page footer does not say '$version'"
  for section in SYNOPSIS OPTIONS "EXIT STATUS" ENVIRONMENT EXAMPLES; do
    grep -q "^$section" "$page" || fail "man page lacks $section"
  done
  complete_words() {  # WORD...: the completions of the last word
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _jov; printf "%s\\n" "${COMPREPLY[@]}"' \
      _ "$root/share/bash-completion/completions/jov" "$@"
  }
  [[ $(complete_words jov ex) == extract ]] || fail "completion of 'jov ex': '$(complete_words jov ex)'"
  # bash hands "--overwrite=n" over as three words; a name with a space is one candidate.
  [[ $(complete_words jov extract --overwrite = n) == never ]] || fail "completion after --overwrite= offers more"
  mkdir -p "$work/names" && touch "$work/names/a b.exe"
  [[ $(cd "$work/names" && complete_words jov test a) == "a b.exe" ]] || fail "a name with a space is split"
  for c in pack list test extract; do
    grep -q "jov $c" "$page" || fail "man page lacks 'jov $c'"
    offered=" $(complete_words jov "$c" - | tr '\n' ' ')"
    for o in $(options "$c"); do
      grep -q -- "$o" "$page" || fail "man page lacks $o of jov $c"
      [[ $offered == *" $o"[\ =]* ]] || fail "completion of 'jov $c -' lacks $o: $offered"
    done
  done
  for doc in README.md LICENSE copyright; do
    [[ -s $root/share/doc/jov/$doc ]] || fail "share/doc/jov/$doc is not installed"
  done
  "$root/bin/jov" pack -q -o "$work/Setup.exe" "$source_dir/examples/payload" || fail "installed jov cannot pack"
  "$root/bin/jov" test "$work/Setup.exe" || fail "installed jov refuses its own installer"
}

cmake --install "$build" --prefix "$work/prefix" > /dev/null
check_tree "$work/prefix"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" > /dev/null)
deb=$(ls "$work"/package/jov_*.deb)
info=$(dpkg-deb -I "$deb")
for field in "Package: jov" "Section: utils" "Depends: libc6"; do
  grep -q "^ $field" <<< "$info" || fail "package control lacks '$field'"
done
! grep -q -E "^ Depends:.*deflate|^ Maintainer:.*localhost" <<< "$info" || fail "package control: $info"

dpkg-deb -x "$deb" "$work/deb"
[[ -z $(find "$work/deb" -path "$work/deb/usr" -prune -o -mindepth 1 -print) ]] || fail "package installs outside /usr"
check_tree "$work/deb/usr"
echo "install_test: prefix and package pass"
