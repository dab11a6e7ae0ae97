// SPDX-License-Identifier: (LGPL-2.1 OR BSD-2-Clause)
/* The kernel guard: judges every TCP socket of one network namespace as it enters ESTABLISHED
 * (or SYN_RECV, once a Fast Open child knows its peer), by the same rule as the engine, and
 * reports the match to user space, which cuts it. Also reports the TCP state changes there that
 * its table shows, so that user space can keep the table without walking the kernel's.
 *
 * Until the cut, a matched socket is marked, and the gate (cgroup_skb programs at the root of the
 * cgroup v2 hierarchy) drops every packet of a marked socket that carries payload: a blocked
 * connection carries no byte to either application. Payload that reaches a socket before it can
 * be marked (data on the handshake's last ACK, in a Fast Open SYN, on a listener's cookie ACK)
 * is judged by the packet's own addresses and ports. */
#include "kernel_types.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "guard_events.h"

#define AF_INET 2
#define AF_INET6 10
#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD
#define IPPROTO_TCP 6
#define TCP_ESTABLISHED 1
#define TCP_SYN_SENT 2
#define TCP_SYN_RECV 3
#define TCP_CLOSE 7
#define TCP_LISTEN 10
#define TCP_FLAG_RST 0x04

/* Set before load: the cookie of the loader's network namespace. */
const volatile __u64 netns_cookie = 0;

/* Reports that found no room; user space compares them to notice a loss. */
__u64 lost_matches = 0;
__u64 lost_changes = 0;
/* Sockets that matched but could not be marked (no memory): their payload is not held back. */
__u64 unmarked = 0;

/* The rules come in two generations: user space writes the one not in use, then switches
 * active_rules to it in one store, so that a socket is always judged by one whole rule set. */
__u32 active_rules = 0;

/* A bit per port: set when blocked. */
struct kt_port_rules {
    __u64 local[1024];
    __u64 remote[1024];
};

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 2);
    __type(key, __u32);
    __type(value, struct kt_port_rules);
} port_rules SEC(".maps");

/* Remote addresses that are never cut, in IPv6 form (IPv4 as IPv4-mapped), by generation. */
struct kt_allowed_key {
    __u32 generation;
    __u8 address[16];
};

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 131072);
    __type(key, struct kt_allowed_key);
    __type(value, __u8);
    __uint(map_flags, BPF_F_NO_PREALLOC);
} allowed_addresses SEC(".maps");

/* Present on a socket that was judged blocked. */
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, __u8);
} blocked_sockets SEC(".maps");

/* Sizes are set by the loader. */
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
} matches SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
} changes SEC(".maps");

static __always_inline int is_mapped(const struct in6_addr* a) {
    return a->in6_u.u6_addr32[0] == 0 && a->in6_u.u6_addr32[1] == 0 &&
           a->in6_u.u6_addr32[2] == bpf_htonl(0xffff);
}

static __always_inline int is_unspecified(const struct in6_addr* a) {
    return a->in6_u.u6_addr32[0] == 0 && a->in6_u.u6_addr32[1] == 0 && a->in6_u.u6_addr32[2] == 0 &&
           a->in6_u.u6_addr32[3] == 0;
}

static __always_inline void map_ipv4(__u32 address, __u8* out) {
    __builtin_memset(out, 0, 10);
    out[10] = 0xff;
    out[11] = 0xff;
    __builtin_memcpy(&out[12], &address, 4);
}

/* The engine's rule: an allowed remote address exempts; else a blocked local or remote port
 * cuts. remote is in IPv6 form. */
static __always_inline int blocked(__u16 local_port, __u16 remote_port, const __u8* remote) {
    __u32 generation = active_rules & 1;
    const struct kt_port_rules* ports = bpf_map_lookup_elem(&port_rules, &generation);

    if (!ports)
        return 0;
    if (!((ports->local[(local_port >> 6) & 1023] >> (local_port & 63)) & 1) &&
        !((ports->remote[(remote_port >> 6) & 1023] >> (remote_port & 63)) & 1))
        return 0;
    struct kt_allowed_key key = {.generation = generation};
    __builtin_memcpy(key.address, remote, 16);
    return !bpf_map_lookup_elem(&allowed_addresses, &key);
}

