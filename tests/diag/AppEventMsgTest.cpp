#include "diag/AppEventMsg.h"

#include "Fakes.h"
#include "platform/HostName.h"
#include "platform/Random.h"
#include "support/UdpCapture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int WaitMs = 5000;

std::string Repeat(const std::string& piece, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += piece;
    return text;
}

std::string ThisHost()
{
    std::string name;
    EXPECT_EQ(LookupHostName(name), 0);
    return name;
}

// A sender opened towards a capture of the test's own.
struct OpenSender {
    UdpCapture Capture;
    TAppEventMsg Sender{Capture.Port(), "127.0.0.1"};
    OpenSender()
    {
        Sender.StartupWinsock();
        Sender.OpenSocket();
    }
    ~OpenSender()
    {
        Sender.CloseSocket();
        Sender.CleanupWinsock();
    }
};

// ---- the message field: the cut counts bytes ----

struct CutCase {
    const char* Name;
    std::string Message;
    std::size_t ExpectedSize;
    bool Cut;
};

class MessageCut : public testing::TestWithParam<CutCase> {};

TEST_P(MessageCut, KeepsBelow200BytesAndCutsFrom200)
{
    const CutCase& c = GetParam();
    const std::string field = CutEventMessage(c.Message);
    EXPECT_EQ(field.size(), c.ExpectedSize);
    if (c.Cut) {
        EXPECT_EQ(field.substr(0, 197), c.Message.substr(0, 197));
        EXPECT_EQ(field.substr(197), "...");
    } else {
        EXPECT_EQ(field, c.Message);
    }
}

// "あ" is 3 bytes in UTF-8: 66 of them and one ASCII byte make 199 bytes, only 67 characters.
INSTANTIATE_TEST_SUITE_P(Sizes, MessageCut,
    testing::Values(CutCase{"Empty", "", 0, false},
                    CutCase{"Ascii199", std::string(199, 'x'), 199, false},
                    CutCase{"Ascii200", std::string(200, 'x'), 200, true},
                    CutCase{"Ascii201", std::string(201, 'x'), 200, true},
                    CutCase{"Ascii5000", std::string(5000, 'x'), 200, true},
                    CutCase{"Multibyte199Bytes", Repeat("\xE3\x81\x82", 66) + "a", 199, false},
                    CutCase{"Multibyte201Bytes", Repeat("\xE3\x81\x82", 67), 200, true},
                    CutCase{"AlreadyEndsInDots199", std::string(196, 'y') + "...", 199, false}),
    [](const testing::TestParamInfo<CutCase>& info) { return std::string(info.param.Name); });

// ---- the datagram text ----

TEST(EventText, JoinsSevenFieldsInTheirForms)
{
    const TLocalDateTime when{2024, 5, 1, 9, 15, 42, 999};
    EXPECT_EQ(BuildEventText(when, 48213, "devhost", "MQTT_Unit", 0, 0, "sending CONNECT [dev1]"),
              "2024/05/01 09.15.42:48213:devhost:MQTT_Unit:0:0:sending CONNECT [dev1]");
    EXPECT_EQ(BuildEventText(when, 0, "h", "s", -7, 2147483647, "m"),
              "2024/05/01 09.15.42:0:h:s:-7:2147483647:m");
}

TEST(EventText, EmptyMessageEndsInTheSixthColonAndColonsAreKept)
{
    const TLocalDateTime when{2023, 12, 31, 23, 59, 59, 0};
    const std::string empty = BuildEventText(when, 1, "h", "Tarnwick", 0, 0, "");
    EXPECT_EQ(std::count(empty.begin(), empty.end(), ':'), 6);
    EXPECT_EQ(empty.back(), ':');
    const std::string colons = BuildEventText(when, 1, "h", "Tarnwick", 0, 0, "FormCreate: program start.. ");
    EXPECT_EQ(UdpCapture::Field(colons, 7), "FormCreate: program start.. ");
}

TEST(EventText, NeverExceeds2000Bytes)
{
    const TLocalDateTime when{2024, 1, 1, 0, 0, 0, 0};
    const std::string text = BuildEventText(when, 1, "h", std::string(3000, 's'), 0, 0, "m");
    EXPECT_EQ(text.size(), EventTextMaxLength);
    EXPECT_EQ(text.substr(0, 22), "2024/01/01 00.00.00:1:");
}

// ---- over the wire ----

TEST(AppEventMsg, SendsOneDatagramWithSevenFields)
{
    OpenSender s;
    const std::string before = FormatEventTime(NowLocal());
    {
        FixedRandom largest(-1);
        s.Sender.SendEventMsg("FormCreate: program start.. ", "Tarnwick", -3, 12);
    }
    ASSERT_TRUE(s.Capture.WaitForCount(1, WaitMs));
    const std::string after = FormatEventTime(NowLocal());

    const std::string datagram = s.Capture.Datagrams().at(0);
    const std::string stamp = UdpCapture::Field(datagram, 1);
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}\.\d{2}\.\d{2})"))) << stamp;
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(UdpCapture::Field(datagram, 2), "99998");   // 99999 values, not 100000
    EXPECT_EQ(UdpCapture::Field(datagram, 3), ThisHost());
    EXPECT_EQ(UdpCapture::Field(datagram, 4), "Tarnwick");
    EXPECT_EQ(UdpCapture::Field(datagram, 5), "-3");
    EXPECT_EQ(UdpCapture::Field(datagram, 6), "12");
    EXPECT_EQ(UdpCapture::Field(datagram, 7), "FormCreate: program start.. ");
}

