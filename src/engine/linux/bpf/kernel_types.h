/* The few kernel types the guard program reads, written by hand instead of a generated vmlinux.h.
 * Only the members used are declared: preserve_access_index makes every access a CO-RE
 * relocation, which libbpf resolves against the running kernel's BTF (/sys/kernel/btf/vmlinux)
 * at load time, so the layout here never has to match any kernel's. The build needs the UAPI
 * headers of linux-libc-dev and libbpf-dev only. */
#ifndef KT_KERNEL_TYPES_H
#define KT_KERNEL_TYPES_H

#include <linux/bpf.h>
#include <linux/types.h>

struct in6_addr {
    union {
        __u8 u6_addr8[16];
        __be32 u6_addr32[4];
    } in6_u;
} __attribute__((preserve_access_index));

struct net {
    __u64 net_cookie;
} __attribute__((preserve_access_index));

typedef struct {
    struct net* net;
} possible_net_t;

typedef struct {
    __s64 counter;
} atomic64_t;

struct sock_common {
    union {
        struct {
            __be32 skc_daddr;
            __be32 skc_rcv_saddr;
        };
    };
    union {
        struct {
            __be16 skc_dport;
        };
    };
    unsigned short skc_family;
    unsigned char skc_reuse : 4;
    unsigned char skc_reuseport : 1;
    unsigned char skc_ipv6only : 1;
    int skc_bound_dev_if;
    possible_net_t skc_net;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
    atomic64_t skc_cookie;
} __attribute__((preserve_access_index));

struct sock {
    struct sock_common __sk_common;
    __u16 sk_protocol;
    int sk_err;
} __attribute__((preserve_access_index));

/* The local port, which, unlike sock_common's skc_num, stays while the socket closes. */
struct inet_sock {
    struct sock sk;
    __be16 inet_sport;
} __attribute__((preserve_access_index));

/* What bpf_skc_to_tcp_sock, bpf_skc_to_tcp_timewait_sock and bpf_skc_to_tcp_request_sock
 * answer; each read as the sock_common it starts with. */
struct tcp_sock;
struct tcp_timewait_sock;
struct tcp_request_sock;

#endif
