#!/usr/bin/env bash
# How much memory tmux's server takes per line of a full 10000-line history
# (tmux drops a tenth of it whenever it is full, so it holds 9000 to 10000),
# for the same plain and colour text that screen_bench's BM_HistoryMemory
# stores, to put beside kiv's bytes per history line.
#   bench/tmux_memory.sh
set -euo pipefail

lines=10100
work=$(mktemp -d)
sock="kivbench$$"
trap 'tmux -L "$sock" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT

python3 - "$work" "$lines" <<'PY'
import sys
work, lines = sys.argv[1], int(sys.argv[2])
def text(n):
    return ''.join(chr(0x21 + (n * 7 + i * 13) % 94) for i in range(80))
with open(f'{work}/plain.txt', 'w') as f:
    for n in range(lines):
        f.write(text(n) + '\r\n')
with open(f'{work}/colour.txt', 'w') as f:
    for n in range(lines):
        t = text(n)
        out = ''
        for i in range(0, 80, 4):
            c = (n * 31 + i * 7) % 256
            out += f'\x1b[38;5;{c}'
            if i % 16 == 0:
                out += f';48;5;{(c * 3) % 256}'
            out += 'm' + t[i:i + 4]
        f.write(out + '\x1b[0m\r\n')
PY

echo 'set -g history-limit 10000' >"$work/tmux.conf"

rss() { awk '/^Rss:/ {print $2 * 1024}' "/proc/$1/smaps_rollup"; }

for kind in plain colour; do
    rm -f "$work/go" "$work/done"
    tmux -L "$sock" -f "$work/tmux.conf" new-session -d -x 80 -y 24 \
        "stty raw -echo; while [ ! -e $work/go ]; do sleep 0.05; done; cat $work/$kind.txt; touch $work/done; sleep 1000"
    pid=$(tmux -L "$sock" display -p '#{pid}')
    sleep 0.5
    before=$(rss "$pid")
    touch "$work/go"
    for _ in $(seq 300); do
        [ -e "$work/done" ] && break
        sleep 0.1
    done
    sleep 1
    after=$(rss "$pid")
    history=$(tmux -L "$sock" display -p '#{history_size}')
    awk -v k="$kind" -v b="$before" -v a="$after" -v h="$history" \
        'BEGIN { printf "tmux %-6s text: %d history lines, %.0f bytes per line\n", k, h, (a - b) / h }'
    tmux -L "$sock" kill-server
    sleep 0.2
done
