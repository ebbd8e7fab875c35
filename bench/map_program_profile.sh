#!/bin/bash
# Of the time Model::map takes in 40 warm maps of the MobileNet-like network (map_program 1 40 0),
# the shares of memmove/memcpy and of the kernel (page faults, zeroing and unmapping memory), from
# the call stacks that perf record samples. Needs perf and python3.
#   bench/map_program_profile.sh [map_program binary]
set -euo pipefail
binary=${1:-build/release/bench/map_program}
data=$(mktemp)
trap 'rm -f "$data"' EXIT
perf record -q -F 2000 --call-graph dwarf,16384 -o "$data" "$binary" 1 40 0 >/dev/null 2>&1
perf script -i "$data" -F ip,sym,dso 2>/dev/null | python3 -c '
import re, sys
samples = sys.stdin.read().split("\n\n")
under_map = memmove = kernel = 0
for sample in samples:
    frames = [line.strip() for line in sample.strip().splitlines()]
    if not frames or not any("Model::map" in frame for frame in frames):
        continue
    under_map += 1
    leaf = frames[0]
    if "kernel.kallsyms" in leaf:
        kernel += 1
    elif re.search(r"__mem(move|cpy)", leaf):
        memmove += 1
if under_map == 0:
    sys.exit("no sample under Model::map")
print(f"samples under Model::map: {under_map}")
print(f"memmove/memcpy:                           {100 * memmove / under_map:5.1f}%")
print(f"kernel (page faults, zeroing, unmapping): {100 * kernel / under_map:5.1f}%")
print(f"both:                                     {100 * (memmove + kernel) / under_map:5.1f}%")
'
