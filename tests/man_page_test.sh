#!/bin/sh
# The manual page renders without a warning and names every environment
# variable kiv reads (its commands and options are compared with the help's
# and the README's by Frontend.HelpManualAndReadmeAgree).
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
for word in KIV_DETACH_KEY KIV_SESSION KIV_KEY_FILE KIV_SAVE KIV_HISTORY KIV_SIZE XDG_RUNTIME_DIR \
    XDG_DATA_HOME XDG_CONFIG_HOME XDG_STATE_HOME; do
    if ! printf '%s\n' "$text" | grep -qF -- "$word"; then
        echo "the manual page does not mention $word"
        status=1
    fi
done
exit $status
