#pragma once
#include <pcap/pcap.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// One capture device that has at least one IP address.
struct Interface {
    int32_t index = 0;
    std::string name;
    std::string ipv4Address;
    std::string ipv6Address;
};

// One table line: index, name, IPv4 and IPv6 address, right-aligned; no line end.
std::ostream& operator<<(std::ostream& out, Interface const& interface);

// The devices of a libpcap device list that have a name and an IPv4 or IPv6 address,
// numbered from 0 in list order; the last address of each family wins.
std::vector<Interface> interfacesFrom(pcap_if_t const* devices);

// The capture devices of this machine, gathered once at construction.
class InterfaceManager {
public:
    // Throws when libpcap cannot list the devices; what() carries libpcap's reason.
    InterfaceManager();

    void discoverInterfaces();
    bool hasInterface(std::string name) const;
    // Throws when no device has this name; ask hasInterface first.
    Interface& findInterface(std::string name);

    std::vector<Interface> interfaces;
};

// Every interface line, each followed by "\n".
std::ostream& operator<<(std::ostream& out, InterfaceManager const& manager);
