// The store file's text, written and read back: a seeded random walk over keys and values with the
// characters and sizes that the format has to escape, encode or break over several lines.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/src/registry/reg_parser.h"
#include "platform/src/registry/reg_text.h"
#include "platform/src/registry/reg_writer.h"

namespace {

using platform::registry::internal::FindKey;
using platform::registry::internal::FormatRegFile;
using platform::registry::internal::ParseRegFile;
using platform::registry::internal::RegKey;
using platform::registry::internal::RegValue;
using platform::registry::internal::SameName;
using platform::registry::internal::StringData;

// A name never holds a line break (the services refuse one); a string may.
std::string RandomText(std::mt19937& rng, size_t max_pieces, bool line_breaks = false) {
    static const char* const kPieces[] = {"a",
                                          "Z",
                                          "0",
                                          " ",
                                          "\t",
                                          "\\",
                                          "\"",
                                          "=",
                                          "@",
                                          "[",
                                          "]",
                                          ";",
                                          ",",
                                          "-",
                                          "\r",
                                          "\xC3\xA9",
                                          "\xF0\x9F\x98\x80",
                                          "\n",
                                          "\r\n"};
    std::string text;
    const size_t count = rng() % (max_pieces + 1);
    const size_t choices = std::size(kPieces) - (line_breaks ? 0 : 2);
    for (size_t i = 0; i < count; ++i)
        text += kPieces[rng() % choices];
    return text;
}

RegValue RandomValue(std::mt19937& rng) {
    std::vector<uint8_t> bytes(rng() % 300);
    for (uint8_t& byte : bytes)
        byte = (uint8_t)rng();
    switch (rng() % 4) {
        case 0:
            return {REG_SZ, StringData(RandomText(rng, 12, true))};
        case 1:
            bytes.resize(4);
            return {REG_DWORD, bytes};
        case 2:
            return {REG_BINARY, bytes};
        default:  // any type, data that need not fit it
            bytes.resize(rng() % 12);
            return {(ULONG)(rng() % 12), bytes};
    }
}

std::vector<RegKey> RandomKeys(std::mt19937& rng) {
    static const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "hkey_current_user", "HKEY_USERS"};
    std::vector<RegKey> keys;
    for (int k = rng() % 6; k > 0; --k) {
        RegKey key{kRoots[rng() % std::size(kRoots)], {}, rng() % 5 == 0};
        for (int part = 1 + rng() % 3; part > 0; --part) {
            std::string name = RandomText(rng, 6) + "k";  // never empty
            std::erase(name, '\\');                       // the separator of the parts
            key.path += "\\" + name;
        }
        if (FindKey(keys, key.path) != nullptr)
            continue;
        for (int v = rng() % 5; v > 0; --v) {
            const std::string name = RandomText(rng, 8);
            bool taken = false;
            for (const auto& [existing, value] : key.values)
                taken = taken || SameName(existing, name);
            if (!taken)
                key.values.emplace_back(name, RandomValue(rng));
        }
        keys.push_back(key);
    }
    return keys;
}

TEST(RegFileTest, WhatIsWrittenReadsBackTheSameApartFromVolatileKeys) {
    std::mt19937 rng(20240611);
    for (int store = 0; store < 400; ++store) {
        std::vector<RegKey> keys = RandomKeys(rng);
        const std::string text = FormatRegFile(keys);
        SCOPED_TRACE(text);
        std::vector<RegKey> read;
        std::string error;
        ASSERT_TRUE(ParseRegFile(text, "store.reg", &read, &error)) << error;
        size_t written = 0;
        for (RegKey& key : keys) {
            const RegKey* found = FindKey(read, key.path);
            if (key.is_volatile) {
                EXPECT_EQ(found, nullptr) << key.path;
                continue;
            }
            ++written;
            ASSERT_NE(found, nullptr) << key.path;
            EXPECT_EQ(found->values, key.values) << key.path;
        }
        EXPECT_EQ(read.size(), written);
        EXPECT_EQ(FormatRegFile(read), text);
    }
}

}  // namespace
