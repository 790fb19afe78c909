#!/bin/sh
# Starts or stops the local autoupdate service for the network tests.
#   service_fixture.sh start SERVICE_SCRIPT ROOT PORT_FILE [PORT]
# Without PORT the service takes a free port.
#   service_fixture.sh stop PORT_FILE
set -eu

# Runs COMMAND until it succeeds, for SECONDS at most; fails when it never did.
wait_until() {
  seconds=$1
  shift
  for _ in $(seq $((seconds * 20))); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

ended() { ! kill -0 "$1" 2>/dev/null; }

case "$1" in
  start)
    script=$2 root=$3 port_file=$4 port=${5:-0}
    mkdir -p "$root"
    # A run that was killed left its service behind, holding a fixed port.
    if [ -f "$port_file.pid" ] && kill "$(cat "$port_file.pid")" 2>/dev/null; then
      wait_until 5 ended "$(cat "$port_file.pid")" || true
    fi
    rm -f "$port_file"
    # Detached from ctest's pipes, or ctest would wait for the service to end.
    setsid python3 "$script" --root "$root" --port-file "$port_file" --port "$port" --tls \
      </dev/null >"$port_file.log" 2>&1 &
    echo $! >"$port_file.pid"
    wait_until 10 test -s "$port_file" && exit 0
    echo "the local autoupdate service did not start" >&2
    cat "$port_file.log" >&2
    exit 1
    ;;
  stop)
    port_file=$2
    if [ -f "$port_file.pid" ]; then
      kill "$(cat "$port_file.pid")" 2>/dev/null || true
      rm -f "$port_file.pid"
    fi
    rm -f "$port_file"
    ;;
esac
