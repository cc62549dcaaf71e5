# The production-line parts of scripts/demo (sourced by it: $root, $build, $work and $examples are
# set, check_stored is defined, the programs are built). A station's adapters here are the unit
# simulator's pseudo-terminal links in a directory of their own, which the station watches in the
# file system as it watches udev for USB adapters.

bin="$root/$build/bin"
pids=()      # every program started here, stopped again at the end
stations=()  # the stations among them, which get Ctrl+C first
sims=()      # "LINK PID" of each unit simulator
sim_count=0

# Starts a unit simulator whose line appears at LINK; its store and log are named after the link.
plug() {
  local link=$1
  shift
  sim_count=$((sim_count + 1))
  # A session of its own: Ctrl+C is for the stations, which let the unit being flashed finish.
  setsid "$bin/brimwell-unit-sim" --link "$link" --store "$work/store-$sim_count" "$@" >"$work/sim-$sim_count.log" 2>&1 &
  sims+=("$link $! $sim_count")
  pids+=("$!")
}

# Takes the unit at LINK away (its simulator ends, its link goes).
unplug() {
  local link=$1 entry rest=()
  for entry in "${sims[@]}"; do
    set -- $entry
    if [ "$1" = "$link" ]; then kill "$2" 2>/dev/null || true; wait "$2" 2>/dev/null || true; else rest+=("$entry"); fi
  done
  sims=("${rest[@]}")
}

# Starts "brimwell station" with ARGS, its lines shown with PREFIX and kept in FILE.
start_station() {
  local prefix=$1 file=$2
  shift 2
  (cd "$examples" && exec "$bin/brimwell" station flash_unit.sld "$@") > >(trap '' INT; sed -u "s/^/$prefix/" | tee "$file") 2>&1 &
  stations+=("$!")
  pids+=("$!")
}

# Waits until FILE holds COUNT lines matching PATTERN; false after SECONDS.
wait_for() {
  local file=$1 pattern=$2 count=$3 seconds=$4 i found
  for ((i = 0; i < seconds * 10; i++)); do
    found=$(grep -cE -- "$pattern" "$file" 2>/dev/null || true)
    [ "${found:-0}" -ge "$count" ] && return 0
    sleep 0.1
  done
  echo "demo: $file has not got $count lines of \"$pattern\" in ${seconds}s" >&2
  return 1
}

stop_everything() {
  local pid
  trap - EXIT INT TERM
  # Ctrl+C: a station lets its running units finish; SIGTERM after a while stops them. The
  # operator's own Ctrl+C reached them already (a second one would stop their units).
  if [ -z "${interrupted:-}" ]; then
    for pid in "${stations[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  fi
  for pid in "${stations[@]}"; do
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "${pg_stop:-}" ]; then
    $pg_stop >/dev/null 2>&1 || true
    rm -rf "$work"
    echo "demo: the stations, the dashboard and the PostgreSQL cluster are stopped; $work is removed"
  fi
}

# Lists the records in URL: a table on a terminal, CSV otherwise.
list_records() {
  if [ -t 1 ]; then "$bin/brimwell" records --records "$1" "${@:2}"; else "$bin/brimwell" records --records "$1" --csv "${@:2}"; fi
}

station_demo() {
  local url="sqlite:$work/records.sqlite" status=0 n
  trap stop_everything EXIT
  trap 'interrupted=1; exit 130' INT
  trap 'exit 143' TERM
  mkdir -p "$work/adapters"
  echo "starting brimwell station on the adapters in $work/adapters; the runs go to $url"
  start_station "" "$work/station.out" --match "$work/adapters/*" --records "$url" --tag lot=DEMO-1
  wait_for "$work/station.out" "records go to" 1 30
  for n in 1 2 3; do
    echo "--- unit $n appears on $work/adapters/unit$n"
    plug "$work/adapters/unit$n"
    wait_for "$work/station.out" "unit$n .* flashing" 1 30
    sleep 2
  done
  wait_for "$work/station.out" " (passed|failed|stopped): " 3 120 || status=1
  kill -INT "${stations[0]}"
  wait "${stations[0]}" || status=$?
  echo "brimwell station exited with $status (Ctrl+C once all three were flashed)"
  echo
  echo "brimwell records --records $url:"
  list_records "$url"
  for n in 1 2 3; do
    echo
    check_stored "$work/sim-$n.log" "$work/store-$n" || status=1
  done
  echo
  echo "the records and the units' stores stay in $work"
  return "$status"
}