/* Fills the socket's view as the netlink table lists it; 0 when it is none of ours. */
static __always_inline int read_socket(const struct sock* sk, struct kt_guard_socket* s) {
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP ||
        BPF_CORE_READ(sk, __sk_common.skc_net.net, net_cookie) != netns_cookie)
        return 0;
    s->family = BPF_CORE_READ(sk, __sk_common.skc_family);
    s->local_port = bpf_ntohs(BPF_CORE_READ((const struct inet_sock*)sk, inet_sport));
    s->remote_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
    s->bound_if = BPF_CORE_READ(sk, __sk_common.skc_bound_dev_if);
    if (s->family == AF_INET) {
        s->local_addr = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        s->remote_addr = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        return 1;
    }
    if (s->family != AF_INET6)
        return 0;
    struct in6_addr local = BPF_CORE_READ(sk, __sk_common.skc_v6_rcv_saddr);
    struct in6_addr remote = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr);
    if (is_mapped(&local) && is_mapped(&remote)) {
        s->local_addr = local.in6_u.u6_addr32[3];
        s->remote_addr = remote.in6_u.u6_addr32[3];
        return 1;
    }
    /* No peer yet on a socket that takes IPv4 too: listed as IPv4. */
    if ((is_mapped(&local) || is_unspecified(&local)) && is_unspecified(&remote) &&
        !BPF_CORE_READ_BITFIELD_PROBED(&sk->__sk_common, skc_ipv6only)) {
        s->local_addr = is_mapped(&local) ? local.in6_u.u6_addr32[3] : 0;
        return 1;
    }
    s->ipv6 = 1;
    __builtin_memcpy(s->local_addr6, local.in6_u.u6_addr8, 16);
    __builtin_memcpy(s->remote_addr6, remote.in6_u.u6_addr8, 16);
    return 1;
}

static __always_inline int socket_blocked(const struct kt_guard_socket* s) {
    __u8 remote[16];

    if (s->ipv6)
        __builtin_memcpy(remote, s->remote_addr6, 16);
    else
        map_ipv4(s->remote_addr, remote);
    return blocked(s->local_port, s->remote_port, remote);
}

static __always_inline void report(void* ring, __u64* lost, const struct kt_guard_socket* s,
                                   const __u64 flags) {
    struct kt_guard_socket* slot = bpf_ringbuf_reserve(ring, sizeof(*slot), 0);

    if (!slot) {
        __sync_fetch_and_add(lost, 1);
        return;
    }
    *slot = *s;
    bpf_ringbuf_submit(slot, flags);
}

/* A change wakes nobody: the wake-up interrupts this program, softirqs pending then run nested
 * in it, and the kernel skips the state changes they make (counted as the program's recursion
 * misses). The reader looks at the ring on its own schedule, at least once a second. An IPv4
 * report leaves out the IPv6 fields: half the ring per change. */
static __always_inline void report_change(const struct kt_guard_socket* s) {
    if (s->ipv6) {
        report(&changes, &lost_changes, s, BPF_RB_NO_WAKEUP);
        return;
    }
    struct kt_guard_change4* slot = bpf_ringbuf_reserve(&changes, sizeof(*slot), 0);

    if (!slot) {
        __sync_fetch_and_add(&lost_changes, 1);
        return;
    }
    slot->cookie = s->cookie;
    slot->local_addr = s->local_addr;
    slot->remote_addr = s->remote_addr;
    slot->bound_if = s->bound_if;
    slot->local_port = s->local_port;
    slot->remote_port = s->remote_port;
    slot->family = s->family;
    slot->old_state = s->old_state;
    slot->new_state = s->new_state;
    slot->failed = s->failed;
    __builtin_memset(slot->pad, 0, sizeof(slot->pad));
    bpf_ringbuf_submit(slot, BPF_RB_NO_WAKEUP);
}

