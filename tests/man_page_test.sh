#!/bin/sh
# The manual page renders without a warning, and names every option of the
# help text, every command word and every environment variable kiv reads.
# Usage: man_page_test.sh <kiv binary> <kiv.1>
set -u
kiv=$1
page=$2
command -v man >/dev/null 2>&1 || { echo "man is not installed"; exit 77; }

status=0
warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "man -l warns:"
    echo "$warnings"
    status=1
fi

# The source with troff's escaped minus signs as plain ones.
text=$(sed 's/\\-/-/g' "$page")
options=$("$kiv" --help | grep -oE '(^|[ ,])--?[a-z][a-z-]*' | sed 's/^[ ,]*//' | sort -u)
[ -n "$options" ] || { echo "no options found in the help"; exit 1; }
for word in $options daemon attach new ls kill send \
    KIV_DETACH_KEY KIV_SIZE KIV_SESSION KIV_KEY_FILE XDG_RUNTIME_DIR XDG_DATA_HOME XDG_CONFIG_HOME; do
    if ! printf '%s\n' "$text" | grep -qF -- "$word"; then
        echo "the manual page does not mention $word"
        status=1
    fi
done
exit $status
