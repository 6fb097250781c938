#!/usr/bin/env bash
# winsim fleet at two sizes: generated machines 1..SMALL and 1..LARGE
# (default 100 and 1,000), --jobs 2. Prints, for each size, the wall time,
# the sum of the servers' own rehearsal times (each server's rehearsal
# from its start to its end, as the fleet measures it), the fleet
# process's peak memory and the largest process's (GNU time), and the
# ratios the fleet must keep:
#   wall / (sum of the servers' times / jobs)             near 1: the jobs stay busy
#   wall per server at LARGE / at SMALL                   near 1: no cost grows with the fleet
#     (and the same over the servers' own time per server, which a machine
#     whose load changes between the two runs moves alike)
#   the fleet process's peak memory at LARGE / at SMALL   near 1: it streams
# Usage: bench/fleet_bench.sh BUILD_DIR [SMALL [LARGE]]   (run in the source tree)
set -euo pipefail
build=$(cd "${1:?usage: fleet_bench.sh BUILD_DIR [SMALL [LARGE]]}" && pwd)
small=${2:-100}
large=${3:-1000}
jobs=2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

measure() {
  local n=$1 status=0
  /usr/bin/time -f '%e %M' -o "$work/time-$n" "$build/winsim" fleet --random "1..$n" --jobs $jobs \
    --out "$work/out-$n" > "$work/stdout-$n" || status=$?
  # 1: some generated server does not complete (a plain user's machine).
  [ $status -le 1 ] || { cat "$work/stdout-$n"; exit 1; }
  local line
  line=$(grep '^Rehearsed ' "$work/stdout-$n")
  # Rehearsed N servers in W s with J jobs: P s of rehearsal per server, S s in all; ... peak memory K KB.
  echo "$n $(echo "$line" | awk '{print $5, $(NF-10), $(NF-1)}') $(tail -1 "$work/time-$n")"
}

echo "measuring $small servers"
read -r n1 wall1 sum1 fleetkb1 timewall1 maxkb1 <<< "$(measure "$small")"
echo "measuring $large servers"
read -r n2 wall2 sum2 fleetkb2 timewall2 maxkb2 <<< "$(measure "$large")"

awk -v n1="$n1" -v w1="$wall1" -v s1="$sum1" -v f1="$fleetkb1" -v m1="$maxkb1" \
    -v n2="$n2" -v w2="$wall2" -v s2="$sum2" -v f2="$fleetkb2" -v m2="$maxkb2" -v j="$jobs" 'BEGIN {
  printf "| servers | wall s | sum of servers s | wall / (sum / %d) | wall per server s | fleet peak KB | largest process KB |\n", j
  printf "|---|---|---|---|---|---|---|\n"
  printf "| %d | %.1f | %.1f | %.3f | %.4f | %d | %d |\n", n1, w1, s1, w1 / (s1 / j), w1 / n1, f1, m1
  printf "| %d | %.1f | %.1f | %.3f | %.4f | %d | %d |\n", n2, w2, s2, w2 / (s2 / j), w2 / n2, f2, m2
  printf "\nwall per server, %d / %d servers: %.3f\n", n2, n1, (w2 / n2) / (w1 / n1)
  printf "the same, each over the servers own time per server (what a change of the machine load leaves out): %.3f\n", ((w2 / n2) / (s2 / n2)) / ((w1 / n1) / (s1 / n1))
  printf "fleet process peak memory, %d / %d servers: %.3f\n", n2, n1, f2 / f1
  printf "rehearsal time per server (%d servers): %.3f s\n", n2, s2 / n2
}'
