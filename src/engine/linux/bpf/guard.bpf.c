// SPDX-License-Identifier: (LGPL-2.1 OR BSD-2-Clause)
/* The kernel guard: judges every TCP socket of one network namespace as it enters ESTABLISHED
 * (or SYN_RECV, once a Fast Open child knows its peer), by the same rule as the engine, and
 * reports the match to user space, which cuts it. Also reports the TCP state changes there that
 * its table shows, so that user space can keep the table without walking the kernel's.
 *
 * A judgement is kept on the socket with the connection it was made for and the rule set it was
 * made under, and goes at CLOSE. The gate (cgroup_skb programs at the root of the cgroup v2
 * hierarchy) judges a socket afresh whenever what it keeps is not for the socket's connection
 * and the rules in force, and drops every packet of a blocked socket that carries payload: a
 * blocked connection carries no byte to either application from the moment a rule set is in
 * force. Payload that reaches a socket before it has its connection (data on the handshake's
 * last ACK, in a Fast Open SYN, on a listener's cookie ACK) is judged by the packet's own
 * addresses and ports. */
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
#define IPPROTO_HOPOPTS 0
#define IPPROTO_TCP 6
#define IPPROTO_ROUTING 43
#define IPPROTO_DSTOPTS 60
#define IPPROTO_MPTCP 262
#define TCP_ESTABLISHED 1
#define TCP_SYN_SENT 2
#define TCP_SYN_RECV 3
#define TCP_CLOSE 7
#define TCP_LISTEN 10
#define TCP_FLAG_RST 0x04
/* Extension headers walked before the TCP header; a packet with more is unreadable. */
#define MAX_EXTENSION_HEADERS 8

/* Set before load: the cookie of the loader's network namespace. */
const volatile __u64 netns_cookie = 0;
/* Set before load: count the payload packets of blocked connections that the gate lets pass,
 * by path. Off, the verifier drops the counting altogether. */
const volatile __u8 count_passes = 0;

/* Reports that found no room; user space compares them to notice a loss. */
__u64 lost_matches = 0;
__u64 lost_changes = 0;
/* Judgements that could not be kept on their socket (no memory): judged again on each packet. */
__u64 unmarked = 0;
/* Payload packets of blocked connections let through, by path (count_passes only). */
__u64 passed[KT_GATE_PATHS] = {};

/* The version of the rule set in force, stored by user space after each change to it (a switch or
 * an edit in place), so that a judgement made under another version is known stale. 0 before the
 * first rules. */
__u32 rules_version = 0;

/* The rule set in force: one map, switched whole by user space in one update of the slot. The
 * kernel waits for a grace period before that update returns, so that a judgement made under a
 * version stored after it read the new set. One entry added or deleted in place is whole for
 * every reader too. */
struct rule_set {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 1024); /* each set is sized by user space to fit */
    __uint(key_size, sizeof(struct kt_rule_key));
    __uint(value_size, 1);
    __uint(map_flags, BPF_F_NO_PREALLOC);
};

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __uint(max_entries, 1);
    __type(key, __u32);
    __array(values, struct rule_set);
} rule_sets SEC(".maps");

/* A connection: addresses in IPv6 form (IPv4 as IPv4-mapped), ports in host order. */
struct connection {
    __u32 local[4];
    __u32 remote[4];
    __u16 local_port;
    __u16 remote_port;
};

#define JUDGED_BLOCKED 1ULL
#define JUDGED_FOREIGN 2ULL /* another namespace's socket: never judged, whatever its rules */

/* What the guard keeps on a socket it judged. judged packs the rule set's version (high half,
 * never 0 once rules are in force) and the verdict, so that one store changes both: the
 * tracepoint and the gate's two directions may write the same socket's at once. 0 while being
 * written. */
struct judgement {
    struct connection connection;
    __u64 judged;
};

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct judgement);
} judgements SEC(".maps");

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

static __always_inline void map_ipv4(__u32 address, __u32* out) {
    out[0] = 0;
    out[1] = 0;
    out[2] = bpf_htonl(0xffff);
    out[3] = address;
}

static __always_inline __u32 current_version(void) {
    return *(volatile __u32*)&rules_version;
}

static __always_inline int has_rule(void* set, __u32 kind, const void* value, __u32 size) {
    struct kt_rule_key key = {.kind = kind};

    __builtin_memcpy(key.value, value, size);
    return bpf_map_lookup_elem(set, &key) != 0;
}

/* The engine's rule under the set in force: an allowed remote address exempts; else a blocked
 * local or remote port cuts. remote is in IPv6 form. */
