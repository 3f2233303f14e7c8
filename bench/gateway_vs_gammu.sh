#!/usr/bin/env bash
# Latency to the modem, side by side in one run: `reviri gateway` against
# Debian's gammu-smsd with its SQL backend (SQLite through libdbi), each on
# its own simulated modem of the same kind (`reviri sim --speed 115200`).
# The end point is the same for both: the simulator's wall-clock time of the
# PDU it took (its --pdu-log). Messages go one at a time, each to an idle
# modem: the next one only after the last one's PDU and a pause of 0.5-1.5 s
# (random, so that the inserts fall at every phase of gammu's one-second
# clock).
#
#   ours:  from the HTTP 202 of POST /v1/messages (the row is committed) to
#          the PDU. bash itself writes the request and reads the status line
#          (/dev/tcp, $EPOCHREALTIME), so no process start is counted. Also
#          shown: from the request's first byte.
#   gammu: from the outbox row's insert (the sqlite3 client has committed and
#          exited) to the PDU. Taking the time after the client's exit leaves
#          its exit out of gammu's figure, in gammu's favour. Two passes on
#          the same daemon: rows as inserted (the schema's defaults), and rows
#          dated a second back (SendingDateTime, SendingTimeOut), which gammu
#          may take at once. Its outbox query wants both columns strictly
#          before the current local time, and the defaults are the insert's
#          UTC time to the second, so in UTC (TZ=UTC here) a plain row waits
#          for the next whole second (west of UTC, for hours).
#
# gammu-smsd is configured for low latency with its documented options only
# (man gammu-smsdrc): CommTimeout = 0 (the default, 30, pauses 30 s after
# every empty look at the outbox: that made every second message take 30 s),
# LoopSleep = $GAMMU_LOOPSLEEP (default 0, the smallest: no sleep between
# looks, at the price of a busy CPU; 1 is gammu's default), StatusFrequency =
# 0 and CheckBattery = CheckSignal = CheckNetwork = 0 (no status questions to
# the modem before each message). Its SQLite file is in WAL mode, as ours is:
# gammu sets no busy timeout, so in the default rollback mode an insert that
# meets one of its reads makes it log "database is locked", reconnect and
# sleep a second. The "DBI error -6 ... invalid or out-of-range index" lines
# in its log are libdbi reporting each empty look at the outbox; they cost
# nothing. What remains is gammu's AT driver: it sleeps 100 ms after the
# "> " prompt and 500 ms between the PDU and its Ctrl-Z, on every message.
#
#   bench/gateway_vs_gammu.sh REVIRI_TOOL [COUNT] [GAMMU_COUNT]
#
# COUNT defaults to 50, GAMMU_COUNT (per pass) to 30. Needs the Debian
# packages gammu-smsd, libdbd-sqlite3 and sqlite3 (exit 77 when missing).
# Loopback and local files only; every wait is bounded.
set -euo pipefail
export LC_ALL=C  # $EPOCHREALTIME with a decimal point
tool=$1
count=${2:-50}
gammu_count=${3:-30}
loopsleep=${GAMMU_LOOPSLEEP:-0}
schema=/usr/share/doc/gammu-smsd/examples/sqlite.sql
for need in gammu-smsd sqlite3; do
  command -v "$need" >/dev/null || { echo "gateway_vs_gammu: $need is not installed" >&2; exit 77; }
done
[ -r "$schema" ] || { echo "gateway_vs_gammu: $schema is missing" >&2; exit 77; }
[ -x "$tool" ] || { echo "gateway_vs_gammu: $tool is not an executable" >&2; exit 2; }

dir=$(mktemp -d /tmp/reviri-vs-gammu.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
fail() {
  echo "gateway_vs_gammu: $*" >&2
  exit 1
}

# A simulated modem NAME, logging its PDUs to $dir/NAME.pdus.
start_sim() {
  "$tool" sim --symlink "$dir/$1.modem" --speed 115200 --pdu-log "$dir/$1.pdus" \
    --seconds $((120 + (count + 2 * gammu_count) * 45)) >"$dir/$1.sim.out" 2>"$dir/$1.sim.err" &
  pids+=($!)
  for _ in $(seq 200); do [ -e "$dir/$1.modem" ] && break; sleep 0.05; done
  [ -e "$dir/$1.modem" ] || fail "the simulated modem did not start: $(cat "$dir/$1.sim.err")"
  : >>"$dir/$1.pdus"
}

# Waits up to $2 seconds for the PDU of the message with text $1 in the log
# open on fd 4 (lines "<microseconds> <number> <text>"); prints its time. A
# line still being written when read is kept until its end arrives.
pdu_time() {
  local text=$1 end=$((SECONDS + $2)) line pending=
  while ((SECONDS <= end)); do
    while IFS= read -r line <&4; do
      line=$pending$line
      pending=
      [ "${line#* * }" = "$text" ] && { echo "${line%% *}"; return 0; }
    done
    pending+=$line
    sleep 0.002
  done
  return 1
}

pause() { sleep "$((RANDOM % 1000 + 500))e-3"; }

# p50 and p99 (nearest rank) of the microsecond figures on stdin, in ms.
percentiles() {
  sort -n | awk '{ v[NR] = $1 } END {
    printf "%.2f %.2f\n", v[int((NR - 1) * 0.5) + 1] / 1000, v[int((NR - 1) * 0.99) + 1] / 1000 }'
}

