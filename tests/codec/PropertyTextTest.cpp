#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqtt/codec/PropertyText.h"
#include "platform/Error.h"

namespace {

using K = TPacketKind;

std::string ParseFailure(const std::string& text, K kind)
{
    try {
        ParsePropertyText(text, kind);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

// What a properties field holds, as the list it sends or the reason it is refused.
TEST(PropertyText, FieldTextsToListsOrReasons)
{
    const struct {
        const char* Text;
        K Kind;
        TPropertyList List;
        const char* Reason;
    } cases[] = {
        {"", K::Connect, {}, ""},
        {" ;\n ; ", K::Connect, {}, ""},
        {"session-expiry-interval = 3600; user-property = a=b", K::Connect,
         {NumberProperty(0x11, 3600), PairProperty(0x26, "a", "b")}, ""},
        {"Receive Maximum=10\nreceive-maximum-x = 1", K::Connect, {}, "unknown property 'receive-maximum-x'"},
        {"0x21 = 0x0A\r\n\r\nuser-property = a = b ", K::Connect,
         {NumberProperty(0x21, 10), PairProperty(0x26, "a ", " b")}, ""},
        {"user-property = k=1; user-property = k=2", K::Publish, {PairProperty(0x26, "k", "1"), PairProperty(0x26, "k", "2")},
         ""},
        {"content-type = \"text/plain; charset=utf-8\"", K::Publish, {TextProperty(0x03, "text/plain; charset=utf-8")},
         ""},
        {"content-type = \" say \"\"hi\"\" \" ; response-topic = r", K::Will,
         {TextProperty(0x03, " say \"hi\" "), TextProperty(0x08, "r")}, ""},
        {"correlation-data = hex:00ff; authentication-method = x", K::Publish, {},
         "Authentication Method is not allowed in PUBLISH"},
        {"correlation-data = hex:00ff", K::Publish, {BinaryProperty(0x09, std::string("\x00\xff", 2))}, ""},
        {"reason-string = bye", K::Disconnect, {TextProperty(0x1F, "bye")}, ""},
        {"topic-alias = 0", K::Publish, {}, "Topic Alias: 0 is out of range (1 to 65535)"},
        {"message-expiry-interval = 1; message-expiry-interval = 2", K::Publish, {},
         "Message Expiry Interval may appear only once in PUBLISH"},
        {"will-delay-interval = 5", K::Connect, {}, "Will Delay Interval is not allowed in CONNECT"},
        {"subscription-identifier = 5", K::Publish, {}, "Subscription Identifier is sent only by the broker in PUBLISH"},
        {"session-expiry-interval", K::Connect, {}, "'session-expiry-interval' is not name = value"},
        {"a = 1; oops; b = 2", K::Connect, {}, "'oops' is not name = value"},
        {"= 5", K::Connect, {}, "'= 5' has no property name"},
        {"content-type = \"abc; x = 1", K::Publish, {}, "'content-type = \"abc; x = 1' has no closing quote"},
        {"content-type = \"abc\nx = 1\"", K::Publish, {}, "'content-type = \"abc' has no closing quote"},
        {"content-type = \"a\" b; x = 1", K::Publish, {}, "'content-type = \"a\" b' has text after the closing quote"},
        {"content-type = a\"b", K::Publish, {TextProperty(0x03, "a\"b")}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseFailure(c.Text, c.Kind), c.Reason) << c.Text;
        if (*c.Reason == '\0') {
            EXPECT_EQ(ParsePropertyText(c.Text, c.Kind), c.List) << c.Text;
        }
    }
}

// A text or binary value longer than its 16-bit count is refused by the property's name, not by the encoder's words.
TEST(PropertyText, OverlongValuesAreRefusedByName)
{
    const std::string longest(65535, 'x');
    EXPECT_EQ(ParseFailure("content-type = " + longest, K::Publish), "");
    EXPECT_EQ(ParseFailure("content-type = " + longest + "x", K::Publish), "Content Type: longer than 65535 bytes");
    EXPECT_EQ(ParseFailure("user-property = k=" + longest + "x", K::Publish), "User Property: longer than 65535 bytes");
    EXPECT_EQ(ParseFailure("correlation-data = " + longest + "x", K::Publish),
              "Correlation Data: longer than 65535 bytes");
}

// The one-line form that scripts record and the window writes back from its rows.
TEST(PropertyText, EntriesJoinToOneLineAndSplitBack)
{
    const std::vector<std::vector<TPropertyEntry>> cases = {
        {},
        {{"session-expiry-interval", "3600"}},
        {{"content-type", "a; b"}, {"user-property", "k=v"}},
        {{"reason-string", " padded "}, {"content-type", "\"quoted\""}, {"response-topic", ""}},
        {{"content-type", "in\"side"}},
    };
    for (const auto& entries : cases) {
        const std::string line = JoinPropertyText(entries);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(SplitPropertyText(line), entries) << line;
    }
    EXPECT_EQ(JoinPropertyText({{"content-type", "a; b"}, {"user-property", "k=v"}}),
              "content-type = \"a; b\"; user-property = k=v");

    const TPropertyList list = {NumberProperty(0x02, 60), PairProperty(0x26, "a", "b; c"), BinaryProperty(0x09, "\x01")};
    EXPECT_EQ(FormatPropertyText(list), "message-expiry-interval = 60; user-property = \"a=b; c\"; correlation-data = hex:01");
    EXPECT_EQ(ParsePropertyText(FormatPropertyText(list), K::Publish), list);
}

}  // namespace