static __always_inline int blocked(__u16 local_port, __u16 remote_port, const __u32* remote) {
    __u32 slot = 0;
    void* set = bpf_map_lookup_elem(&rule_sets, &slot);

    if (!set)
        return 0;
    if (!has_rule(set, KT_RULE_LOCAL_PORT, &local_port, 2) &&
        !has_rule(set, KT_RULE_REMOTE_PORT, &remote_port, 2))
        return 0;
    return !has_rule(set, KT_RULE_ALLOWED_ADDRESS, remote, 16);
}

static __always_inline int same_connection(const struct connection* a, const struct connection* b) {
    return a->local_port == b->local_port && a->remote_port == b->remote_port &&
           a->remote[3] == b->remote[3] && a->local[3] == b->local[3] &&
           a->remote[0] == b->remote[0] && a->remote[1] == b->remote[1] &&
           a->remote[2] == b->remote[2] && a->local[0] == b->local[0] &&
           a->local[1] == b->local[1] && a->local[2] == b->local[2];
}

/* Keeps a judgement on the socket (given the storage); the verdict's store comes last. */
static __always_inline void keep(struct judgement* kept, const struct connection* c, __u64 judged) {
    *(volatile __u64*)&kept->judged = 0;
    kept->connection = *c;
    *(volatile __u64*)&kept->judged = judged;
}

static __always_inline __u64 judgement_of(__u32 version, int is_blocked) {
    return ((__u64)version << 32) | (is_blocked ? JUDGED_BLOCKED : 0);
}