# Runs a PostgreSQL program as the unprivileged user nobody when we are root (initdb and the server
# refuse to run as root), else as ourselves.
as_pg() {
  if [ "$(id -u)" -eq 0 ]; then
    (cd "$work/pg" && setpriv --reuid=65534 --regid=65534 --clear-groups "$@")
  else
    (cd "$work/pg" && "$@")
  fi
}

line_demo() {
  local pgbin url dashboard swap=0 until_s next n
  pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -x "$pgbin/initdb" ] || { echo "demo: no PostgreSQL server installed (scripts/install-deps installs it)" >&2; return 1; }
  trap stop_everything EXIT
  trap 'interrupted=1; exit 130' INT
  trap 'exit 143' TERM
  chmod 755 "$work"
  mkdir -p "$work/pg"
  [ "$(id -u)" -eq 0 ] && chown 65534:65534 "$work/pg"
  echo "starting a throw-away PostgreSQL cluster in $work/pg (its socket there, no TCP port)"
  as_pg "$pgbin/initdb" -D "$work/pg/data" -A trust -U brimwell --no-sync >"$work/initdb.log" 2>&1 ||
    { cat "$work/initdb.log" >&2; return 1; }
  as_pg setsid "$pgbin/pg_ctl" -D "$work/pg/data" -w -l "$work/pg/server.log" \
    -o "-k $work/pg -c listen_addresses= -p 5432" start >/dev/null || { cat "$work/pg/server.log" >&2; return 1; }
  pg_stop="as_pg $pgbin/pg_ctl -D $work/pg/data -w -m fast stop"
  url="postgresql://brimwell@/postgres?host=$work/pg&port=5432"

  "$bin/brimwell" dashboard --records "$url" --listen "${BRIMWELL_DEMO_LISTEN:-127.0.0.1:0}" >"$work/dashboard.out" 2>&1 &
  pids+=("$!")
  wait_for "$work/dashboard.out" "on http://" 1 30 || { cat "$work/dashboard.out" >&2; return 1; }
  dashboard=$(grep -o 'http://[^ ]*' "$work/dashboard.out")

  # Two stations, each with its own journal (a run is committed there first, then sent on).
  for n in A B; do
    mkdir -p "$work/station-$n/adapters"
    BRIMWELL_STATION="station-$n" XDG_DATA_HOME="$work/station-$n/data" \
      start_station "[$n] " "$work/station-$n.out" --match "$work/station-$n/adapters/*" --records "$url" --tag lot=DEMO-LINE
  done
  plug "$work/station-A/adapters/unit1"
  plug "$work/station-B/adapters/unit1"
  sleep 2
  plug "$work/station-A/adapters/unit2"
  plug "$work/station-B/adapters/unit2" --corrupt-at 1000 # its image arrives damaged: a failed run
  wait_for "$work/station-A.out" " (passed|failed): " 2 120
  wait_for "$work/station-B.out" " (passed|failed): " 2 120
  echo
  echo "brimwell records --records $url:"
  list_records "$url"
  echo
  echo "the dashboard of the line: $dashboard   (its JSON: ${dashboard}api/stations)"
  echo "a unit is swapped on one of the stations every 20 s; Ctrl+C stops the demo"
  until_s=$((SECONDS + ${BRIMWELL_DEMO_SECONDS:-1000000000}))
  next=$((SECONDS + 20))
  while [ "$SECONDS" -lt "$until_s" ]; do
    sleep 1
    [ "$SECONDS" -ge "$next" ] || continue
    next=$((next + 20))
    n=A
    [ $((swap++ % 2)) -eq 0 ] || n=B
    unplug "$work/station-$n/adapters/unit1"
    plug "$work/station-$n/adapters/unit1"
  done
  echo "demo: $BRIMWELL_DEMO_SECONDS s are over; the dashboard said:"
  curl -s "${dashboard}api/stations"
  echo
}
