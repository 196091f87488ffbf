#!/usr/bin/env bash
# `jov` installed as a Linux tool: `cmake --install` into a temporary prefix
# and the Debian package from cpack, each checked for the binary, a man page
# that documents every option the commands accept, and a bash completion
# that offers them; the installed binary then packs the demo's tree.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install_test: $*" >&2; exit 1; }

# Every long option and command of the built `jov`, from its own help.
commands="pack list test extract"
options() { "$build/jov" "$1" --help | grep -o -- '--[a-z][a-z-]*' | sort -u; }

check_tree() {  # ROOT: a prefix holding bin/, share/
  local root=$1
  for f in bin/jov share/man/man1/jov.1.gz share/bash-completion/completions/jov; do
    [[ -f $root/$f ]] || fail "$root/$f missing"
  done
  local version
  version=$("$root/bin/jov" --version | head -1)
  [[ $version == "$("$build/jov" --version | head -1)" ]] || fail "installed jov says '$version'"
  [[ $version =~ ^jov\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version line '$version'"

  # The page renders without a warning and names every command and option.
  local page=$work/page.txt warnings=$work/warnings.txt
  LC_ALL=C.UTF-8 MANWIDTH=400 man --warnings=all -l "$root/share/man/man1/jov.1.gz" > "$page" 2> "$warnings"
  [[ ! -s $warnings ]] || fail "man page warnings: $(cat "$warnings")"
  for section in SYNOPSIS OPTIONS "EXIT STATUS" ENVIRONMENT EXAMPLES; do
    grep -q "^$section" "$page" || fail "man page lacks $section"
  done
  for c in $commands; do
    grep -q "jov $c" "$page" || fail "man page lacks 'jov $c'"
    for o in $(options "$c"); do
      grep -q -- "$o" "$page" || fail "man page lacks $o of jov $c"
    done
  done

  # The completion offers the commands and each command's options.
  local completion=$root/share/bash-completion/completions/jov
  complete_words() {  # WORD...: the completions of the last word
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _jov; echo "${COMPREPLY[*]}"' \
      _ "$completion" "$@"
  }
  [[ $(complete_words jov ex) == extract ]] || fail "completion of 'jov ex': '$(complete_words jov ex)'"
  for c in $commands; do
    local offered
    offered=" $(complete_words jov "$c" -) "
    for o in $(options "$c"); do
      [[ $offered == *" $o"[\ =]* ]] || fail "completion of 'jov $c -' lacks $o: $offered"
    done
  done

  # The demo's pack, with the installed binary and its built-in stub.
  "$root/bin/jov" pack -q -o "$work/Setup.exe" "$source_dir/examples/payload" || fail "installed jov cannot pack"
  "$root/bin/jov" test "$work/Setup.exe" || fail "installed jov refuses its own installer"
}

cmake --install "$build" --prefix "$work/prefix" > /dev/null
check_tree "$work/prefix"

# The Debian package: what dpkg reads from it, and the tree it unpacks to.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" > /dev/null)
deb=$(ls "$work"/package/jov_*.deb)
info=$(dpkg-deb -I "$deb")
for field in "Package: jov" "Section: utils" "Depends: libc6"; do
  grep -q "^ $field" <<< "$info" || fail "package control lacks '$field'"
done
dpkg-deb -x "$deb" "$work/deb"
[[ -z $(find "$work/deb" -path "$work/deb/usr" -prune -o -mindepth 1 -print) ]] || fail "package installs outside /usr"
check_tree "$work/deb/usr"
echo "install_test: prefix and package pass"
