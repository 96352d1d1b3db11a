#!/usr/bin/env bash
# Times `drevik --describe-scenes` on a generated show (10,800 frames, 300 declared scenes,
# 500 segments per frame) against the same process reading that Graphics.csv and stopping:
# the second run is given a one-second Music.csv, so it reads the drawing, reads the tiny
# soundtrack and fails the duration check before doing anything else.
# Usage: bench/describe_scenes_bench.sh [path/to/drevik] [runs]
set -euo pipefail
binary=${1:-build/app/drevik}
runs=${2:-3}
dir=${TMPDIR:-/tmp}/drevik-describe-bench
mkdir -p "$dir"

if [ ! -s "$dir/Graphics.csv" ]; then
  python3 - "$dir/Graphics.csv" <<'PY'
import random, sys
random.seed(7)
frames, scenes, per_frame, duration = 10800, 300, 500, 360
with open(sys.argv[1], "w") as f:
    f.write(f"# duration_seconds={duration}\n")
    f.write("# scene_boundaries_seconds=" + ",".join(f"{duration * i / scenes:g}" for i in range(scenes + 1)) + "\n")
    f.write("time,x1,y1,x2,y2\n")
    r = random.random
    for i in range(frames):
        t = f"{i / frames:.8f}"
        rows = [f"{t},{r():.4f},{r():.4f},{r():.4f},{r():.4f}\n" for _ in range(per_frame)]
        f.write("".join(rows))
PY
fi
printf '# duration_seconds=1\ntime,a\n0,0.5\n' > "$dir/Music.csv"

# Fastest of $runs runs, as "wall cpu" seconds (cpu = user + system; the machine is shared,
# so the CPU time is the steadier figure).
time_run() {
  for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %U %S' -o "$dir/time.txt" "$@" >/dev/null 2>&1 || true
    tail -1 "$dir/time.txt" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
  done | sort -n -k2 | head -1
}

lines=$("$binary" --describe-scenes --graphics "$dir/Graphics.csv" | wc -l)
read -r read_wall read_cpu < <(time_run "$binary" --graphics "$dir/Graphics.csv" --music "$dir/Music.csv")
read -r describe_wall describe_cpu < <(time_run "$binary" --describe-scenes --graphics "$dir/Graphics.csv")
echo "report lines: $lines"
echo "read Graphics.csv only: wall $read_wall s, cpu $read_cpu s"
echo "--describe-scenes:      wall $describe_wall s, cpu $describe_cpu s"
echo "ratio (cpu): $(echo "$describe_cpu / $read_cpu" | bc -l | cut -c1-5) (target at most 1.5)"