/* mark is a constant: the raw tracepoint may not use socket storage at all. */
static __always_inline void handle(const struct sock* sk, int old_state, int new_state,
                                   __u64 cookie, const int mark) {
    struct kt_guard_socket s = {};

    if (!read_socket(sk, &s))
        return;
    /* A socket still without its port is reported once it has one. */
    if (s.local_port == 0)
        return;
    s.cookie = cookie;
    s.old_state = old_state;
    s.new_state = new_state;
    /* A Fast Open child can carry data before it is established: it is judged as soon as it
     * knows its peer (some kernels report a listener's own addresses here instead). Any child
     * is reported then before the kernel has listed it, so that a cut may find nothing: it is
     * judged again once established. */
    int judged =
        new_state == TCP_ESTABLISHED || (mark && new_state == TCP_SYN_RECV && s.remote_port != 0);
    if (judged && socket_blocked(&s)) {
        /* Marked before tcp_set_state stores the new state: the gate reads the state first. */
        if (mark &&
            !bpf_sk_storage_get(&blocked_sockets, (struct sock*)sk, 0, BPF_SK_STORAGE_GET_F_CREATE))
            __sync_fetch_and_add(&unmarked, 1);
        report(&matches, &lost_matches, &s, 0);
    }
    /* The table needs every state a row can be seen in, except two: a new child socket is
     * established in the same step that makes it in SYN_RECV (a Fast Open child waits there, and
     * is listed once established), and a change to the same state shows nothing. */
    if (new_state == old_state || (old_state == TCP_LISTEN && new_state == TCP_SYN_RECV))
        return;
    if (new_state == TCP_CLOSE)
        s.failed = BPF_CORE_READ(sk, sk_err) != 0;
    report_change(&s);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(typed_state_change, const struct sock* sk, const int old_state, const int new_state) {
    handle(sk, old_state, new_state, bpf_get_socket_cookie((void*)sk), 1);
    return 0;
}

/* For kernels whose typed tracepoints cannot hand out the socket cookie: the cookie is read
 * where the kernel keeps it, and is 0 while nobody has asked for it yet. */
SEC("raw_tp/inet_sock_set_state")
int BPF_PROG(raw_state_change, const struct sock* sk, int old_state, int new_state) {
    handle(sk, old_state, new_state, BPF_CORE_READ(sk, __sk_common.skc_cookie.counter), 0);
    return 0;
}

/* One TCP segment's addresses (IPv6 form), ports (host order), payload length and flags. */
struct segment {
    __u8 source[16];
    __u8 destination[16];
    __u16 source_port;
    __u16 destination_port;
    __u32 payload;
    __u8 flags;
};

struct tcp_header {
    __be16 source;
    __be16 dest;
    __be32 seq;
    __be32 ack_seq;
    __u8 offset; /* data offset in the high nibble */
    __u8 flags;
    __be16 window;
    __be16 check;
    __be16 urg_ptr;
};

/* cgroup_skb programs see the packet from its network header. An IPv4-mapped socket sends and
 * receives IPv4 packets, so the packet's own family is what counts. 0 when it is not plain TCP. */
static __always_inline int read_segment(struct __sk_buff* skb, struct segment* s) {
    __u32 header = 0;

    if (skb->protocol == bpf_htons(ETH_P_IP)) {
        __u8 first = 0;
        __u8 protocol = 0;
        __u32 addresses[2];
        if (bpf_skb_load_bytes(skb, 0, &first, 1) || bpf_skb_load_bytes(skb, 9, &protocol, 1) ||
            bpf_skb_load_bytes(skb, 12, addresses, 8))
            return 0;
        header = (first & 0x0f) * 4;
        if ((first >> 4) != 4 || protocol != IPPROTO_TCP || header < 20)
            return 0;
        map_ipv4(addresses[0], s->source);
        map_ipv4(addresses[1], s->destination);
    } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
        __u8 next = 0;
        /* Extension headers are not walked: such a packet counts as unreadable. */
        if (bpf_skb_load_bytes(skb, 6, &next, 1) || next != IPPROTO_TCP ||
            bpf_skb_load_bytes(skb, 8, s->source, 16) ||
            bpf_skb_load_bytes(skb, 24, s->destination, 16))
            return 0;
        header = 40;
    } else {
        return 0;
    }
    struct tcp_header tcp;
    if (bpf_skb_load_bytes(skb, header, &tcp, sizeof tcp))
        return 0;
    header += (tcp.offset >> 4) * 4;
    s->source_port = bpf_ntohs(tcp.source);
    s->destination_port = bpf_ntohs(tcp.dest);
    /* skb->len, not the IP length field: a large GSO packet carries 0 there. */
    s->payload = skb->len > header ? skb->len - header : 0;
    s->flags = tcp.flags;
    return 1;
}

static __always_inline int ours(struct bpf_sock* sk) {
    const struct sock* full = (const struct sock*)bpf_skc_to_tcp_sock(sk);

    return full && BPF_CORE_READ(full, __sk_common.skc_net.net, net_cookie) == netns_cookie;
}

/* 1 lets the packet pass, 0 drops it. */
static __always_inline int gate(struct __sk_buff* skb, const int ingress) {
    struct bpf_sock* sk = skb->sk;
    struct segment s;

    if (!sk)
        return 1;
    sk = bpf_sk_fullsock(sk);
    if (!sk || sk->protocol != IPPROTO_TCP)
        return 1;
    /* The state before the mark: the tracepoint marks before the new state is stored, so a
     * socket seen established is seen marked too. */
    __u32 state = sk->state;
    int early = state == TCP_LISTEN || state == TCP_SYN_RECV || state == TCP_SYN_SENT;
    if (bpf_sk_storage_get(&blocked_sockets, sk, 0, 0)) {
        /* Only what carries no payload (ACK, FIN, RST) passes; a RST's payload is never read. */
        if (!read_segment(skb, &s))
            return 0;
        return s.payload == 0 || (s.flags & TCP_FLAG_RST);
    }
    /* A socket judged and spared, or older than the guard, is never touched. */
    if (!early || !read_segment(skb, &s) || s.payload == 0 || (s.flags & TCP_FLAG_RST))
        return 1;
    int judged = ingress ? blocked(s.destination_port, s.source_port, s.source)
                         : blocked(s.source_port, s.destination_port, s.destination);
    return !(judged && ours(sk));
}

SEC("cgroup_skb/ingress")
int gate_ingress(struct __sk_buff* skb) {
    return gate(skb, 1);
}

SEC("cgroup_skb/egress")
int gate_egress(struct __sk_buff* skb) {
    return gate(skb, 0);
}

char LICENSE[] SEC("license") = "Dual BSD/GPL";
