# shellcheck shell=bash
# Sourced by the benchmarks and long runs for their "--name VALUE" options.
#
#   take_options LINES NAME... -- "$@"
#
# Each "--NAME VALUE" sets the shell variable NAME (a dash in NAME is an underscore in the
# variable). With "..." among the NAMEs the other arguments, in order, go to the array ARGS. An
# unknown option, one without its value, or another argument without "..." prints the lines LINES
# of the calling script (its usage, as "2,10p") and exits 2.
take_options() {
  local usage=$1 name
  local -a names=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do names+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  ARGS=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --?*)
        name=${1#--}
        name=${name//-/_}
        if [ $# -ge 2 ] && [[ " ${names[*]} " == *" $name "* ]]; then
          printf -v "$name" '%s' "$2"
          shift 2
          continue
        fi ;;
      -*) ;;
      *)
        if [[ " ${names[*]} " == *" ... "* ]]; then
          ARGS+=("$1")
          shift
          continue
        fi ;;
    esac
    sed -n "$usage" "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
  done
}
