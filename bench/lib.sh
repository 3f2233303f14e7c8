# bench/lib.sh - what the gateway's measuring scripts share: a temporary
# directory ($work) removed at exit with every process started through
# `background`, and free loopback ports.
#
#   source "$(dirname "$0")/lib.sh"
work=$(mktemp -d)
started=()
cleanup() {
  local pid
  # The last started first: the gateway goes before the modem or broker it uses.
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    pid=${started[i]}
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Runs "$@" in the background, killed at exit; its pid is in $last_pid.
background() {
  "$@" &
  last_pid=$!
  started+=("$last_pid")
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# A random API token in the file $1, readable by its owner only.
write_token() {
  head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$1"
  chmod 600 "$1"
}
