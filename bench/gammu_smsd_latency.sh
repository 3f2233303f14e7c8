#!/usr/bin/env bash
# The peer figure beside gateway_bench's BM_AcceptedToSent: Debian's
# gammu-smsd with its SQL backend (SQLite through libdbi) on the same
# simulated modem. Measures, for COUNT messages one at a time, the time from
# the outbox row's insert to the row in sentitems (the message recorded as
# sent), polling every 10 ms (with a busy timeout, so that the polling and
# the daemon take turns on the file). Loopback and local files only; bounded in count
# and time.
#
#   bench/gammu_smsd_latency.sh REVIRI_TOOL [COUNT]
#
# Needs the Debian packages gammu-smsd, libdbd-sqlite3 and sqlite3.
set -euo pipefail
tool=$1
count=${2:-20}
schema=/usr/share/doc/gammu-smsd/examples/sqlite.sql
for need in gammu-smsd sqlite3; do
  command -v "$need" >/dev/null || { echo "gammu_smsd_latency: $need is not installed" >&2; exit 77; }
done
[ -r "$schema" ] || { echo "gammu_smsd_latency: $schema is missing" >&2; exit 77; }

dir=$(mktemp -d /tmp/reviri-smsd.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

"$tool" sim --symlink "$dir/modem" --speed 115200 --seconds $((60 + count * 35)) >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$dir/modem" ] && break; sleep 0.05; done

sqlite3 "$dir/smsd.db" <"$schema"
# WAL, so that the polling below never blocks the daemon (it has no busy timeout).
sqlite3 "$dir/smsd.db" "PRAGMA journal_mode=WAL;" >/dev/null
cat >"$dir/smsdrc" <<CONF
[gammu]
device = $dir/modem
connection = at115200

[smsd]
service = sql
driver = sqlite3
dbdir = $dir
database = smsd.db
logfile = $dir/smsd.log
debuglevel = 0
CONF
gammu-smsd -c "$dir/smsdrc" &
pids+=($!)
db() { local out; out=$(sqlite3 -cmd '.timeout 5000' "$dir/smsd.db" "$1" 2>/dev/null) || out=0; echo "${out:-0}"; }
# Ready when it has registered itself in the phones table.
for _ in $(seq 300); do
  [ "$(db 'SELECT count(*) FROM phones')" -gt 0 ] && break
  sleep 0.1
done

now_us() { echo $(($(date +%s%N) / 1000)); }
latencies=()
for i in $(seq "$count"); do
  start=$(now_us)
  id=$(sqlite3 -cmd '.timeout 5000' "$dir/smsd.db" "INSERT INTO outbox (DestinationNumber, TextDecoded, CreatorID, Coding)
         VALUES ('+4917012345', 'latency $i', 'bench', 'Default_No_Compression'); SELECT last_insert_rowid();")
  sent=0
  for _ in $(seq 3000); do  # at most about 30 s per message
    if [ "$(db "SELECT count(*) FROM sentitems WHERE ID = $id")" -gt 0 ]; then
      sent=1
      break
    fi
    sleep 0.01
  done
  [ "$sent" = 1 ] || { echo "gammu_smsd_latency: message $i was not sent within 30 s; its log:" >&2; tail -20 "$dir/smsd.log" >&2; exit 1; }
  latencies+=($(( $(now_us) - start )))
  echo "message $i: $(( latencies[-1] / 1000 )) ms" >&2
done
printf '%s\n' "${latencies[@]}" | sort -n | awk -v n="$count" '
  { v[NR] = $1 }
  END {
    p50 = v[int((n - 1) * 0.5) + 1]; p99 = v[int((n - 1) * 0.99) + 1]
    printf "gammu-smsd (SQLite via libdbi): %d messages, insert to sentitems p50 %.1f ms, p99 %.1f ms\n", n, p50 / 1000, p99 / 1000
  }'
