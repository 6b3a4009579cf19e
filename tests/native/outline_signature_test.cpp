#include <gtest/gtest.h>

#include <string>

#include "outline/signature.h"

namespace brightloom {
namespace {

struct SignatureCase {
    std::string_view label;
    std::string_view declaration;
    std::string_view signature;
};

TEST(Signature, TakesTheTrimmedFirstLine) {
    const SignatureCase cases[] = {
        {"empty", "", ""},
        {"one line", "fn f() {}", "fn f() {}"},
        {"first of several", "class A:\n    pass\n", "class A:"},
        {"one carriage return dropped", "fn f() {\r\n}", "fn f() {"},
        {"lone carriage return is not a line end", "a\rb\nc", "a\rb"},
        {"empty first line", "\nrest", ""},
        {"ascii white space both ends", " \t\x0b\x0c\r x y \t\r", "x y"},
        {"no-break space and ideographic space", "\xc2\xa0\xe3\x80\x80x\xe3\x80\x80\xc2\xa0", "x"},
        {"next line, ogham, en quad, hair space", "\xc2\x85\xe1\x9a\x80x\xe2\x80\x80\xe2\x80\x8a",
         "x"},
        {"line and paragraph separators", "\xe2\x80\xa8x\xe2\x80\xa9", "x"},
        {"narrow no-break and math space", "\xe2\x80\xafx\xe2\x81\x9f", "x"},
        // Zero-width space, the byte-order mark and the Mongolian vowel
        // separator are not White_Space.
        {"zero width space kept", "\xe2\x80\x8bx\xe2\x80\x8b", "\xe2\x80\x8bx\xe2\x80\x8b"},
        {"byte-order mark kept", "\xef\xbb\xbfx", "\xef\xbb\xbfx"},
        {"mongolian vowel separator kept", "x\xe1\xa0\x8e", "x\xe1\xa0\x8e"},
        {"all white space", " \xe3\x80\x80\t", ""},
        {"not utf-8", "fn f() {}\n\xff", ""},
        {"truncated sequence", "x\xe3\x80", ""},
    };
    for (const SignatureCase& row : cases) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(signature_of(row.declaration), row.signature);
    }
}

TEST(Signature, TrimsBeforeCutting) {
    // Leading white space does not count towards the 120 characters.
    const std::string body(130, 'z');
    EXPECT_EQ(signature_of("\xe3\x80\x80\xe3\x80\x80" + body), body.substr(0, 120));
}

}  // namespace
}  // namespace brightloom
