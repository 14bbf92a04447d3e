#include "diag/EventLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
    std::string Datagram;
    bool Parsed;
    std::vector<std::string> Fields;   // the seven, when parsed
};

TEST(EventLineParse, SplitsAtTheFirstSixColonsOnly)
{
    const std::vector<ParseCase> cases = {
        {"2024/05/01 09.15.42:48213:devhost:MQTT_Unit:0:0:sending CONNECT [dev1]", true,
         {"2024/05/01 09.15.42", "48213", "devhost", "MQTT_Unit", "0", "0", "sending CONNECT [dev1]"}},
        {"2024/05/01 09.15.42:1:h:Tarnwick:0:0:FormCreate: program start.. ", true,
         {"2024/05/01 09.15.42", "1", "h", "Tarnwick", "0", "0", "FormCreate: program start.. "}},
        {"t:1:h:s:0:0:", true, {"t", "1", "h", "s", "0", "0", ""}},
        {"t:1:h:s:0:0::::", true, {"t", "1", "h", "s", "0", "0", ":::"}},
        {"::::::", true, {"", "", "", "", "", "", ""}},
        {"t:1:h:s:0:0", false, {}},
        {"no colons at all", false, {}},
        {"", false, {}},
    };
    for (const ParseCase& c : cases) {
        TEventLine line;
        line.Message = "untouched";
        ASSERT_EQ(ParseEventLine(c.Datagram, line), c.Parsed) << c.Datagram;
        if (!c.Parsed) {
            EXPECT_EQ(line.Message, "untouched");
            continue;
        }
        const std::vector<std::string> fields = {line.TimeStamp, line.RandomNumber, line.HostName, line.Source,
                                                 line.Number1,   line.Number2,      line.Message};
        EXPECT_EQ(fields, c.Fields) << c.Datagram;
    }
}

TEST(EventLineFormat, ReadableLineWithOrWithoutAllFields)
{
    const std::string datagram = "2024/05/01 09.15.42:48213:devhost:MQTT_Unit:0:0:FormCreate: program start.. ";
    TEventLineFormat brief;
    EXPECT_EQ(FormatEventLine(datagram, brief), "2024/05/01 09.15.42 MQTT_Unit: FormCreate: program start.. ");
    TEventLineFormat all;
    all.AllFields = true;
    EXPECT_EQ(FormatEventLine(datagram, all),
              "2024/05/01 09.15.42 48213 devhost MQTT_Unit 0 0: FormCreate: program start.. ");
    EXPECT_EQ(FormatEventLine("just text", brief), "[malformed] just text");
}

TEST(EventLineFormat, FailureLinesStandOutOnlyWithColour)
{
    struct Case {
        std::string Message;
        const char* Colour;   // nullptr: plain
    };
    const std::vector<Case> cases = {
        {"*ERROR* CONNECT frame building failed, parameter error [c1]", "\x1b[1;31m"},
        {"*EXCEPTIN* cound not receive PUBREL [c1]", "\x1b[1;35m"},
        {"received CONNACK [c1]", nullptr},
        {"*error* is not the marker", nullptr},
    };
    TEventLineFormat colour;
    colour.Colour = true;
    TEventLineFormat plain;
    for (const Case& c : cases) {
        const std::string datagram = "2024/05/01 09.15.42:1:h:MQTT_Unit:0:0:" + c.Message;
        const std::string expectedText = "2024/05/01 09.15.42 MQTT_Unit: " + c.Message;
        EXPECT_EQ(FormatEventLine(datagram, plain), expectedText);
        if (c.Colour)
            EXPECT_EQ(FormatEventLine(datagram, colour), c.Colour + expectedText + "\x1b[0m");
        else
            EXPECT_EQ(FormatEventLine(datagram, colour), expectedText);
    }
    EXPECT_EQ(ClassifyEventMessage("x *EXCEPTIN* and *ERROR*"), TEventSeverity::Exception);
}

TEST(EventLineFormat, ControlCharactersCannotBreakTheLineOrDriveTheTerminal)
{
    struct Case {
        std::string Text;
        bool UTF8;
        std::string Expected;
    };
    const std::vector<Case> cases = {
        {"two\nlines\r", true, "two\\x0Alines\\x0D"},
        {"\x1b[2Jclear", true, "\\x1B[2Jclear"},
        {"tab\tkept, del\x7f", true, "tab\tkept, del\\x7F"},
        {"csi \xC2\x9B" "31m", true, "csi \\u009B31m"},
        {"nbsp \xC2\xA0 and \xE3\x81\x82 kept", true, "nbsp \xC2\xA0 and \xE3\x81\x82 kept"},
        {"\xC2\x9B", false, "\xC2\x9B"},   // not UTF-8: bytes of a double-byte character
        {std::string("nul\0byte", 8), true, "nul\\x00byte"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EscapeControls(c.Text, c.UTF8), c.Expected);
    TEventLineFormat format;
    EXPECT_EQ(FormatEventLine("t:1:h:s:0:0:a\nb", format), "t s: a\\x0Ab");
}

} // namespace
