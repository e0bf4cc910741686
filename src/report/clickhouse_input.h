#pragma once
// The report over the central ClickHouse store that scripts/clickhouse/varno_clickhouse_load.py
// fills. ClickHouse does the counting: the rows come grouped by the cells the inventory
// reads, each group with its count and its first and last time, so the report's memory and
// time grow with the number of distinct handshakes, not with the number of rows.
#include <cstdint>
#include <optional>
#include <functional>
#include <string>

#include "report/inventory.h"

namespace report {

struct StoreAddress {
    std::string host = "localhost";
    uint16_t port = 8123;  // the HTTP interface
    std::string database = "varno";
    std::string user, password;  // empty: the server's default user
    std::string text() const;     // "HOST:PORT/DATABASE", for the summary
};

// "HOST", "HOST:PORT" or "[IPv6]:PORT" over the defaults of address; false when it is none
// of those.
bool parseStoreHost(std::string const& text, StoreAddress& address);

// A time window over the rows, in milliseconds: since <= time < until.
struct TimeWindow {
    int64_t sinceMs = INT64_MIN, untilMs = INT64_MAX;
};

// Adds the store's rows of the window, and the certificates they name, to the inventory;
// an empty string when done, else what went wrong.
std::string addStore(Inventory& inventory, StoreAddress const& store, TimeWindow const& window);

// Every certificate of the store's certificates table, whatever rows name it, as a directory
// store holds them all: the CBOM lists them. Empty when done, else what went wrong.
std::string storedCertificates(StoreAddress const& store,
                               std::function<void(std::string_view digest, std::string pem)> const& each);

}  // namespace report
