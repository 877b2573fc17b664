#include "model/ascii_text.hpp"

#include <string>

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(AsciiText, LowerCaseTouchesOnlyAsciiLetters) {
    // Bytes above 0x7F pass through untouched.
    EXPECT_EQ(to_lower_ascii("Reader/BRIDGE.py \xc3\x89\xff"), "reader/bridge.py \xc3\x89\xff");
    EXPECT_EQ(to_lower_ascii("@AZ[`az{"), "@az[`az{");
}

TEST(AsciiText, SafeIdentifier) {
    EXPECT_TRUE(is_safe_identifier(std::string(128, 'a')));
    EXPECT_TRUE(is_safe_identifier("A-z_0.9"));
    for (const std::string& bad : {std::string(), std::string(129, 'a'), std::string("a b"), std::string("a/b"),
                                   std::string("é"), std::string("a\0b", 3)}) {
        EXPECT_FALSE(is_safe_identifier(bad)) << bad;
    }
}

}  // namespace
}  // namespace vesk
