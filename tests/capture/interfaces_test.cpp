// Capture device listing: which libpcap devices are kept, which address is shown, and
// the table line format.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <deque>
#include <sstream>

#include "capture/interfaces.h"

namespace {

// Builds a libpcap device list the way pcap_findalldevs hands it out.
class DeviceList {
public:
    DeviceList& device(char const* name) {
        pcap_if_t& added = devices.emplace_back();
        added.name = const_cast<char*>(name);
        if (devices.size() > 1) devices[devices.size() - 2].next = &added;
        return *this;
    }
    DeviceList& ipv4(char const* text) {
        auto& address = storage.emplace_back();
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, text, &in->sin_addr);
        return add(reinterpret_cast<sockaddr*>(in));
    }
    DeviceList& ipv6(char const* text) {
        auto& address = storage.emplace_back();
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &in6->sin6_addr);
        return add(reinterpret_cast<sockaddr*>(in6));
    }
    DeviceList& other(sa_family_t family) {
        auto& address = storage.emplace_back();
        address.ss_family = family;
        return add(reinterpret_cast<sockaddr*>(&address));
    }
    DeviceList& noAddressEntry() { return add(nullptr); }
    pcap_if_t const* head() const { return devices.empty() ? nullptr : &devices.front(); }

private:
    DeviceList& add(sockaddr* socketAddress) {
        pcap_addr_t& entry = addresses.emplace_back();
        entry.addr = socketAddress;
        pcap_if_t& owner = devices.back();
        pcap_addr_t** tail = &owner.addresses;
        while (*tail != nullptr) tail = &(*tail)->next;
        *tail = &entry;
        return *this;
    }
    // deques keep element addresses stable as they grow
    std::deque<pcap_if_t> devices;
    std::deque<pcap_addr_t> addresses;
    std::deque<sockaddr_storage> storage;
};

std::string line(Interface const& interface) {
    std::ostringstream out;
    out << interface;
    return out.str();
}

TEST(Interfaces, LineFormat) {
    EXPECT_EQ(line({0, "eth0", "192.168.1.5", "fe80::1"}),
              " 0:" + std::string(17, ' ') + "eth0" + std::string(5, ' ') + "192.168.1.5    fe80::1");
    EXPECT_EQ(line({12, "wlp0s20f3", "", "2001:db8::1"}),
              "12:            wlp0s20f3" + std::string(16, ' ') + "    2001:db8::1");
    EXPECT_EQ(line({3, "a-very-long-device-name-0", "255.255.255.255", ""}),
              " 3: a-very-long-device-name-0 255.255.255.255    ");

    // The adjustment is forced to the right and stays so; the fill character is the stream's.
    std::ostringstream out;
    out << std::left << std::setfill('.') << Interface{1, "lo", "127.0.0.1", "::1"};
    out << std::setw(3) << 7;
    EXPECT_EQ(out.str(), ".1: ..................lo.......127.0.0.1    ::1..7");
}

TEST(Interfaces, ManagerPrintsOneLinePerInterface) {
    InterfaceManager manager;
    manager.interfaces = {{0, "eth0", "10.0.0.2", ""}, {1, "lo", "127.0.0.1", "::1"}};
    std::ostringstream out;
    out << manager;
    EXPECT_EQ(out.str(), line(manager.interfaces[0]) + "\n" + line(manager.interfaces[1]) + "\n");

    manager.interfaces.clear();
    std::ostringstream empty;
    empty << manager;
    EXPECT_EQ(empty.str(), "");
}

TEST(Interfaces, DevicesWithoutAddressesAreSkippedWithoutUsingAnIndex) {
    DeviceList list;
    list.device("any")
        .device("eth0").ipv4("10.0.0.1").ipv4("10.0.0.2").ipv6("fe80::1").ipv6("fe80::2")
        .device("nflog").other(AF_PACKET).noAddressEntry()
        .device(nullptr).ipv4("10.9.9.9")
        .device("v6only").ipv6("2001:db8::7")
        .device("lo").ipv6("::1").ipv4("127.0.0.1").other(AF_PACKET);

    auto const found = interfacesFrom(list.head());
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].index, 0);
    EXPECT_EQ(found[0].name, "eth0");
    EXPECT_EQ(found[0].ipv4Address, "10.0.0.2");
    EXPECT_EQ(found[0].ipv6Address, "fe80::2");
    EXPECT_EQ(found[1].index, 1);
    EXPECT_EQ(found[1].name, "v6only");
    EXPECT_EQ(found[1].ipv4Address, "");
    EXPECT_EQ(found[1].ipv6Address, "2001:db8::7");
    EXPECT_EQ(found[2].index, 2);
    EXPECT_EQ(found[2].name, "lo");
    EXPECT_EQ(found[2].ipv4Address, "127.0.0.1");
    EXPECT_EQ(found[2].ipv6Address, "::1");

    EXPECT_TRUE(interfacesFrom(nullptr).empty());
    // Opening takes every named device, the unaddressed ones too.
    EXPECT_EQ(deviceNamesFrom(list.head()), (std::vector<std::string>{"any", "eth0", "nflog", "v6only", "lo"}));
}

TEST(Interfaces, LookupByExactName) {
    InterfaceManager manager;
    manager.interfaces = {{0, "eth0", "10.0.0.2", ""}, {1, "eth0", "10.0.0.3", ""}};
    manager.deviceNames = {"eth0", "mirror0", "any"};
    EXPECT_TRUE(manager.hasInterface("eth0"));
    EXPECT_TRUE(manager.hasInterface("mirror0"));
    EXPECT_EQ(manager.findInterface("any").index, -1);
    EXPECT_EQ(manager.findInterface("any").name, "any");
    EXPECT_FALSE(manager.hasInterface("ETH0"));
    EXPECT_FALSE(manager.hasInterface("eth"));
    EXPECT_FALSE(manager.hasInterface("eth0 "));
    EXPECT_EQ(manager.findInterface("eth0").ipv4Address, "10.0.0.2");
    EXPECT_THROW(manager.findInterface("ETH0"), std::exception);
}

TEST(Interfaces, ThisMachinesDevices) {
    InterfaceManager manager;
    for (std::size_t i = 0; i < manager.interfaces.size(); ++i) {
        Interface const& interface = manager.interfaces[i];
        EXPECT_EQ(interface.index, static_cast<int32_t>(i));
        EXPECT_FALSE(interface.name.empty());
        EXPECT_FALSE(interface.ipv4Address.empty() && interface.ipv6Address.empty()) << interface.name;
        EXPECT_TRUE(manager.hasInterface(interface.name));
    }
    // The pseudo-device that captures on every interface has no address of its own: it is
    // not listed, but it can be opened.
    for (Interface const& interface : manager.interfaces) EXPECT_NE(interface.name, "any");
    EXPECT_TRUE(manager.hasInterface("any"));
}

}  // namespace
