#!/usr/bin/env bash
# The long fleet runs behind the figures in README.md ("Fleet runs"). First a day: the
# fleet simulator plays 200 taxis for a simulated day with faults against the service,
# once on a SQLite file and once on a private PostgreSQL server, and prints what it
# played, the faults, the checker's counts (lost, twice within the allowances, wrong),
# the service's resident memory and open descriptors through the run, the delay from
# the gateway's write of a position to its committed row, and the CPU time per packet.
# The day runs faster than real time, so its delays are those of a service with more
# work than a real fleet gives it. Then the delays at the pace the fleet needs: five
# minutes of the same fleet in real time, without faults. Then the highest pace: one
# minute of the fleet, without faults, at rising speeds, each line with the packets a
# second asked for and the delays; the highest pace whose 99th percentile stays under
# a second is the pace the service sustains.
#
#   scripts/fleet_long_run.sh [--taxis N] [--hours H] [--speed X] [--seed S] [--out DIR]
#                             [--database sqlite|postgres|both] [--no-day] [--no-pace]
#
# Defaults: 200 taxis, 24 hours at 24x (an hour per database), seed 1, both databases,
# files under /tmp/dorvek-fleet-long. Everything stays on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."

taxis=200 hours=24 speed=24 seed=1 out=/tmp/dorvek-fleet-long databases="sqlite postgres" day=1 pace=1
while (($#)); do
  case "$1" in
    --taxis) taxis=$2; shift 2 ;;
    --hours) hours=$2; shift 2 ;;
    --speed) speed=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --database) databases=$([ "$2" = both ] && echo "sqlite postgres" || echo "$2"); shift 2 ;;
    --no-day) day=0; shift ;;
    --no-pace) pace=0; shift ;;
    *) echo "usage: $0 [--taxis N] [--hours H] [--speed X] [--seed S] [--out DIR] [--database sqlite|postgres|both] [--no-day] [--no-pace]" >&2; exit 2 ;;
  esac
done

./scripts/setup.sh build >/dev/null
mkdir -p "$out"
sim=build/fleet_simulator

if ((day)); then
  for database in $databases; do
    echo "== a day: $taxis taxis, $hours simulated hours at ${speed}x, faults, $database"
    rm -rf "$out/day-$database"
    "$sim" --fleet "$taxis" --hours "$hours" --speed "$speed" --seed "$seed" --faults --faults-per-hour 2 --figures \
      --database "$database" --work-dir "$out/day-$database" --max-findings 40 | tee "$out/day-$database.txt" || true
  done
fi

if ((pace)); then
  for database in $databases; do
    echo "== the pace the fleet needs: five minutes of $taxis taxis in real time, no faults, $database"
    rm -rf "$out/real-time-$database"
    "$sim" --fleet "$taxis" --hours 0.0834 --speed 1 --seed "$seed" --figures --database "$database" \
      --work-dir "$out/real-time-$database" --max-findings 0 >"$out/real-time-$database.txt" 2>&1 || true
    grep -E "^figures|^played in|^verdict" "$out/real-time-$database.txt" || true
  done
  for database in $databases; do
    if [ "$database" = sqlite ]; then speeds="10 20 25 30 35 40 50"; else speeds="20 40 80 120 160 240"; fi
    echo "== the highest pace: one minute of $taxis taxis, no faults, $database"
    printf '%8s %10s %10s %10s %12s\n' speed packets/s median_ms p99_ms µs/packet
    best=""
    for s in $speeds; do
      h=$(awk -v s="$s" 'BEGIN { printf "%.4f", s / 60 }')
      rm -rf "$out/pace-$database-$s"
      "$sim" --fleet "$taxis" --hours "$h" --speed "$s" --seed "$seed" --figures --database "$database" \
        --work-dir "$out/pace-$database-$s" --max-findings 0 >"$out/pace-$database-$s.txt" 2>&1 || true
      line=$(grep "gateway write to committed" "$out/pace-$database-$s.txt" || true)
      rate=$(sed -n 's/.* at \([0-9]*\) packets\/s.*/\1/p' <<<"$line")
      median=$(sed -n 's/.*median \([0-9]*\) ms.*/\1/p' <<<"$line")
      p99=$(sed -n 's/.*99th percentile \([0-9]*\) ms.*/\1/p' <<<"$line")
      cpu=$(sed -n 's/.*: \([0-9]*\) µs a packet.*/\1/p' "$out/pace-$database-$s.txt")
      printf '%8s %10s %10s %10s %12s\n' "${s}x" "${rate:-?}" "${median:-?}" "${p99:-?}" "${cpu:-?}"
      if [ -n "$p99" ] && [ "$p99" -lt 1000 ]; then best="$rate packets/s (${s}x: median $median ms, 99th percentile $p99 ms)"; fi
    done
    echo "highest pace sustained on $database (99th percentile under 1 s): ${best:-none of these}"
  done
fi
echo "== files in $out"
