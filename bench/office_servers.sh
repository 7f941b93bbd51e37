# Sourced by the benchmarks of an office of many servers: S private CUPS servers of P queues each.
#
#   start_office_servers ROOT S P [cups-lab start options...]
#       starts ROOT/lab1..labS with queues q1..qP (every server's queues added in parallel:
#       lpadmin takes a while per queue); sets OFFICE_DIRS and OFFICE_PORTS
#   office_printer_entries >>FILE   the printers file's entries, named sN-qM, in server order
#   stop_office_servers             for the caller's EXIT trap
OFFICE_DIRS=() OFFICE_PORTS=()
office_lab="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/scripts/cups-lab.sh"

start_office_servers() {
  local root=$1 servers=$2 printers=$3 s p d
  shift 3
  for s in $(seq 1 "$servers"); do
    d="$root/lab$s"
    OFFICE_DIRS+=("$d")
    OFFICE_PORTS+=("$("$office_lab" start "$d" "$@" --owner $$)")
  done
  for s in $(seq 1 "$servers"); do
    (for p in $(seq 1 "$printers"); do "$office_lab" add-printer "${OFFICE_DIRS[s-1]}" "q$p" >/dev/null; done) &
  done
  wait
  OFFICE_PRINTERS=$printers
}

office_printer_entries() {
  local s p
  for s in "${!OFFICE_PORTS[@]}"; do
    for p in $(seq 1 "$OFFICE_PRINTERS"); do
      printf '<printer>\nname=s%s-q%s\nremotehost=127.0.0.1:%s\nurl=/printers/q%s\nlocalport=-1\n<endprinter>\n' \
        "$((s + 1))" "$p" "${OFFICE_PORTS[s]}" "$p"
    done
  done
}

stop_office_servers() {
  local d
  for d in "${OFFICE_DIRS[@]}"; do "$office_lab" stop "$d" >/dev/null 2>&1 || true; done
}
