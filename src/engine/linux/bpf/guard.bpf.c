// SPDX-License-Identifier: GPL-2.0
/* The kernel guard: judges every IPv4 (or IPv4-mapped) TCP socket of one network namespace as it
 * enters ESTABLISHED, by the same rule as the engine, and reports the match to user space, which
 * cuts it. Also reports every TCP state change there, so that user space can keep its table
 * without walking the kernel's. */
#include "kernel_types.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "guard_events.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define TCP_ESTABLISHED 1
#define TCP_CLOSE 7

/* Set before load: the cookie of the loader's network namespace. */
const volatile __u64 netns_cookie = 0;

/* Reports that found no room; user space compares them to notice a loss. */
__u64 lost_matches = 0;
__u64 lost_changes = 0;

/* Indexed by port: non-zero when blocked. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 65536);
    __type(key, __u32);
    __type(value, __u8);
} blocked_local_ports SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 65536);
    __type(key, __u32);
    __type(value, __u8);
} blocked_remote_ports SEC(".maps");

/* Remote addresses that are never cut, in IPv6 form (IPv4 as IPv4-mapped). */
struct kt_address {
    __u8 bytes[16];
};

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 65536);
    __type(key, struct kt_address);
    __type(value, __u8);
    __uint(map_flags, BPF_F_NO_PREALLOC);
} allowed_addresses SEC(".maps");

/* Sizes are set by the loader. */
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
} matches SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
} changes SEC(".maps");

static __always_inline int port_blocked(void* map, __u16 port) {
    __u32 key = port;
    __u8* blocked = bpf_map_lookup_elem(map, &key);

    return blocked && *blocked;
}

static __always_inline int is_mapped(const struct in6_addr* a) {
    return a->in6_u.u6_addr32[0] == 0 && a->in6_u.u6_addr32[1] == 0 &&
           a->in6_u.u6_addr32[2] == bpf_htonl(0xffff);
}

static __always_inline int is_unspecified(const struct in6_addr* a) {
    return a->in6_u.u6_addr32[0] == 0 && a->in6_u.u6_addr32[1] == 0 && a->in6_u.u6_addr32[2] == 0 &&
           a->in6_u.u6_addr32[3] == 0;
}

/* Fills the socket's IPv4 view, as the netlink table lists it; 0 when the socket has none. */
static __always_inline int read_socket(const struct sock* sk, struct kt_guard_socket* s) {
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP ||
        BPF_CORE_READ(sk, __sk_common.skc_net.net, net_cookie) != netns_cookie)
        return 0;
    s->family = BPF_CORE_READ(sk, __sk_common.skc_family);
    s->local_port = bpf_ntohs(BPF_CORE_READ((const struct inet_sock*)sk, inet_sport));
    s->remote_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
    if (s->family == AF_INET) {
        s->local_addr = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        s->remote_addr = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        return 1;
    }
    if (s->family != AF_INET6)
        return 0;
    struct in6_addr local = BPF_CORE_READ(sk, __sk_common.skc_v6_rcv_saddr);
    struct in6_addr remote = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr);
    s->local_addr = local.in6_u.u6_addr32[3];
    s->remote_addr = remote.in6_u.u6_addr32[3];
    if (is_mapped(&local) && is_mapped(&remote))
        return 1;
    /* No peer yet: IPv4 only when the socket takes IPv4 at all. */
    if ((is_mapped(&local) || is_unspecified(&local)) && is_unspecified(&remote)) {
        s->local_addr = is_mapped(&local) ? s->local_addr : 0;
        s->remote_addr = 0;
        return !BPF_CORE_READ_BITFIELD_PROBED(&sk->__sk_common, skc_ipv6only);
    }
    return 0;
}

/* The engine's rule: an allowed remote address exempts; else a blocked local or remote port
 * cuts. */
static __always_inline int blocked(const struct kt_guard_socket* s) {
    struct kt_address remote = {};

    remote.bytes[10] = 0xff;
    remote.bytes[11] = 0xff;
    __builtin_memcpy(&remote.bytes[12], &s->remote_addr, 4);
    if (bpf_map_lookup_elem(&allowed_addresses, &remote))
        return 0;
    return port_blocked(&blocked_local_ports, s->local_port) ||
           port_blocked(&blocked_remote_ports, s->remote_port);
}

static __always_inline void report(void* ring, __u64* lost, const struct kt_guard_socket* s) {
    struct kt_guard_socket* slot = bpf_ringbuf_reserve(ring, sizeof(*slot), 0);

    if (!slot) {
        __sync_fetch_and_add(lost, 1);
        return;
    }
    *slot = *s;
    bpf_ringbuf_submit(slot, 0);
}

static __always_inline void handle(const struct sock* sk, int old_state, int new_state,
                                   __u64 cookie) {
    struct kt_guard_socket s = {};

    if (!read_socket(sk, &s))
        return;
    /* A socket still without its port is reported once it has one. */
    if (s.local_port == 0)
        return;
    s.cookie = cookie;
    s.old_state = old_state;
    s.new_state = new_state;
    if (new_state == TCP_ESTABLISHED && blocked(&s))
        report(&matches, &lost_matches, &s);
    if (new_state == TCP_CLOSE)
        s.failed = BPF_CORE_READ(sk, sk_err) != 0;
    report(&changes, &lost_changes, &s);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(typed_state_change, const struct sock* sk, const int old_state, const int new_state) {
    handle(sk, old_state, new_state, bpf_get_socket_cookie((void*)sk));
    return 0;
}

/* For kernels whose typed tracepoints cannot hand out the socket cookie: the cookie is read
 * where the kernel keeps it, and is 0 while nobody has asked for it yet. */
SEC("raw_tp/inet_sock_set_state")
int BPF_PROG(raw_state_change, const struct sock* sk, int old_state, int new_state) {
    handle(sk, old_state, new_state, BPF_CORE_READ(sk, __sk_common.skc_cookie.counter));
    return 0;
}

char LICENSE[] SEC("license") = "GPL";
