# Shell functions for scripts that run the headless server on 127.0.0.1 for
# a measurement (scripts/soak, scripts/compare-servers). Source it; it sets
# SERVER_PORT and SERVER_PID.

# server_has_option SERVER_BINARY OPTION: whether the server's --help names
# OPTION, so that a script can pass it to builds that have it and still run
# older ones without it.
server_has_option() {
  QT_QPA_PLATFORM=offscreen "$1" --help 2>/dev/null | grep -q -- "$2"
}

# start_server SERVER_BINARY FOLDER [COMMAND PREFIX...]: starts the server on
# a port the system picks, its settings and its log (FOLDER/server.log) in
# FOLDER, and waits until it listens. Options in the array SERVER_OPTIONS,
# when set, go to the server as well. Returns 1 when it did not start.
start_server() {
  local binary=$1 folder=$2
  shift 2
  SERVER_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  XDG_DATA_HOME=$folder QT_QPA_PLATFORM=offscreen "$@" "$binary" --headless --port "$SERVER_PORT" \
    ${SERVER_OPTIONS[@]+"${SERVER_OPTIONS[@]}"} >"$folder/server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do
    grep -q "Do not forget to tell correct Port" "$folder/server.log" 2>/dev/null && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# stop_server: asks the server started last to stop (SIGTERM: every client is
# asked to leave), and kills it when it has not ended within 5 s. Sets
# SERVER_STOP_SECONDS (how long it took) and SERVER_EXIT (its exit status;
# 137 when it had to be killed).
stop_server() {
  SERVER_STOP_SECONDS="" SERVER_EXIT=""
  [ -n "${SERVER_PID:-}" ] || return 0
  local started
  started=$(date +%s.%N)
  if kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$SERVER_PID" 2>/dev/null || true
  fi
  SERVER_EXIT=0
  wait "$SERVER_PID" 2>/dev/null || SERVER_EXIT=$?
  SERVER_STOP_SECONDS=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  SERVER_PID=""
}
