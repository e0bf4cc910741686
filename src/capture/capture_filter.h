#pragma once
#include <string>

// The capture filter for a link type, the one place that says which frames reach the
// program. Plain IPv4 and IPv6 TCP segments pass when they carry payload, or when they
// have SYN set and ACK clear (a connection starting on a 4-tuple ends the flow that held
// it); bare acknowledgements never leave the kernel. A BPF program cannot follow every
// nesting of tunnels, so the outer forms of the encapsulations the decoder reads pass
// whole and the decoder decides: VXLAN and Geneve (by UDP destination port), GRE, IP in
// IP, MPLS, PPPoE sessions, Cisco MetaData, three or more VLAN tags, and IPv6 extension
// headers. Empty for an unsupported link type.
std::string captureFilter(int linkType);
