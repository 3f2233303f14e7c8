#!/usr/bin/env bash
# Self-healing modems, measured (not a test): `reviri gateway` on one
# simulated modem (`reviri sim`, a process of its own) behind a symbolic
# link, as /dev/serial/by-id/ gives real ones.
#
# 1. Re-plug: ROUNDS times the modem is unplugged (`sim-ctl unplug`: the
#    pseudo-terminal closes and the link goes), the gateway logs
#    modem-unplugged, then it is plugged in again; the figure is the time
#    from the `plug` request (taken just before it) to the gateway's
#    event=modem-up line (millisecond time stamps). The simulated modem
#    answers at once, so this is the whole time after the modem answers.
# 2. Idle AT lines: the command lines the modem reads while the gateway is
#    idle for SECONDS (the simulator's `heard` counts, before and after),
#    per command and per minute.
#
#   bench/gateway_heal.sh REVIRI_TOOL [ROUNDS] [SECONDS]
set -euo pipefail
tool=${1:?usage: $0 REVIRI_TOOL [ROUNDS] [SECONDS]}
rounds=${2:-10}
seconds=${3:-120}
source "$(dirname "$0")/lib.sh"
api=$(free_port)
background "$tool" sim --symlink "$work/modem" --control "$work/sim.ctl" >"$work/sim.log" 2>&1
until [ -S "$work/sim.ctl" ] && [ -e "$work/modem" ]; do sleep 0.05; done
write_token "$work/token"
background "$tool" gateway --modem "$work/modem,name=m" --db "$work/gateway.db" --listen "127.0.0.1:$api" \
  --token-file "$work/token" 2>"$work/gateway.log"
gateway=$last_pid

# Waits until the log holds at least $2 lines with $1 (at most 30 s).
wait_for() {
  local deadline=$((SECONDS + 30))
  until [ "$(grep -c "$1" "$work/gateway.log" || true)" -ge "$2" ]; do
    [ $SECONDS -lt $deadline ] || { cat "$work/gateway.log" >&2; echo "no $2 x $1" >&2; exit 1; }
    sleep 0.01
  done
}
ms_of_last() { date -d "$(grep "$1" "$work/gateway.log" | tail -1 | cut -d' ' -f1)" +%s%3N; }
ctl() { "$tool" sim-ctl "$work/sim.ctl" "$@" >/dev/null; }

wait_for 'event=modem-up' 1
times=()
for i in $(seq 1 "$rounds"); do
  ctl unplug
  wait_for 'event=modem-unplugged' "$i"
  t0=$(date +%s%3N)
  ctl plug
  wait_for 'event=modem-up' $((i + 1))
  times+=($(($(ms_of_last 'event=modem-up') - t0)))
done
printf '%s\n' "${times[@]}" | sort -n | awk -v n="$rounds" '
  { v[NR] = $1; sum += $1 }
  END { printf "re-plug: path back -> modem up, %d rounds: median %d ms, max %d ms, mean %.1f ms\n", n, v[int((n + 1) / 2)], v[n], sum / n }'

# Idle: the first network refresh and listing are done by now.
sleep 2
"$tool" sim-ctl "$work/sim.ctl" heard | grep -v '^OK' >"$work/before" || true
sleep "$seconds"
"$tool" sim-ctl "$work/sim.ctl" heard | grep -v '^OK' >"$work/after" || true
awk -v s="$seconds" '
  NR == FNR { before[$1] = $2; next }
  { n = $2 - before[$1]; if (n > 0) { total += n; printf "  %-12s %5.1f a minute\n", $1, n * 60 / s } }
  END { printf "idle AT lines: %.1f a minute in %d s\n", total * 60 / s, s }' "$work/before" "$work/after"
