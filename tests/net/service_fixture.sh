#!/bin/sh
# Starts or stops the local autoupdate service for the network tests.
#   service_fixture.sh start SERVICE_SCRIPT ROOT PORT_FILE [PORT]
# Without PORT the service takes a free port.
#   service_fixture.sh stop PORT_FILE
set -eu
case "$1" in
  start)
    script=$2 root=$3 port_file=$4 port=${5:-0}
    mkdir -p "$root"
    # A run that was killed left its service behind, holding a fixed port.
    [ -f "$port_file.pid" ] && kill "$(cat "$port_file.pid")" 2>/dev/null && sleep 0.5
    rm -f "$port_file"
    # Detached from ctest's pipes, or ctest would wait for the service to end.
    setsid python3 "$script" --root "$root" --port-file "$port_file" --port "$port" --tls \
      </dev/null >"$port_file.log" 2>&1 &
    echo $! >"$port_file.pid"
    for _ in $(seq 100); do
      [ -s "$port_file" ] && exit 0
      sleep 0.1
    done
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
