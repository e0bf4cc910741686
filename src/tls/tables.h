#pragma once
#include <map>
#include <string>

// TLS registry tables, built before main runs and read-only afterwards.
extern const std::map<int, std::string> tlsVersions;
extern const std::map<int, std::string> parseHandshakeTypes;
extern const std::map<int, std::string> saveHandshakeTypes;
// Cipher suite code point as "0x" + four lower-case hex digits -> key-exchange name.
extern const std::map<std::string, std::string> keyExchangeAlgorithms;

// Key-exchange name of a code point text, empty when the table has none.
std::string const& keyExchangeName(std::string const& codePoint);

