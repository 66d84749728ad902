# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the bench scripts: one lab of the script's own and the responder in it, both gone
# when the script exits however it ends. Needs $root; sets lab_sh, lab, work and the LAB_
# variables of `lab.sh info`.
#
#   lab_session NAME TAG [OPTION...]   builds lab NAME (lab.sh up's options), with a scratch
#                                      folder /tmp/TAG.XXXXXX
#   start_responder CONFIG [SECONDS]   (counts go to $responder_counts when it is set)
#   stop_responder

lab_sh=$root/tests/lab/lab.sh
responder_pid=

lab_session() {
    lab=$1
    work=$(mktemp -d "/tmp/$2.XXXXXX")
    chmod 755 "$work"
    trap lab_session_end EXIT
    trap 'exit 130' INT TERM
    "$lab_sh" up "$lab" "${@:3}"
    eval "$("$lab_sh" info "$lab")"
}

lab_session_end() {
    [ -n "$responder_pid" ] && kill "$responder_pid" 2>/dev/null && wait "$responder_pid" 2>/dev/null
    "$lab_sh" down "$lab"
    rm -rf "$work"
}

start_responder() {
    rm -f "$work/ready"
    "$lab_sh" seg "$lab" python3 "$root/tests/lab/arp_responder.py" --config "$1" \
        --ready-file "$work/ready" --duration "${2:-300}" \
        ${responder_counts:+--count-file "$responder_counts"} &
    responder_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/ready" ] && return 0
        sleep 0.05
    done
    echo "$(basename "$0"): the responder did not start" >&2
    exit 1
}

stop_responder() {
    kill "$responder_pid"
    wait "$responder_pid" || true
    responder_pid=
}
