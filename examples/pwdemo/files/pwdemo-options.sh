# Shared by the demo workers: reads the options the supervisor passes.
restart_code=0 daemon=0 alive= uci_dir= data_dir= platform=
while [ $# -gt 0 ]; do
    case $1 in
        -r) restart_code=$2; shift ;;
        -d) daemon=1 ;;
        -A) alive=$2; shift ;;
        -T) uci_dir=$2; shift ;;
        -D) data_dir=$2; shift ;;
        -O) platform=$2; shift ;;
    esac
    shift
done
from=files
[ -n "$data_dir" ] && from=data
say() { echo "    [$(basename "$0") pid $$ from $from] $*"; }
# Sleeps in the background so that SIGTERM from the supervisor ends us at once.
nap() { sleep "$1" & wait $!; }
trap 'say "got SIGTERM, leaving"; exit 0' TERM
