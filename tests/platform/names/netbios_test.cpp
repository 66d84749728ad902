// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "names/NetBiosNames.h"

namespace talvik::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The encoded wildcard name "*": its length, '*' as "CK", fifteen zero bytes as "AA", the
// root label.
Bytes WildcardName() {
    Bytes name(34, 'A');
    name[0] = 0x20;
    name[1] = 'C';
    name[2] = 'K';
    name[33] = 0x00;
    return name;
}

// One name table entry: 15 bytes of name padded with spaces, the suffix, the flags.
void AddEntry(Bytes& out, const std::string& name, std::uint8_t suffix, std::uint16_t flags) {
    std::string padded = name;
    padded.resize(15, ' ');
    out.insert(out.end(), padded.begin(), padded.end());
    out.push_back(suffix);
    out.push_back(static_cast<std::uint8_t>(flags >> 8));
    out.push_back(static_cast<std::uint8_t>(flags));
}

// A node status response as RFC 1002 4.2.18 lays it out.
Bytes Reply(std::uint16_t id,
            const std::vector<std::tuple<std::string, std::uint8_t, std::uint16_t>>& entries,
            std::uint16_t flags = 0x8400) {
    Bytes data{static_cast<std::uint8_t>(entries.size())};
    for (const auto& [name, suffix, entryFlags] : entries) {
        AddEntry(data, name, suffix, entryFlags);
    }
    const Bytes unit{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    data.insert(data.end(), unit.begin(), unit.end());
    data.insert(data.end(), 40, 0x00);  // the rest of the statistics

    Bytes out{static_cast<std::uint8_t>(id >> 8),
              static_cast<std::uint8_t>(id),
              static_cast<std::uint8_t>(flags >> 8),
              static_cast<std::uint8_t>(flags),
              0,
              0,
              0,
              1,
              0,
              0,
              0,
              0};
    const Bytes name = WildcardName();
    out.insert(out.end(), name.begin(), name.end());
    const Bytes rest{0x00,
                     0x21,
                     0x00,
                     0x01,
                     0,
                     0,
                     0,
                     0,
                     static_cast<std::uint8_t>(data.size() >> 8),
                     static_cast<std::uint8_t>(data.size())};
    out.insert(out.end(), rest.begin(), rest.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

constexpr std::uint16_t kUnique = 0x0400;  // active, unique, B node
constexpr std::uint16_t kGroup = 0x8400;

TEST(NetBios, RequestBytes) {
    Bytes expected{0x12, 0x34, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const Bytes name = WildcardName();
    expected.insert(expected.end(), name.begin(), name.end());
    expected.insert(expected.end(), {0x00, 0x21, 0x00, 0x01});
    const auto request = BuildNodeStatusRequest(0x1234);
    EXPECT_EQ(Bytes(request.begin(), request.end()), expected);
}

TEST(NetBios, ReadsTheNameTable) {
    const Bytes reply = Reply(
        0x1234,
        {{"WORKGROUP", 0x00, kGroup}, {"TALVIK-PC", 0x20, kUnique}, {"TALVIK-PC", 0x00, kUnique}});
    const auto status = ParseNodeStatusReply(reply, 0x1234);
    ASSERT_TRUE(status);
    ASSERT_EQ(status->names.size(), 3u);
    EXPECT_EQ(status->names[0].name, "WORKGROUP");
    EXPECT_TRUE(status->names[0].group);
    EXPECT_EQ(status->names[1].suffix, 0x20);
    EXPECT_FALSE(status->names[1].group);
    EXPECT_EQ(status->unitId, (MacAddress{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
    EXPECT_EQ(HostNameOf(*status), "TALVIK-PC");

    // Not ours or not an answer.
    EXPECT_FALSE(ParseNodeStatusReply(reply, 0x1235));
    EXPECT_FALSE(ParseNodeStatusReply(Reply(0x1234, {{"X", 0, kUnique}}, 0x0000), 0x1234));
    EXPECT_FALSE(ParseNodeStatusReply(Reply(0x1234, {{"X", 0, kUnique}}, 0x8403), 0x1234));
    // The longest table the one-byte count allows, far over one Ethernet frame, is read whole.
    std::vector<std::tuple<std::string, std::uint8_t, std::uint16_t>> many(254,
                                                                           {"LAB", 0x1e, kGroup});
    many.emplace_back("LAST-PC", 0x00, kUnique);
    const Bytes longest = Reply(9, many);
    EXPECT_GT(longest.size(), 4600u);
    const auto all = ParseNodeStatusReply(longest, 9);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->names.size(), 255u);
    EXPECT_EQ(HostNameOf(*all), "LAST-PC");
    // Cut anywhere before the statistics, it is nothing, and never read past its end.
    for (std::size_t size = 0; size < reply.size() - 46; ++size) {
        EXPECT_FALSE(ParseNodeStatusReply(std::span(reply.data(), size), 0x1234)) << size;
    }
}

TEST(NetBios, ChoosesTheHostsOwnName) {
    const struct {
        std::vector<std::tuple<std::string, std::uint8_t, std::uint16_t>> entries;
        std::optional<std::string> name;
    } cases[] = {
        {{{"WORKGROUP", 0x00, kGroup}, {"NAS", 0x20, kUnique}}, "NAS"},
        {{{"OLD", 0x00, 0x0000}, {"NEW", 0x00, kUnique}}, "NEW"},
        {{{"WORKGROUP", 0x00, kGroup}}, std::nullopt},
        {{{"\xb2\xe2\xca\xd4\xbb\xfa", 0x00, kUnique}}, "测试机"},  // GB18030
        {{{"\xff\xff", 0x00, kUnique}}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto status = ParseNodeStatusReply(Reply(7, c.entries), 7);
        ASSERT_TRUE(status);
        EXPECT_EQ(HostNameOf(*status), c.name);
    }
}

}  // namespace
}  // namespace talvik::test
