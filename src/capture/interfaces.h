#pragma once
#include <pcap/pcap.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// One capture device; index and addresses are those of the listing (index -1 and no
// address for a device the listing leaves out).
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

// The names of every device of a libpcap device list, addressed or not, in list order.
std::vector<std::string> deviceNamesFrom(pcap_if_t const* devices);

// The capture devices of this machine, gathered once at construction.
class InterfaceManager {
public:
    // Throws when libpcap cannot list the devices; what() carries libpcap's reason.
    InterfaceManager();

    void discoverInterfaces();
    // Any device libpcap knows: a mirror port has no address, and "any" has none either.
    bool hasInterface(std::string name) const;
    // The listed interface of that name, else the bare device; throws when libpcap knows no
    // device of that name (ask hasInterface first).
    Interface findInterface(std::string name) const;

    // What -l lists: devices with an address.
    std::vector<Interface> interfaces;
    // Every device that can be opened for capture.
    std::vector<std::string> deviceNames;
};

// Every interface line, each followed by "\n".
std::ostream& operator<<(std::ostream& out, InterfaceManager const& manager);
