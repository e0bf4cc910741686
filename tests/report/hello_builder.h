#pragma once
// A ClientHello with the cipher suites and extensions of the JA4 worked example, GREASE
// included, that offers X25519MLKEM768 as its key share.
#include <string>
#include <vector>

#include "support/builders.h"

namespace report_test {

using namespace build;

inline Bytes u16List(std::vector<uint16_t> const& values, size_t prefix = 2) {
    Bytes b;
    if (prefix == 1) put8(b, static_cast<unsigned>(values.size() * 2));
    else put16(b, static_cast<unsigned>(values.size() * 2));
    for (auto v : values) put16(b, v);
    return b;
}

inline Bytes alpn(std::vector<std::string> const& names) {
    Bytes list;
    for (auto const& n : names) {
        put8(list, static_cast<unsigned>(n.size()));
        append(list, text(n));
    }
    Bytes b;
    put16(b, static_cast<unsigned>(list.size()));
    append(b, list);
    return extension(0x0010, b);
}

// A hello with the cipher suites and extensions of the JA4 worked example (t13d1516h2),
// GREASE values added in front of both lists; as DTLS (1.3 and 1.2, with a cookie) for dtls.
// more: extensions added at the end; signatureSchemes replace the example's.
inline Bytes exampleHello(std::vector<std::string> const& protocols = {"h2", "http/1.1"}, bool dtls = false,
                          Bytes const& more = {},
                          std::vector<uint16_t> const& signatureSchemes = {0x0403, 0x0804, 0x0401, 0x0503, 0x0805,
                                                                           0x0501, 0x0806, 0x0601}) {
    Bytes body;
    put16(body, dtls ? 0xfefd : 0x0303);
    body.resize(body.size() + 32, 0x5a);
    put8(body, 0);
    if (dtls) append(body, {2, 0xc0, 0x0c});
    append(body, u16List({0x2a2a, 0x1301, 0x1302, 0x1303, 0xc02b, 0xc02f, 0xc02c, 0xc030, 0xcca9, 0xcca8, 0xc013,
                          0xc014, 0x009c, 0x009d, 0x002f, 0x0035}));
    put8(body, 1);
    put8(body, 0);
    Bytes keyShare;
    put16(keyShare, 6);
    put16(keyShare, 0x11ec);
    put16(keyShare, 2);
    put16(keyShare, 0xabcd);
    Bytes const sigalgs = u16List(signatureSchemes);
    Bytes const extensions = concat({
        extension(0x3a3a, {}), sniExtension("example.com"), extension(0x0017, {}), extension(0xff01, {0}),
        extension(0x000a, u16List({0x1a1a, 0x11ec, 0x001d, 0x0017})), extension(0x000b, {1, 0}),
        extension(0x0023, {}), alpn(protocols), extension(0x0005, {1, 0, 0, 0, 0}), extension(0x000d, sigalgs),
        extension(0x0012, {}), extension(0x0033, keyShare), extension(0x002d, {1, 1}),
        extension(0x002b, u16List(dtls ? std::vector<uint16_t>{0x4a4a, 0xfefd, 0xfefc} : std::vector<uint16_t>{0x4a4a, 0x0304, 0x0303}, 1)), extension(0x001b, {2, 0, 2}),
        extension(0x4469, {}), extension(0x0015, {0, 0}), more});
    put16(body, static_cast<unsigned>(extensions.size()));
    append(body, extensions);
    return handshake(1, body);
}

}  // namespace report_test
