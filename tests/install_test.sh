#!/bin/sh
# `cmake --install` into a DESTDIR puts every file in its place, for a /usr
# prefix (as the Debian package has it) and for /usr/local.
# Usage: install_test.sh <build directory>
set -u
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
status=0

check() {  # <prefix> <zsh completion directory>
    root=$dest/$(echo "$1" | tr / _)
    DESTDIR=$root cmake --install "$build" --prefix "$1" >/dev/null || { echo "install failed"; return 1; }
    for file in bin/kiv share/man/man1/kiv.1 share/bash-completion/completions/kiv \
        "share/zsh/$2/_kiv" share/fish/vendor_completions.d/kiv.fish; do
        [ -f "$root$1/$file" ] || { echo "missing: $1/$file"; status=1; }
    done
    [ -x "$root$1/bin/kiv" ] && [ "$("$root$1/bin/kiv" --version)" = "kiv 0.1.1" ] ||
        { echo "$1/bin/kiv does not run"; status=1; }
    extra=$(cd "$root" && find . -type f | wc -l)
    [ "$extra" -eq 5 ] || { echo "expected 5 files under $1, got:"; (cd "$root" && find . -type f); status=1; }
}
check /usr vendor-completions
check /usr/local site-functions
exit $status