TEST(AppEventMsg, SendsMessageBytesAsTheyAreAndCutOnTheWire)
{
    OpenSender s;
    const std::string shiftJis = "\x83\x65\x83\x58\x83\x67:\x82\xA0";   // not UTF-8; sent unchanged
    const std::string longText = Repeat("\xE3\x81\x82", 100);           // 300 bytes
    s.Sender.SendEventMsg(shiftJis, "MQTT_Unit", 0, 0);
    s.Sender.SendEventMsg(longText, "MQTT_Unit", 0, 0);
    s.Sender.SendEventMsg("", "MQTT_Unit", 0, 0);
    ASSERT_TRUE(s.Capture.WaitForCount(3, WaitMs));
    const std::vector<std::string> messages = s.Capture.Messages();
    EXPECT_EQ(messages[0], shiftJis);
    EXPECT_EQ(messages[1], longText.substr(0, 197) + "...");
    EXPECT_EQ(messages[2], "");
    EXPECT_EQ(s.Capture.Datagrams()[2].back(), ':');
}

// Once per second of the time stamps, not per datagram: a renamed host shows
// from the next second on.
TEST(AppEventMsg, HostNameIsLookedUpOncePerSecondOfTheTimeStamps)
{
    OpenSender s;
    const TLocalDateTime at{2024, 5, 1, 9, 15, 42, 7};
    TLocalDateTime next = at;
    next.Second = 43;
    {
        FakeHostName fake("first-host");
        s.Sender.SendEventMsgAt(at, "a", "s", 0, 0);
    }
    {
        FakeHostName fake("second-host");
        s.Sender.SendEventMsgAt(at, "b", "s", 0, 0);
        s.Sender.SendEventMsgAt(next, "c", "s", 0, 0);
    }
    ASSERT_TRUE(s.Capture.WaitForCount(3, WaitMs));
    std::vector<std::string> hosts;
    for (const std::string& d : s.Capture.Datagrams())
        hosts.push_back(UdpCapture::Field(d, 3));
    EXPECT_EQ(hosts, (std::vector<std::string>{"first-host", "first-host", "second-host"}));
}

TEST(AppEventMsg, FailedHostNameRaisesAndSendsNothing)
{
    OpenSender s;
    {
        FakeHostName fake(std::string(125, 'h'));
        try {
            s.Sender.SendEventMsg("lost", "s", 0, 0);
            FAIL() << "no exception";
        } catch (const EAppEventMsg& e) {
            EXPECT_EQ(e.Message(), "GetHostName failed. stat = " + std::to_string(ENAMETOOLONG));
        }
    }
    s.Sender.SendEventMsg("after", "s", 0, 0);
    ASSERT_TRUE(s.Capture.WaitForMessage("after", WaitMs));
    // Datagrams on loopback arrive in order: had "lost" been sent, it would be first.
    EXPECT_EQ(s.Capture.Messages(), std::vector<std::string>{"after"});
}

TEST(AppEventMsg, FailuresCarryTheErrorNumber)
{
    TAppEventMsg notOpen(9, "127.0.0.1");
    try {
        notOpen.SendEventMsg("m", "s", 0, 0);
        FAIL() << "no exception";
    } catch (const EAppEventMsg& e) {
        EXPECT_EQ(e.Message(), "SendTo failed. stat = " + std::to_string(EBADF));
    }
    notOpen.OpenSocket();
    notOpen.CloseSocket();
    try {
        notOpen.CloseSocket();
        FAIL() << "no exception";
    } catch (const EAppEventMsg& e) {
        EXPECT_EQ(e.Message(), "CloseSocket call failed. stat = " + std::to_string(EBADF));
    }
    std::string name;
    FakeHostName fake("x", EFAULT);
    try {
        notOpen.GetLocalHostName(name);
        FAIL() << "no exception";
    } catch (const EAppEventMsg& e) {
        EXPECT_EQ(e.Message(), "GetHostName failed. stat = " + std::to_string(EFAULT));
    }
}

