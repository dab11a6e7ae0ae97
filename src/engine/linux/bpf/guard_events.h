/* What the guard program reports, shared by the BPF program and its loader. */
#ifndef KT_GUARD_EVENTS_H
#define KT_GUARD_EVENTS_H

#include <linux/types.h>

/* A socket of the program's network namespace. An IPv4 connection (or an IPv4-mapped one on an
 * IPv6 socket) has ipv6 0 and its addresses in local_addr and remote_addr; a native IPv6 one has
 * ipv6 1 and its addresses in local_addr6 and remote_addr6. Addresses in network byte order,
 * ports in host order; family is the socket's own (a destroy must name it). bound_if is the
 * interface the socket is bound to, 0 for none (a look-up or destroy must name it). cookie is 0
 * when the attach point cannot learn it. */
struct kt_guard_socket {
    __u64 cookie;
    __u32 local_addr;
    __u32 remote_addr;
    __u8 local_addr6[16];
    __u8 remote_addr6[16];
    __u32 bound_if;
    __u16 local_port;
    __u16 remote_port;
    __u16 family;
    __u8 old_state; /* Linux TCP states (include/net/tcp_states.h) */
    __u8 new_state;
    __u8 failed; /* the socket carried an error when it closed: it leaves no TIME_WAIT behind */
    __u8 ipv6;
    __u8 mptcp; /* an MPTCP socket as a whole, not one of its TCP subflows */
    __u8 pad;
};

/* A state change of a socket with IPv4 addresses (ipv6 0): its report without the IPv6 fields,
 * which would be zeros. The change ring carries these and whole kt_guard_socket reports (for
 * IPv6 sockets), told apart by their sizes; the fields mean what they mean there. */
struct kt_guard_change4 {
    __u64 cookie;
    __u32 local_addr;
    __u32 remote_addr;
    __u32 bound_if;
    __u16 local_port;
    __u16 remote_port;
    __u16 family;
    __u8 old_state;
    __u8 new_state;
    __u8 failed;
    __u8 pad[3];
};

/* The paths by which the gate lets a payload packet pass that its own addresses and ports would
 * block, counted by path when the loader asks for it. */
enum kt_gate_path {
    KT_GATE_NO_SOCKET,        /* the packet names no socket */
    KT_GATE_NOT_FULL_SOCKET,  /* a request or TIME_WAIT socket */
    KT_GATE_UNREADABLE_EARLY, /* no TCP header found, on a socket without its connection */
    KT_GATE_KEPT_SPARED,      /* the socket's kept judgement spares it */
    KT_GATE_JUDGED_SPARED,    /* judged afresh by the socket's connection, and spared */
    KT_GATE_PATHS
};

/* A key of a rule set: one kind per rule list, the entry in value (a port in host order in its
 * first two bytes, the rest 0; an allowed address in IPv6 form, IPv4 as IPv4-mapped). A rule set is
 * one hash map of these, so that switching sets is one update of one slot. */
enum kt_rule_kind {
    KT_RULE_LOCAL_PORT = 1,
    KT_RULE_REMOTE_PORT = 2,
    KT_RULE_ALLOWED_ADDRESS = 3,
};
struct kt_rule_key {
    __u32 kind;
    __u8 value[16];
};
#endif