# ---- ours ----------------------------------------------------------------------------------
start_sim ours
token=bench-$RANDOM$RANDOM
echo "$token" >"$dir/token"
chmod 600 "$dir/token"  # the gateway refuses a token file others may read
"$tool" gateway --modem "$dir/ours.modem" --db "$dir/gateway.db" --listen 127.0.0.1:0 \
  --token-file "$dir/token" >"$dir/gateway.out" 2>"$dir/gateway.err" &
gateway_pid=$!
pids+=("$gateway_pid")
port=
for _ in $(seq 200); do
  port=$(sed -n 's|^reviri: gateway on http://127\.0\.0\.1:\([0-9]*\);.*|\1|p' "$dir/gateway.err")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "the gateway did not start: $(cat "$dir/gateway.err")"

# POSTs one message to +4917012345; sets sent_us (first byte written) and
# accepted_us (the 202's status line read).
post() {
  local body="{\"to\":\"+4917012345\",\"text\":\"$1\"}" status
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  sent_us=${EPOCHREALTIME/./}  # no subshell: a fork would shift the time
  printf 'POST /v1/messages HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s' \
    "$token" "${#body}" "$body" >&3
  IFS= read -r status <&3
  accepted_us=${EPOCHREALTIME/./}
  while IFS= read -r _ <&3; do :; done
  exec 3>&-
  [[ $status == "HTTP/1.1 202"* ]] || fail "POST answered ${status%$'\r'} instead of 202"
}

exec 4<"$dir/ours.pdus"
post "warm-up"  # also waits for the gateway to have the modem ready
pdu_time "warm-up" 30 >/dev/null || fail "the gateway sent nothing within 30 s: $(tail -5 "$dir/gateway.err")"
ours_from_202=()
ours_from_request=()
for i in $(seq "$count"); do
  pause
  post "ours $i"
  when=$(pdu_time "ours $i" 10) || fail "message $i of the gateway was not sent within 10 s"
  ours_from_202+=($((when - accepted_us)))
  ours_from_request+=($((when - sent_us)))
done
exec 4<&-
kill -TERM "$gateway_pid"
wait "$gateway_pid" 2>/dev/null || true

# ---- gammu-smsd ----------------------------------------------------------------------------
start_sim gammu
sqlite3 "$dir/smsd.db" <"$schema"
sqlite3 "$dir/smsd.db" "PRAGMA journal_mode=WAL;" >/dev/null
cat >"$dir/smsdrc" <<CONF
[gammu]
device = $dir/gammu.modem
connection = at115200

[smsd]
service = sql
driver = sqlite3
dbdir = $dir
database = smsd.db
logfile = $dir/smsd.log
debuglevel = 0
commtimeout = 0
loopsleep = $loopsleep
statusfrequency = 0
checkbattery = 0
checksignal = 0
checknetwork = 0
CONF
TZ=UTC gammu-smsd -c "$dir/smsdrc" >"$dir/smsd.out" 2>"$dir/smsd.err" &
pids+=($!)

# Inserts one outbox row with text $1 and the extra columns and values $2
# and $3; sets inserted_us when the client has committed.
insert() {
  sqlite3 -cmd '.timeout 5000' "$dir/smsd.db" "INSERT INTO outbox (DestinationNumber, TextDecoded, CreatorID, Coding${2-})
    VALUES ('+4917012345', '$1', 'bench', 'Default_No_Compression'${3-});"
  inserted_us=${EPOCHREALTIME/./}
}

# One pass of $gammu_count messages named $1; the latencies go to $dir/$1.
gammu_pass() {
  local i when
  for i in $(seq "$gammu_count"); do
    pause
    insert "$1 $i" "${2-}" "${3-}"
    when=$(pdu_time "$1 $i" 40) || fail "message $i ($1) of gammu-smsd was not sent within 40 s; its log: $(tail -20 "$dir/smsd.log")"
    echo $((when - inserted_us)) >>"$dir/$1"
  done
}

exec 4<"$dir/gammu.pdus"
insert "warm-up"
pdu_time "warm-up" 90 >/dev/null || fail "gammu-smsd sent nothing within 90 s; its log: $(tail -20 "$dir/smsd.log")"
gammu_pass plain
a_second_ago="datetime('now', '-1 seconds')"
gammu_pass backdated ", SendingDateTime, SendingTimeOut" ", $a_second_ago, $a_second_ago"
exec 4<&-

read -r ours50 ours99 < <(printf '%s\n' "${ours_from_202[@]}" | percentiles)
read -r req50 req99 < <(printf '%s\n' "${ours_from_request[@]}" | percentiles)
read -r plain50 plain99 < <(percentiles <"$dir/plain")
read -r back50 back99 < <(percentiles <"$dir/backdated")
locked=$(grep -c "database is locked" "$dir/smsd.log" || true)
echo "reviri gateway (SQLite): $count messages, 202 to PDU p50 $ours50 ms, p99 $ours99 ms" \
  "(from the request's first byte: p50 $req50 ms, p99 $req99 ms)"
echo "gammu-smsd (SQLite via libdbi, LoopSleep $loopsleep), insert to PDU, $gammu_count messages each:" \
  "rows as inserted p50 $plain50 ms, p99 $plain99 ms; rows dated a second back p50 $back50 ms, p99 $back99 ms" \
  "(\"database is locked\" in its log: $locked)"
awk -v a="$ours50" -v b="$plain50" -v c="$back50" -v d="$ours99" -v e="$plain99" -v f="$back99" 'BEGIN {
  printf "gammu-smsd / reviri gateway: p50 %.0fx (dated back: %.0fx), p99 %.0fx (dated back: %.0fx)\n", b / a, c / a, e / d, f / d }'
