#!/usr/bin/env bash
# Measures sph-bench's frames/s for 1 and 2 threads at 16000, 64000 and
# 128000 particles and prints a Markdown table of the medians, with the
# lowest and highest run beside each.
#
#   scripts/perf_table.sh [SPH_BENCH] [FRAMES] [RUNS]
#   (defaults: build/tools/sph-bench, 300 frames, 3 runs)
#
# The machine is shared and noisy, so every run waits until the CPUs have
# been idle for a few seconds, and a run during which other processes used
# noticeable CPU time is thrown away and repeated. Progress goes to stderr.
set -euo pipefail

bench=${1:-build/tools/sph-bench}
frames=${2:-300}
runs=${3:-3}
ticks=$(getconf CLK_TCK)
# Other processes may use at most this share of one CPU during a run.
max_foreign_share=0.05
# Give up waiting for quiet after this many seconds and measure anyway.
max_wait=1800

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Busy CPU ticks (all CPUs) and total ticks, from the first line of /proc/stat.
cpu_ticks() {
  awk '/^cpu /{busy=$2+$3+$4+$7+$8+$9; total=busy+$5+$6; print busy, total}' /proc/stat
}

# Children's user+system CPU seconds, from the second line of `times` output
# saved in a file. (`times` must run in the shell that started the child,
# never in a $(...) subshell, whose own children are none.)
children_cpu_seconds() {
  awk 'NR==2 {
    total = 0
    for (i = 1; i <= 2; ++i) { split($i, t, /[ms]/); total += t[1] * 60 + t[2] }
    printf "%.3f", total }' "$1"
}

wait_for_quiet() {
  local waited=0
  while :; do
    read -r b0 t0 < <(cpu_ticks)
    sleep 3
    read -r b1 t1 < <(cpu_ticks)
    # Busy share of all CPUs over the last three seconds, in percent.
    local busy=$(( (b1 - b0) * 100 / ((t1 - t0) > 0 ? (t1 - t0) : 1) ))
    if (( busy <= 4 )); then return; fi
    waited=$((waited + 3))
    if (( waited >= max_wait )); then
      echo "warning: machine not quiet after ${max_wait}s (busy ${busy}%); measuring anyway" >&2
      return
    fi
    sleep 5
    waited=$((waited + 5))
  done
}

# One undisturbed run (or, after several disturbed tries, the last one, with
# a warning); prints frames/s.
measure_once() {
  local threads=$1 layers=$2 try
  for ((try = 1; ; ++try)); do
    wait_for_quiet
    read -r b0 _ < <(cpu_ticks)
    local cpu0 start end cpu1 b1 line
    start=$(date +%s.%N)
    times > "$scratch/before"
    "$bench" --frames "$frames" --threads "$threads" --layers "$layers" > "$scratch/line"
    times > "$scratch/after"
    end=$(date +%s.%N)
    read -r b1 _ < <(cpu_ticks)
    cpu0=$(children_cpu_seconds "$scratch/before")
    cpu1=$(children_cpu_seconds "$scratch/after")
    line=$(cat "$scratch/line")
    local verdict foreign
    read -r verdict foreign < <(awk -v b="$((b1 - b0))" -v hz="$ticks" -v own="$(awk -v a="$cpu0" -v c="$cpu1" 'BEGIN{print c-a}')" \
      -v wall="$(awk -v s="$start" -v e="$end" 'BEGIN{print e-s}')" -v limit="$max_foreign_share" \
      'BEGIN { foreign = b / hz - own; printf "%s %.2f\n", (foreign <= limit * wall + 0.2) ? "ok" : "disturbed", foreign }')
    local fps=${line##*frames/s: }
    if [[ $verdict == ok || $try -ge 6 ]]; then
      [[ $verdict == ok ]] || echo "warning: kept a disturbed run" >&2
      echo "  threads $threads layers $layers: $fps frames/s (others used ${foreign}s CPU)" >&2
      echo "$fps"
      return
    fi
    echo "  threads $threads layers $layers: $fps frames/s, disturbed (others used ${foreign}s CPU); again" >&2
  done
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

echo "| particles | threads | command | frames/s (median of $runs) | range |"
echo "| ---: | ---: | --- | ---: | ---: |"
for block in "20,20,40 16000" "40,40,40 64000" "40,40,80 128000"; do
  read -r layers particles <<< "$block"
  for threads in 1 2; do
    results=()
    for ((run = 0; run < runs; ++run)); do results+=("$(measure_once "$threads" "$layers")"); done
    med=$(printf '%s\n' "${results[@]}" | median)
    range=$(printf '%s\n' "${results[@]}" | sort -g | sed -n '1p;$p' | paste -sd '-' | sed 's/-/ – /')
    echo "| $particles | $threads | \`$bench --frames $frames --threads $threads --layers $layers\` | $med | $range |"
  done
done