/* Fills the socket's view as the netlink table lists it; 0 when it is none of ours. */
static __always_inline int read_socket(const struct sock* sk, struct kt_guard_socket* s) {
    const __u16 protocol = BPF_CORE_READ(sk, sk_protocol);

    if ((protocol != IPPROTO_TCP && protocol != IPPROTO_MPTCP) ||
        BPF_CORE_READ(sk, __sk_common.skc_net.net, net_cookie) != netns_cookie)
        return 0;
    s->mptcp = protocol == IPPROTO_MPTCP;
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

static __always_inline void connection_of(const struct kt_guard_socket* s, struct connection* c) {
    if (s->ipv6) {
        __builtin_memcpy(c->local, s->local_addr6, 16);
        __builtin_memcpy(c->remote, s->remote_addr6, 16);
    } else {
        map_ipv4(s->local_addr, c->local);
        map_ipv4(s->remote_addr, c->remote);
    }
    c->local_port = s->local_port;
    c->remote_port = s->remote_port;
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

/* keeps is a constant: the raw tracepoint may not use socket storage at all. */
static __always_inline void handle(const struct sock* sk, int old_state, int new_state,
                                   __u64 cookie, const int keeps) {
    struct kt_guard_socket s = {};

    if (!read_socket(sk, &s))
        return;
    /* What was kept belongs to the connection that ends here: a socket connected again is
     * judged afresh. */
    if (keeps && new_state == TCP_CLOSE)
        bpf_sk_storage_delete(&judgements, (struct sock*)sk);
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
        new_state == TCP_ESTABLISHED || (keeps && new_state == TCP_SYN_RECV && s.remote_port != 0);
    if (judged) {
        struct connection c;
        connection_of(&s, &c);
        /* Read before the set: a judgement made under a version is never of an older set. */
        const __u32 version = current_version();
        const int is_blocked = blocked(c.local_port, c.remote_port, c.remote);
        /* Kept before tcp_set_state stores the new state. An MPTCP socket's packets are its
         * subflows', which are judged on their own. */
        if (keeps && !s.mptcp) {
            struct judgement* kept =
                bpf_sk_storage_get(&judgements, (struct sock*)sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
            if (kept)
                keep(kept, &c, judgement_of(version, is_blocked));
            else if (is_blocked)
                __sync_fetch_and_add(&unmarked, 1);
        }
        if (is_blocked)
            report(&matches, &lost_matches, &s, 0);
    }
    /* The table lists TCP sockets only. */
    if (s.mptcp)
        return;
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

/* One TCP segment's addresses (IPv6 form), ports (host order), payload length and flags.
 * tcp 0 when only the fixed IP header could be read. */
struct segment {
    __u32 source[4];
    __u32 destination[4];
    __u16 source_port;
    __u16 destination_port;
    __u32 payload;
    __u8 flags;
    __u8 tcp;
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

/* Where an IPv6 packet's TCP header starts, past hop-by-hop, routing and destination options
 * headers; 0 when it cannot be found. A Fragment header is not followed: packets reach ingress
 * reassembled and leave egress before fragmentation, so one seen here is not plain TCP. */
static __always_inline __u32 ipv6_tcp_offset(struct __sk_buff* skb) {
    __u8 next = 0;
    __u32 offset = 40;

    if (bpf_skb_load_bytes(skb, 6, &next, 1))
        return 0;
    for (int i = 0; i < MAX_EXTENSION_HEADERS; i++) {
        if (next == IPPROTO_TCP)
            return offset;
        if (next != IPPROTO_HOPOPTS && next != IPPROTO_ROUTING && next != IPPROTO_DSTOPTS)
            return 0;
        __u8 extension[2];
        if (bpf_skb_load_bytes(skb, offset, extension, 2))
            return 0;
        next = extension[0];
        offset += (extension[1] + 1) * 8;
    }
    return next == IPPROTO_TCP ? offset : 0;
}

/* cgroup_skb programs see the packet from its network header. An IPv4-mapped socket sends and
 * receives IPv4 packets, so the packet's own family is what counts. 0 when not even the fixed IP
 * header could be read; s->tcp says whether the TCP header could. */
static __always_inline int read_segment(struct __sk_buff* skb, struct segment* s) {
    __u32 header = 0;

    s->tcp = 0;
    if (skb->protocol == bpf_htons(ETH_P_IP)) {
        __u8 first = 0;
        __u8 protocol = 0;
        __u32 addresses[2];
        if (bpf_skb_load_bytes(skb, 0, &first, 1) || bpf_skb_load_bytes(skb, 9, &protocol, 1) ||
            bpf_skb_load_bytes(skb, 12, addresses, 8))
            return 0;
        map_ipv4(addresses[0], s->source);
        map_ipv4(addresses[1], s->destination);
        header = (first & 0x0f) * 4;
        if ((first >> 4) != 4 || protocol != IPPROTO_TCP || header < 20)
            return 1;
    } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
        if (bpf_skb_load_bytes(skb, 8, s->source, 16) ||
            bpf_skb_load_bytes(skb, 24, s->destination, 16))
            return 0;
        header = ipv6_tcp_offset(skb);
        if (!header)
            return 1;
    } else {
        return 0;
    }
    struct tcp_header tcp;
    if (bpf_skb_load_bytes(skb, header, &tcp, sizeof tcp))
        return 1;
    header += (tcp.offset >> 4) * 4;
    s->source_port = bpf_ntohs(tcp.source);
    s->destination_port = bpf_ntohs(tcp.dest);
    /* skb->len, not the IP length field: a large GSO packet carries 0 there. */
    s->payload = skb->len > header ? skb->len - header : 0;
    s->flags = tcp.flags;
    s->tcp = 1;
    return 1;
}

static __always_inline int ours(struct bpf_sock* sk) {
    const struct sock* full = (const struct sock*)bpf_skc_to_tcp_sock(sk);

    return full && BPF_CORE_READ(full, __sk_common.skc_net.net, net_cookie) == netns_cookie;
}

/* One field of the socket's context, read as a whole: the verifier allows no pointer arithmetic
 * on the socket, which the compiler may otherwise make of neighbouring reads. */
#define SOCKET_FIELD(sk, field)                                                                    \
    ({                                                                                             \
        __u32 value_ = (sk)->field;                                                                \
        asm volatile("" : "+r"(value_));                                                           \
        value_;                                                                                    \
    })

/* The socket's connection as the gate sees it. */
static __always_inline void socket_connection(const struct bpf_sock* sk, struct connection* c) {
    if (SOCKET_FIELD(sk, family) == AF_INET) {
        map_ipv4(SOCKET_FIELD(sk, src_ip4), c->local);
        map_ipv4(SOCKET_FIELD(sk, dst_ip4), c->remote);
    } else {
        c->local[0] = SOCKET_FIELD(sk, src_ip6[0]);
        c->local[1] = SOCKET_FIELD(sk, src_ip6[1]);
        c->local[2] = SOCKET_FIELD(sk, src_ip6[2]);
        c->local[3] = SOCKET_FIELD(sk, src_ip6[3]);
        c->remote[0] = SOCKET_FIELD(sk, dst_ip6[0]);
        c->remote[1] = SOCKET_FIELD(sk, dst_ip6[1]);
        c->remote[2] = SOCKET_FIELD(sk, dst_ip6[2]);
        c->remote[3] = SOCKET_FIELD(sk, dst_ip6[3]);
    }
    c->local_port = SOCKET_FIELD(sk, src_port);
    c->remote_port = bpf_ntohs((__u16)SOCKET_FIELD(sk, dst_port));
}

/* Whether the packet's own addresses and ports are blocked, seen from this side. */
static __always_inline int segment_blocked(const struct segment* s, const int ingress) {
    return ingress ? blocked(s->destination_port, s->source_port, s->source)
                   : blocked(s->source_port, s->destination_port, s->destination);
}

/* Whether a socket of any kind (a request and a TIME_WAIT socket too) is of this namespace: the
 * gate sees every namespace's packets. */
static __always_inline int ours_any(struct bpf_sock* sk) {
    const struct sock* any = (const struct sock*)bpf_skc_to_tcp_sock(sk);

    if (!any)
        any = (const struct sock*)bpf_skc_to_tcp_timewait_sock(sk);
    if (!any)
        any = (const struct sock*)bpf_skc_to_tcp_request_sock(sk);
    return any && BPF_CORE_READ(any, __sk_common.skc_net.net, net_cookie) == netns_cookie;
}

/* Counts a payload packet of this namespace let through on a path, when its own addresses and
 * ports are blocked. */
static __always_inline void count_pass(struct __sk_buff* skb, struct bpf_sock* sk,
                                       const int ingress, const int path) {
    struct segment s;

    if (!count_passes || path < 0 || path >= KT_GATE_PATHS)
        return;
    if (read_segment(skb, &s) && s.tcp && s.payload > 0 && !(s.flags & TCP_FLAG_RST) &&
        segment_blocked(&s, ingress) && (!sk || ours_any(sk)))
        __sync_fetch_and_add(&passed[path], 1);
}

/* A packet of a socket that has no connection of its own (a listener, a request, a connect under
 * way, a socket closed). 1 lets it pass. */
static __always_inline int gate_early(struct __sk_buff* skb, struct bpf_sock* sk,
                                      const struct connection* c, const int ingress) {
    struct segment s;

    if (!read_segment(skb, &s))
        return 1;
    if (s.tcp) {
        if (s.payload == 0 || (s.flags & TCP_FLAG_RST))
            return 1;
        return !(segment_blocked(&s, ingress) && ours(sk));
    }
    /* Unreadable past the IP header: judged by what the socket knows, with the peer's address
     * from the fixed header. */
    if (blocked(c->local_port, c->remote_port, ingress ? s.source : s.destination) && ours(sk))
        return 0;
    count_pass(skb, sk, ingress, KT_GATE_UNREADABLE_EARLY);
    return 1;
}

/* 1 lets the packet pass, 0 drops it. */
static __always_inline int gate(struct __sk_buff* skb, const int ingress) {
    struct bpf_sock* sk = skb->sk;
    struct connection c;

    if (!sk) {
        count_pass(skb, sk, ingress, KT_GATE_NO_SOCKET);
        return 1;
    }
    struct bpf_sock* full = bpf_sk_fullsock(sk);
    if (!full) {
        count_pass(skb, sk, ingress, KT_GATE_NOT_FULL_SOCKET);
        return 1;
    }
    sk = full;
    if (sk->protocol != IPPROTO_TCP)
        return 1;
    const __u32 state = sk->state;
    const __u32 version = current_version();
    socket_connection(sk, &c);
    struct judgement* kept = bpf_sk_storage_get(&judgements, sk, 0, 0);
    __u64 judged = kept ? *(volatile __u64*)&kept->judged : 0;
    if (judged & JUDGED_FOREIGN)
        return 1;
    int is_blocked = 0;
    if (judged && (__u32)(judged >> 32) == version && same_connection(&kept->connection, &c)) {
        is_blocked = judged & JUDGED_BLOCKED;
    } else if (state == TCP_LISTEN || state == TCP_SYN_RECV || state == TCP_SYN_SENT ||
               state == TCP_CLOSE || c.local_port == 0) {
        /* A socket closing loses its local port before it shows CLOSE: a packet that found it
         * just before is judged by its own addresses, like one of a socket not yet connected. */
        return gate_early(skb, sk, &c, ingress);
    } else {
        /* Connected elsewhere, older than the guard, or judged under other rules: judged here,
         * and kept. */
        const int foreign = !ours(sk);
        is_blocked = !foreign && blocked(c.local_port, c.remote_port, c.remote);
        kept = bpf_sk_storage_get(&judgements, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
        if (kept)
            keep(kept, &c, foreign ? JUDGED_FOREIGN : judgement_of(version, is_blocked));
        else if (is_blocked)
            __sync_fetch_and_add(&unmarked, 1);
        if (!is_blocked) {
            count_pass(skb, sk, ingress, KT_GATE_JUDGED_SPARED);
            return 1;
        }
    }
    if (!is_blocked) {
        count_pass(skb, sk, ingress, KT_GATE_KEPT_SPARED);
        return 1;
    }
    /* Only what carries no payload (ACK, FIN, RST) passes; a RST's payload is never read. */
    struct segment s;
    if (!read_segment(skb, &s) || !s.tcp)
        return 0;
    return s.payload == 0 || (s.flags & TCP_FLAG_RST);
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
