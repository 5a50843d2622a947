# Sourced by the benchmark scripts that drive serve's provider endpoint: waiting for serve without
# spending the CPUs the figure measures.

# serve_port PID ERR: once serve (PID) names its provider port on its standard error (the file
# ERR), prints the port; fails with serve's notes when serve ends first.
serve_port() {
  local pid=$1 err=$2 port
  until port=$(grep -o 'provider endpoint listening on 127.0.0.1:[0-9]*' "$err" | grep -o '[0-9]*$'); do
    kill -0 "$pid" 2>/dev/null || { cat "$err" >&2; return 1; }
    sleep 0.05
  done
  echo "$port"
}

# wait_for_lines PID FILE N: returns once FILE has N lines, printing how many it saw (fewer when
# serve, PID, ended first). tail follows the file by inotify, so nothing polls while serve works:
# a loop of `wc -l` every few milliseconds took a third of the two CPUs it was timing.
wait_for_lines() {
  head -n "$3" < <(tail -n +1 --pid="$1" -f "$2") | wc -l
}
