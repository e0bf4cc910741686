// Community ID against its authors' baseline vectors (seed 0 and seed 1), for the protocols
// a handshake travels on.
#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "record/community_id.h"
#include "support/files.h"

namespace {

std::vector<uint8_t> address(std::string const& text) {
    bool const v6 = text.find(':') != std::string::npos;
    std::vector<uint8_t> bytes(v6 ? 16 : 4);
    EXPECT_EQ(inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), bytes.data()), 1) << text;
    return bytes;
}

TEST(CommunityId, BaselineVectors) {
    SKIP_WITHOUT_SHARED_DIR();
    size_t checked = 0;
    for (auto const& [file, seed] : {std::pair{"baseline_deflt.json", 0}, std::pair{"baseline_seed1.json", 1}}) {
        std::ifstream in(varno_test::sharedPath(std::string("reference/community-id/") + file));
        auto const vectors = nlohmann::json::parse(in);
        for (auto const& v : vectors) {
            int const protocol = v["proto"];
            if (protocol != 6 && protocol != 17 && protocol != 132) continue;  // ICMP maps types to ports
            auto const source = address(v["saddr"]), destination = address(v["daddr"]);
            EXPECT_EQ(communityId(source, destination, v["sport"], v["dport"], uint8_t(protocol), uint16_t(seed)),
                      v["communityid"].get<std::string>())
                << v.dump();
            ++checked;
        }
    }
    EXPECT_GE(checked, 12u);
}

}  // namespace
