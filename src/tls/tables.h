#pragma once
#include <map>
#include <string>

// Handshake message types that can be saved raw, by name; built before main runs and
// read-only afterwards. Versions and cipher suites are in tls/registry.h.
extern const std::map<int, std::string> saveHandshakeTypes;
