#include <gtest/gtest.h>

#include "scan/Address.h"
#include "scan/ScanTypes.h"

namespace talvik {
namespace {

TEST(DottedDecimal, ReadsFourDecimalParts) {
    EXPECT_EQ(ParseDottedDecimal("192.168.1.1"), 0xC0A80101u);
    EXPECT_EQ(ParseDottedDecimal("203.0.113.254"), 0xCB0071FEu);
    EXPECT_EQ(ParseDottedDecimal("0.0.0.0"), 0u);
    EXPECT_EQ(ParseDottedDecimal("255.255.255.254"), 0xFFFFFFFEu);
}

TEST(DottedDecimal, LeavesEverythingElseToTheLookup) {
    for (const char* text : {"", "localhost", "192.168.1", "192.168.1.1.", "192.168.1.256",
                             "1.2.3.4 ", " 1.2.3.4", "1..2.3", "1.2.3.1000", "a.b.c.d",
                             "192.168.001.010", "0x7f.0.0.1", "-1.2.3.4", "host.203.0.113.1"}) {
        EXPECT_FALSE(ParseDottedDecimal(text)) << text;
    }
    // The all-ones value is the unresolved marker: it goes to the lookup like any name.
    EXPECT_FALSE(ParseDottedDecimal("255.255.255.255"));
}

TEST(DottedDecimal, FormatsAndReadsBack) {
    for (std::uint32_t address : {0u, 0x7F000001u, 0xC0A80A01u, 0xCB0071FFu}) {
        EXPECT_EQ(ParseDottedDecimal(FormatDottedDecimal(address)), address);
    }
    EXPECT_EQ(FormatDottedDecimal(0xC6336407u), "198.51.100.7");
    EXPECT_EQ(FormatDottedDecimal(kUnresolvedAddress), "255.255.255.255");
}

}  // namespace
}  // namespace talvik
