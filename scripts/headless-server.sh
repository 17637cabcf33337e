# Shell functions for scripts that run the headless server on 127.0.0.1 for
# a measurement (scripts/soak, scripts/compare-servers). Source it; it sets
# SERVER_PORT and SERVER_PID.

# start_server SERVER_BINARY FOLDER [COMMAND PREFIX...]: starts the server on
# a port the system picks, its settings and its log (FOLDER/server.log) in
# FOLDER, and waits until it listens. Returns 1 when it did not start.
start_server() {
  local binary=$1 folder=$2
  shift 2
  SERVER_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  XDG_DATA_HOME=$folder QT_QPA_PLATFORM=offscreen "$@" "$binary" --headless --port "$SERVER_PORT" \
    >"$folder/server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do
    grep -q "Do not forget to tell correct Port" "$folder/server.log" 2>/dev/null && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# stop_server: asks the server started last to stop (SIGTERM: every client is
# asked to leave), and kills it when it has not ended within 5 s.
stop_server() {
  [ -n "${SERVER_PID:-}" ] || return 0
  if kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$SERVER_PID" 2>/dev/null || true
  fi
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=""
}
