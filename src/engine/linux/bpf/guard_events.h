/* What the guard program reports, shared by the BPF program and its loader. */
#ifndef KT_GUARD_EVENTS_H
#define KT_GUARD_EVENTS_H

#include <linux/types.h>

/* A socket of the program's network namespace, as IPv4. Addresses in network byte order, ports
 * in host order; family is AF_INET, or AF_INET6 for an IPv4-mapped socket (a destroy must name
 * it in its own family). cookie is 0 when the attach point cannot learn it. */
struct kt_guard_socket {
    __u64 cookie;
    __u32 local_addr;
    __u32 remote_addr;
    __u16 local_port;
    __u16 remote_port;
    __u16 family;
    __u8 old_state; /* Linux TCP states (include/net/tcp_states.h) */
    __u8 new_state;
    __u8 failed; /* the socket carried an error when it closed: it leaves no TIME_WAIT behind */
    __u8 pad[7];
};

#endif
