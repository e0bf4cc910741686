#include "capture/interfaces.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <iomanip>
#include <stdexcept>

std::ostream& operator<<(std::ostream& out, Interface const& interface) {
    out << std::right << std::setw(2) << interface.index << ": " << std::setw(20) << interface.name
        << std::setw(16) << interface.ipv4Address << "    " << interface.ipv6Address;
    return out;
}

std::vector<Interface> interfacesFrom(pcap_if_t const* devices) {
    std::vector<Interface> found;
    int32_t nextIndex = 0;
    for (pcap_if_t const* device = devices; device != nullptr; device = device->next) {
        if (device->name == nullptr || device->addresses == nullptr) continue;
        char ipv4[INET_ADDRSTRLEN] = {};
        char ipv6[INET6_ADDRSTRLEN] = {};
        for (pcap_addr_t const* address = device->addresses; address != nullptr; address = address->next) {
            if (address->addr == nullptr) continue;
            if (address->addr->sa_family == AF_INET) {
                auto const* in = reinterpret_cast<sockaddr_in const*>(address->addr);
                inet_ntop(AF_INET, &in->sin_addr, ipv4, sizeof ipv4);
            } else if (address->addr->sa_family == AF_INET6) {
                auto const* in6 = reinterpret_cast<sockaddr_in6 const*>(address->addr);
                inet_ntop(AF_INET6, &in6->sin6_addr, ipv6, sizeof ipv6);
            }
        }
        if (ipv4[0] == '\0' && ipv6[0] == '\0') continue;
        found.push_back(Interface{nextIndex++, device->name, ipv4, ipv6});
    }
    return found;
}

std::vector<std::string> deviceNamesFrom(pcap_if_t const* devices) {
    std::vector<std::string> names;
    for (pcap_if_t const* device = devices; device != nullptr; device = device->next)
        if (device->name != nullptr) names.emplace_back(device->name);
    return names;
}

InterfaceManager::InterfaceManager() { discoverInterfaces(); }

void InterfaceManager::discoverInterfaces() {
    pcap_if_t* devices = nullptr;
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    if (pcap_findalldevs(&devices, errorBuffer) != 0)
        throw std::runtime_error(errorBuffer[0] != '\0' ? errorBuffer : "pcap_findalldevs failed");
    try {
        interfaces = interfacesFrom(devices);
        deviceNames = deviceNamesFrom(devices);
    } catch (...) {
        pcap_freealldevs(devices);
        throw;
    }
    pcap_freealldevs(devices);
}

bool InterfaceManager::hasInterface(std::string name) const {
    for (Interface const& interface : interfaces)
        if (interface.name == name) return true;
    for (std::string const& device : deviceNames)
        if (device == name) return true;
    return false;
}

Interface InterfaceManager::findInterface(std::string name) const {
    for (Interface const& interface : interfaces)
        if (interface.name == name) return interface;
    for (std::string const& device : deviceNames)
        if (device == name) return Interface{-1, device, "", ""};
    throw std::out_of_range("no capture device named \"" + name + "\"");
}

std::ostream& operator<<(std::ostream& out, InterfaceManager const& manager) {
    for (Interface const& interface : manager.interfaces) out << interface << "\n";
    return out;
}
