#include "tls/dtls_records.h"

#include <algorithm>

#include "tls/handshake_views.h"

namespace dtls {

bool isDtlsDatagram(std::span<const uint8_t> payload) {
    ByteReader r(payload);
    const uint8_t first = r.u8();
    return r.ok() && first >= 20 && first <= 63;
}

bool Record::encrypted() const { return type == 0 || epoch != 0; }

bool startsWithClientHello(std::span<const uint8_t> datagram) {
    ByteReader first(datagram);
    if (first.u8() != 22 || first.u8() != 0xFE || !first.ok()) return false;
    bool opens = false;
    forEachRecord(datagram, [&](Record const& record) {
        if (record.type == 22 && record.epoch == 0) {
            bool seen = false;
            forEachFragment(record.body, [&](Fragment const& fragment) {
                if (!seen) opens = fragment.msgType == handshake_type::CLIENT_HELLO && fragment.offset == 0;
                seen = true;
            });
        }
        return false;  // only the first record decides
    });
    return opens;
}

std::string_view versionText(uint16_t code) {
    switch (code) {
    case 0xFEFF: return "DTLSv1.0";
    case 0xFEFD: return "DTLSv1.2";
    case 0xFEFC: return "DTLSv1.3";
    default: return "";
    }
}

bool MessageAssembler::add(Fragment const& fragment, std::vector<uint8_t>& message) {
    auto [found, first] = pending.try_emplace(fragment.messageSeq);
    Pending& entry = found->second;
    if (first) {
        entry.msgType = fragment.msgType;
        entry.length = fragment.length;
    }
    if (entry.complete || entry.msgType != fragment.msgType || entry.length != fragment.length ||
        uint64_t(fragment.offset) + fragment.bytes.size() > fragment.length)
        return false;
    if (!fragment.bytes.empty()) {
        entry.pieces.push_back({fragment.offset, {fragment.bytes.begin(), fragment.bytes.end()}});
        hold(entry.held, fragment.offset, fragment.offset + uint32_t(fragment.bytes.size()));
    }
    const bool whole = entry.length == 0 || (entry.held.size() == 1 && entry.held.begin()->first == 0 &&
                                             entry.held.begin()->second >= entry.length);
    if (!whole) return false;
    layOut(entry, message);
    entry.complete = true;
    std::vector<Piece>().swap(entry.pieces);
    entry.held.clear();
    return true;
}

// Adds [begin, end) to the held ranges, merging it with those it touches.
void MessageAssembler::hold(std::map<uint32_t, uint32_t>& held, uint32_t begin, uint32_t end) {
    auto next = held.upper_bound(begin);
    if (next != held.begin() && std::prev(next)->second >= begin) {
        --next;
        begin = next->first;
        end = std::max(end, next->second);
        next = held.erase(next);
    }
    while (next != held.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = held.erase(next);
    }
    held.emplace(begin, end);
}

// The TLS form of a whole message; where pieces overlap, the one that came first wins.
void MessageAssembler::layOut(Pending const& entry, std::vector<uint8_t>& message) {
    message.assign(HANDSHAKE_HEADER_LENGTH + entry.length, 0);
    message[0] = entry.msgType;
    message[1] = uint8_t(entry.length >> 16);
    message[2] = uint8_t(entry.length >> 8);
    message[3] = uint8_t(entry.length);
    std::vector<bool> held(entry.length, false);
    // add() keeps only pieces that end within the length.
    for (Piece const& piece : entry.pieces) {
        ByteReader bytes(piece.bytes);
        for (size_t at = piece.offset; !bytes.empty(); ++at) {
            const uint8_t byte = bytes.u8();
            if (held[at]) continue;
            held[at] = true;
            message[HANDSHAKE_HEADER_LENGTH + at] = byte;
        }
    }
}

}  // namespace dtls
