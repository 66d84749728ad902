#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The network lab: a scanner namespace NAMEs (NAMEa: 203.0.113.1/24, MAC 02:54:56:00:00:01) and a
# segment namespace NAMEg joined by one veth pair, both ends made inside the lab's namespaces.
# NAMEb carries no address, so only the responder answers ARP there. --gateway routes through
# 203.0.113.254 (an off-link target would make a careless sender ARP for it); lookups in NAMEs
# see only localhost and the --name entries, with a resolver on its own loopback.
# For large runs, --big adds 198.19.255.254/15 to NAMEa, so all of 198.18.0.0/16 is on its link,
# and --second a second pair NAMEc (198.19.8.1/21, MAC 02:54:56:00:00:03) to NAMEd in the
# segment namespace, whose more specific route takes 198.19.8.0/21 off the first link.
#
#   lab.sh up NAME [--gateway] [--big] [--second] [--name HOST=203.0.113.N]...
#   lab.sh down NAME | scan NAME CMD... | seg NAME CMD... | info NAME
set -eEuo pipefail

die() {
    echo "lab.sh: $*" >&2
    exit 1
}

lab_down() {
    ip netns delete "${name}s" 2>/dev/null || true
    ip netns delete "${name}g" 2>/dev/null || true
    rm -rf "/etc/netns/${name}s"
}

# No IPv6 (its chatter would show in frame counts) and no kernel ARP answers.
quiet() {
    local ns=$1 key
    for key in all default; do
        ip netns exec "$ns" sysctl -qw "net.ipv6.conf.$key.disable_ipv6=1" \
            "net.ipv4.conf.$key.arp_ignore=8"
    done
    ip -n "$ns" link set lo up
}

lab_up() {
    local gateway=0 big=0 second=0 entry hosts="127.0.0.1 localhost"$'\n'
    while [ $# -gt 0 ]; do
        case $1 in
        --gateway) gateway=1; shift ;;
        --big) big=1; shift ;;
        --second) second=1; shift ;;
        --name)
            [[ ${2:-} =~ ^[A-Za-z0-9.-]+=203\.0\.113\.[0-9]+$ ]] || die "--name takes HOST=203.0.113.N"
            entry=$2
            hosts+="${entry#*=} ${entry%%=*}"$'\n'
            shift 2
            ;;
        *) die "unknown option: $1" ;;
        esac
    done
    ! ip netns list | grep -qE "^${name}[sg]( |$)" || die "lab $name exists already"
    trap lab_down ERR
    ip netns add "${name}s"
    ip netns add "${name}g"
    # ip netns exec puts the files of /etc/netns/NS over those of /etc.
    mkdir -p "/etc/netns/${name}s"
    echo "nameserver 127.0.0.1" >"/etc/netns/${name}s/resolv.conf"
    printf '%s' "$hosts" >"/etc/netns/${name}s/hosts"
    quiet "${name}s"
    quiet "${name}g"
    ip link add "${name}a" netns "${name}s" address 02:54:56:00:00:01 type veth \
        peer name "${name}b" netns "${name}g" address 02:54:56:00:00:02
    ip netns exec "${name}s" sysctl -qw "net.ipv6.conf.${name}a.disable_ipv6=1"
    ip netns exec "${name}g" sysctl -qw "net.ipv6.conf.${name}b.disable_ipv6=1"
    ip -n "${name}g" link set "${name}b" up
    ip -n "${name}s" addr add 203.0.113.1/24 dev "${name}a"
    ip -n "${name}s" link set "${name}a" up
    [ "$gateway" = 0 ] || ip -n "${name}s" route add default via 203.0.113.254 dev "${name}a"
    [ "$big" = 0 ] || ip -n "${name}s" addr add 198.19.255.254/15 dev "${name}a"
    if [ "$second" = 1 ]; then
        ip link add "${name}c" netns "${name}s" address 02:54:56:00:00:03 type veth \
            peer name "${name}d" netns "${name}g" address 02:54:56:00:00:04
        ip netns exec "${name}s" sysctl -qw "net.ipv6.conf.${name}c.disable_ipv6=1"
        ip netns exec "${name}g" sysctl -qw "net.ipv6.conf.${name}d.disable_ipv6=1"
        ip -n "${name}g" link set "${name}d" up
        ip -n "${name}s" addr add 198.19.8.1/21 dev "${name}c"
        ip -n "${name}s" link set "${name}c" up
    fi
    trap - ERR
}

[ $# -ge 2 ] || die "usage: lab.sh up|down|scan|seg|info NAME [...]"
command=$1 name=$2
shift 2
# Interface names are at most 15 characters and get one more than the lab's name.
[[ $name =~ ^tvk-[ls]-[A-Za-z0-9-]+$ && ${#name} -le 14 ]] ||
    die "lab name must start with tvk-l- or tvk-s- (end-to-end and soak labs) and be at most 14 characters: $name"
case $command in
up) [ "$(id -u)" -eq 0 ] || die "the lab needs root"; lab_up "$@" ;;
down) lab_down ;;
# The system bus is not the namespace's: a desktop's name daemon behind it would ask the real
# network about lab addresses, so a program in the lab never reaches it.
scan) exec env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/talvik-lab ip netns exec "${name}s" "$@" ;;
seg) exec ip netns exec "${name}g" "$@" ;;
info)
    printf '%s\n' "LAB_SCANNER_NS=${name}s" "LAB_SCANNER_IF=${name}a" "LAB_SEGMENT_IF=${name}b" \
        LAB_SUBNET=203.0.113 LAB_SCANNER_IP=203.0.113.1 LAB_SCANNER_MAC=02:54:56:00:00:01 \
        "LAB_SECOND_IF=${name}c" "LAB_SECOND_SEGMENT_IF=${name}d"
    ;;
*) die "unknown command: $command" ;;
esac
