# shellcheck shell=bash
# What the project's throw-away servers share, whatever their protocol:
# sourced by tools/sftp-server.sh and tools/ftp-server.sh. The sourcing tool
# defines
#   prepare KIND DIR SERVE PORT   the configuration and keys in DIR, and
#                                 DIR/server.txt: the key=value lines that
#                                 `start` prints after host= and port=
#   exec_server KIND DIR SERVE PORT [ARG...]
#                                 replaces the shell with the server, in the
#                                 foreground, leading a process group of its own
#   ready KIND DIR PORT           what is left to do once it listens
#   usage
# and then calls server_main "$@".

fail() {
    echo "${0##*/}: $*" >&2
    exit 1
}

# Every process below $1, children found after their parents.
descendants() {
    local parents=() pid stat rest
    for stat in /proc/[0-9]*/stat; do
        pid=${stat#/proc/}
        pid=${pid%/stat}
        rest=$(cat "$stat" 2>/dev/null) || continue
        rest=${rest##*) }  # the name in parentheses may hold blanks
        read -r _ ppid _ <<<"$rest"
        parents+=("$pid:$ppid")
    done
    local queue=("$1") found=() i=0 entry
    while [ $i -lt ${#queue[@]} ]; do
        for entry in "${parents[@]}"; do
            if [ "${entry#*:}" = "${queue[$i]}" ]; then
                queue+=("${entry%%:*}")
                found+=("${entry%%:*}")
            fi
        done
        i=$((i + 1))
    done
    echo "${found[@]}"
}

listening() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

stop() {
    local dir=$1 pid sessions
    [ -f "$dir/server.pid" ] || return 0
    pid=$(cat "$dir/server.pid")
    rm -f "$dir/server.pid"
    [ -d "/proc/$pid" ] || return 0
    # The listener first, so no new session starts while the old ones go.
    sessions=$(descendants "$pid")
    kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true
    # shellcheck disable=SC2086
    [ -z "$sessions" ] || kill $sessions 2>/dev/null || true
    for _ in $(seq 50); do
        [ -d "/proc/$pid" ] || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
}

start() {
    local kind=$1 dir=$2 serve attempt port pid
    serve=$(cd "$3" && pwd -P)
    shift 3
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd -P)
    for attempt in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        listening "$port" && continue
        prepare "$kind" "$dir" "$serve" "$port"
        (exec_server "$kind" "$dir" "$serve" "$port" "$@") >>"$dir/server.log" 2>&1 &
        pid=$!
        echo "$pid" >"$dir/server.pid"
        for _ in $(seq 200); do
            [ -d "/proc/$pid" ] || break
            if listening "$port"; then
                ready "$kind" "$dir" "$port"
                printf '%s\n' host=127.0.0.1 "port=$port"
                cat "$dir/server.txt"
                return 0
            fi
            sleep 0.05
        done
        stop "$dir"  # the port was taken after all, most likely: another one
    done
    echo "${0##*/}: $kind startet nicht; siehe $dir/server.log" >&2
    cat "$dir/server.log" >&2 || true
    exit 1
}

# The part of a ProFTPD configuration both protocols' kinds share: a
# standalone server of this user's on 127.0.0.1:PORT that keeps its files
# in DIR.
proftpd_base_config() {
    local dir=$1 port=$2
    cat <<EOF
ServerType standalone
ServerName "Velmora Test"
DefaultAddress 127.0.0.1
SocketBindTight on
Port $port
User $(id -un)
Group $(id -gn)
PidFile $dir/proftpd.pid
ScoreboardFile $dir/proftpd.scoreboard
ControlsEngine off
DelayTable none
WtmpLog off
TransferLog none
SystemLog $dir/proftpd.log
UseReverseDNS off
MaxInstances 64
EOF
}

server_main() {
    case ${1:-} in
    start) [ $# -ge 4 ] || usage; start "${@:2}" ;;
    stop) [ $# -eq 2 ] || usage; stop "$2" ;;
    exec)
        [ $# -ge 5 ] || usage
        local serve
        serve=$(cd "$4" && pwd -P)
        mkdir -p "$3"
        prepare "$2" "$3" "$serve" "$5"
        exec_server "$2" "$3" "$serve" "${@:5}" ;;
    *) usage ;;
    esac
}
