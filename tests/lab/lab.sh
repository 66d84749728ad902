#!/usr/bin/env bash
# The network lab: a scanner namespace and a segment namespace joined by one veth pair. The
# responder plays every host of the segment on its end of the pair, so the segment end carries
# no address and the kernel there never answers ARP itself. Nothing touches the machine's own
# namespace: both ends of the pair are created directly inside the lab namespaces.
#
#   lab.sh up NAME [--gateway] [--name HOST=ADDRESS]...
#                                create NAMEs (scanner) and NAMEg (segment), veth NAMEa/NAMEb
#   lab.sh down NAME             remove both namespaces (and with them the veth pair)
#   lab.sh scan NAME CMD...      run CMD in the scanner namespace
#   lab.sh seg NAME CMD...       run CMD in the segment namespace
#   lab.sh info NAME             print the lab's names and addresses as shell assignments
#
# NAME must start with tvk-l- and be at most 14 characters (interface names are at most 15).
# The scanner has 203.0.113.1/24 and MAC 02:54:56:00:00:01 on NAMEa; --gateway adds a default
# route through 203.0.113.254, so an off-link target would make a careless sender ARP for it.
# Programs in the scanner namespace see a hosts file of the lab's own (localhost and each
# --name) and a resolver on the namespace's loopback, so no name lookup ever leaves the lab.
set -eEuo pipefail

readonly LAB_SUBNET=203.0.113
readonly LAB_SCANNER_IP=${LAB_SUBNET}.1
readonly LAB_SCANNER_MAC=02:54:56:00:00:01
readonly LAB_SEGMENT_MAC=02:54:56:00:00:02
readonly LAB_GATEWAY_IP=${LAB_SUBNET}.254

die() {
    echo "lab.sh: $*" >&2
    exit 1
}

check_name() {
    local name=$1
    # tvk-s- names the end-to-end and soak labs.
    [[ $name =~ ^tvk-[ls]-[A-Za-z0-9-]+$ ]] || die "lab name must start with tvk-l- or tvk-s-: $name"
    [ ${#name} -le 14 ] || die "lab name too long (at most 14 characters): $name"
}

in_ns() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

# No IPv6 (router solicitations and neighbour discovery would show up in frame counts) and no
# kernel ARP answers.
quiet_namespace() {
    local ns=$1
    in_ns "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    in_ns "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1
    in_ns "$ns" sysctl -qw net.ipv4.conf.all.arp_ignore=8
    in_ns "$ns" sysctl -qw net.ipv4.conf.default.arp_ignore=8
    in_ns "$ns" ip link set lo up
}

lab_down() {
    local name=$1
    ip netns delete "${name}s" 2>/dev/null || true
    ip netns delete "${name}g" 2>/dev/null || true
    rm -rf "/etc/netns/${name}s"
}

# ip netns exec puts the files of /etc/netns/NS over those of /etc.
lab_names() {
    local scanner=$1
    shift
    mkdir -p "/etc/netns/$scanner"
    echo "nameserver 127.0.0.1" >"/etc/netns/$scanner/resolv.conf"
    {
        echo "127.0.0.1 localhost"
        local entry
        for entry in "$@"; do
            echo "${entry#*=} ${entry%%=*}"
        done
    } >"/etc/netns/$scanner/hosts"
}

lab_up() {
    local name=$1 gateway=$2
    shift 2
    local scanner=${name}s segment=${name}g
    if ip netns list | grep -qE "^(${scanner}|${segment})( |$)"; then
        die "lab $name exists already; remove it with: lab.sh down $name"
    fi
    # Half-built labs are torn down again.
    trap 'lab_down "$name"' ERR
    ip netns add "$scanner"
    ip netns add "$segment"
    lab_names "$scanner" "$@"
    quiet_namespace "$scanner"
    quiet_namespace "$segment"
    ip link add "${name}a" netns "$scanner" address "$LAB_SCANNER_MAC" type veth \
        peer name "${name}b" netns "$segment" address "$LAB_SEGMENT_MAC"
    in_ns "$scanner" sysctl -qw "net.ipv6.conf.${name}a.disable_ipv6=1"
    in_ns "$segment" sysctl -qw "net.ipv6.conf.${name}b.disable_ipv6=1"
    in_ns "$segment" ip link set "${name}b" up
    in_ns "$scanner" ip addr add "${LAB_SCANNER_IP}/24" dev "${name}a"
    in_ns "$scanner" ip link set "${name}a" up
    if [ "$gateway" = 1 ]; then
        in_ns "$scanner" ip route add default via "$LAB_GATEWAY_IP" dev "${name}a"
    fi
    trap - ERR
}

lab_info() {
    local name=$1
    cat <<EOF
LAB_SCANNER_NS=${name}s
LAB_SEGMENT_NS=${name}g
LAB_SCANNER_IF=${name}a
LAB_SEGMENT_IF=${name}b
LAB_SUBNET=${LAB_SUBNET}
LAB_SCANNER_IP=${LAB_SCANNER_IP}
LAB_SCANNER_MAC=${LAB_SCANNER_MAC}
LAB_GATEWAY_IP=${LAB_GATEWAY_IP}
EOF
}

[ $# -ge 2 ] || die "usage: lab.sh up|down|scan|seg|info NAME [...]"
command=$1
name=$2
shift 2
check_name "$name"
case $command in
up)
    [ "$(id -u)" -eq 0 ] || die "the lab needs root"
    gateway=0
    names=()
    while [ $# -gt 0 ]; do
        case $1 in
        --gateway) gateway=1; shift ;;
        --name)
            [[ ${2:-} =~ ^[A-Za-z0-9.-]+=${LAB_SUBNET//./\\.}\.[0-9]+$ ]] ||
                die "--name takes HOST=${LAB_SUBNET}.N"
            names+=("$2")
            shift 2
            ;;
        *) die "unknown option: $1" ;;
        esac
    done
    lab_up "$name" "$gateway" "${names[@]}"
    ;;
down) lab_down "$name" ;;
scan) exec ip netns exec "${name}s" "$@" ;;
seg) exec ip netns exec "${name}g" "$@" ;;
info) lab_info "$name" ;;
*) die "unknown command: $command" ;;
esac