TEST(AppEventMsg, DestinationIsPreparedLikeInetAddr)
{
    TAppEventMsg loopback(2056, "127.0.0.1");
    loopback.OpenSocket();
    EXPECT_EQ(loopback.DestinationAddress(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(loopback.DestinationPort(), htons(2056));
    loopback.CloseSocket();
    // Not rejected: a text that is no dotted address means the limited broadcast address.
    TAppEventMsg named(2056, "localhost");
    named.OpenSocket();
    EXPECT_EQ(named.DestinationAddress(), htonl(INADDR_BROADCAST));
    named.CloseSocket();
}

std::size_t OpenDescriptors()
{
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

TEST(AppEventMsg, DestructorClosesASocketLeftOpen)
{
    const std::size_t before = OpenDescriptors();
    {
        TAppEventMsg sender(2056, "127.0.0.1");
        sender.OpenSocket();
        EXPECT_EQ(OpenDescriptors(), before + 1);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

// ---- the process-wide sender ----

TEST(EventFanOut, ObserversAndTheDatagramsSeeEveryLineOnceInOneOrder)
{
    OpenSender s;
    TEventFanOut fanOut;
    std::mutex lock;
    std::vector<TEventRecord> seen;
    const int handle = fanOut.AddObserver([&](const TEventRecord& r) {
        std::lock_guard guard(lock);
        seen.push_back(r);
    });
    fanOut.AddObserver([](const TEventRecord&) { throw std::runtime_error("a view that fails"); });
    EXPECT_NO_THROW(fanOut.SendEventMsg("before the sender", "s", 0, 0));
    fanOut.SetSender(&s.Sender);
    fanOut.SendEventMsg("installed", "MQTT_Unit", 4, 5);
    fanOut.SetSender(nullptr);
    fanOut.SendEventMsg("removed", "s", 0, 0);
    fanOut.RemoveObserver(handle);
    fanOut.SendEventMsg("unobserved", "s", 0, 0);

    ASSERT_TRUE(s.Capture.WaitForMessage("installed", WaitMs));
    EXPECT_EQ(s.Capture.Messages(), std::vector<std::string>{"installed"});
    EXPECT_EQ(UdpCapture::Field(s.Capture.Datagrams()[0], 5), "4");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].Message, "installed");
    EXPECT_EQ(seen[1].Source, "MQTT_Unit");
    EXPECT_EQ(seen[1].N2, 5);
    EXPECT_EQ(FormatEventTime(seen[1].Time), UdpCapture::Field(s.Capture.Datagrams()[0], 1));
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i].Sequence, i + 1);
}

// Half the threads hand their lines over in batches of five: still one
// datagram per line, and a batch stays together, in order, for every sink; a
// batch observer is called once per batch.
TEST(EventFanOut, ThreadsSendingAtOnceNeverMixMessagesAndKeepOneOrder)
{
    OpenSender s;
    TEventFanOut fanOut;
    fanOut.SetSender(&s.Sender);
    std::vector<std::string> observed, batched;   // under the fan-out's own lock
    int batchCalls = 0;
    fanOut.AddObserver([&](const TEventRecord& r) { observed.push_back(r.Message); });
    fanOut.AddBatchObserver([&](const TEventRecord* records, std::size_t count) {
        ++batchCalls;
        for (std::size_t i = 0; i < count; ++i)
            batched.push_back(records[i].Message);
    });
    constexpr int threads = 4, perThread = 250, perBatch = 5;
    auto text = [](int t, int i) {
        return "thread " + std::to_string(t) + " line " + std::to_string(i) + ": " + std::string(150, static_cast<char>('a' + t));
    };
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([t, &fanOut, &text] {
            for (int i = 0; i < perThread; i += t % 2 ? perBatch : 1) {
                if (t % 2 == 0) {
                    fanOut.SendEventMsg(text(t, i), "MQTT_Unit", 0, 0);
                    continue;
                }
                std::vector<TEventMessage> batch;
                for (int j = i; j < i + perBatch; ++j)
                    batch.push_back({text(t, j), "MQTT_Unit", 0, 0});
                fanOut.SendEventMsgs(batch);
            }
        });
    for (std::thread& sender : senders)
        sender.join();
    fanOut.SetSender(nullptr);
    ASSERT_TRUE(s.Capture.WaitForCount(threads * perThread, WaitMs));
    std::vector<std::string> messages = s.Capture.Messages();
    // Loopback keeps the datagrams of one socket in order: every sink saw one sequence.
    EXPECT_EQ(messages, observed);
    EXPECT_EQ(messages, batched);
    EXPECT_EQ(batchCalls, threads / 2 * perThread + threads / 2 * perThread / perBatch);
    for (std::size_t at = 0; at < messages.size(); ++at) {
        const int t = messages[at][7] - '0';
        if (t % 2 == 1 && messages[at].find(" line ") != std::string::npos
            && std::stoi(messages[at].substr(14)) % perBatch == 0) {
            for (int j = 1; j < perBatch; ++j)
                ASSERT_EQ(messages.at(at + j), text(t, std::stoi(messages[at].substr(14)) + j)) << "a batch kept together";
        }
    }
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(std::unique(messages.begin(), messages.end()), messages.end());
    for (const std::string& message : messages) {
        const std::size_t tail = message.find(": ");
        ASSERT_NE(tail, std::string::npos) << message;
        const char fill = static_cast<char>('a' + (message[7] - '0'));
        EXPECT_EQ(message.substr(tail + 2), std::string(150, fill)) << message;
    }
}

} // namespace
