#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the tests: initdb and pg_ctl into a new
# temporary folder, listening on a Unix socket in that folder only (no TCP),
# run by an unprivileged user when this script runs as root.
#   scripts/postgres-test-cluster.sh start   prints the folder, then the URI of the cluster's "postgres" database
#   scripts/postgres-test-cluster.sh stop FOLDER
# Usage in a script:
#   read -r folder uri < <(scripts/postgres-test-cluster.sh start)
#   export ORVANE_TEST_POSTGRES=$uri; ...; scripts/postgres-test-cluster.sh stop "$folder"
set -euo pipefail

bin=${ORVANE_POSTGRES_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$bin/initdb" ] || { echo "postgres-test-cluster: no PostgreSQL server programs (install postgresql-15)" >&2; exit 2; }

# Runs a command as the cluster's owner; the server refuses to run as root.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}

start() {
  local folder
  folder=$(mktemp -d "${TMPDIR:-/tmp}/orvane-postgres.XXXXXX")
  [ "$(id -u)" -eq 0 ] && chown nobody "$folder"
  as_owner "$bin/initdb" --pgdata="$folder/data" --username=orvane --auth=trust --encoding=UTF8 --locale=C.UTF-8 \
    --no-sync >"$folder/initdb.log" 2>&1 || { cat "$folder/initdb.log" >&2; exit 1; }
  # A socket in the folder and no TCP at all; speed over durability: the data is thrown away.
  as_owner tee -a "$folder/data/postgresql.conf" >/dev/null <<CONF
listen_addresses = ''
unix_socket_directories = '$folder'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
shared_buffers = 128MB
CONF
  # Loaded once by the server rather than by each session's first search, as
  # a lab's server is set up (README).
  local preload=()
  for library in pg_trgm rdkit; do [ -e "$bin/../lib/$library.so" ] && preload+=("$library"); done
  [ ${#preload[@]} -gt 0 ] && echo "shared_preload_libraries = '$(IFS=,; echo "${preload[*]}")'" | as_owner tee -a "$folder/data/postgresql.conf" >/dev/null
  as_owner "$bin/pg_ctl" --pgdata="$folder/data" --log="$folder/server.log" --wait --silent start >&2 ||
    { cat "$folder/server.log" >&2; exit 1; }
  echo "$folder postgresql:///postgres?host=$folder&user=orvane"
}

stop() {
  local folder=${1:?usage: postgres-test-cluster.sh stop FOLDER}
  case $folder in "${TMPDIR:-/tmp}"/orvane-postgres.*) ;; *) echo "postgres-test-cluster: $folder is not a test cluster" >&2; exit 2 ;; esac
  [ -d "$folder/data" ] && as_owner "$bin/pg_ctl" --pgdata="$folder/data" --mode=fast --wait --silent stop >&2 || true
  rm -rf -- "$folder"
}

case ${1:-} in
  start) start ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | stop FOLDER" >&2; exit 2 ;;
esac
