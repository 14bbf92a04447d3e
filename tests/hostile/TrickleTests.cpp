// A broker that never answers but keeps some other frame coming, a little
// faster than the answer's time-out. Each frame restarts the wait, but every
// wait must still end: all restarts together are bounded. Each scenario
// runs the waiting part on its own thread, so that a wait that does not end
// fails the test instead of hanging it.
#include "HostileSupport.h"

#include "diag/AppEventMsg.h"
#include "mqtt/engine/MQTTClient.h"
#include "support/FakeBroker.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace hostile;

namespace {

const std::string ID = "tr";
constexpr int AnswerTimeoutMs = 600;
constexpr int TrickleGapMs = 200;   // well inside the time-out: every wait is ended by a frame

class HostileTrickleTest : public ::testing::Test {
protected:
    UdpCapture Capture;
    TFakeFrontEnd FrontEnd;
    TPayloadDir PayloadDir;
    FakeBroker Broker;
    std::unique_ptr<TForm1> Form;
    std::atomic<bool> Trickle{false};   // set by the broker script when the trickle should begin

    void SetUp() override
    {
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Form->Run(&TForm1::FormCreate);
        ASSERT_TRUE(FrontEnd.Errors.empty());
        Form->ClientIDEdit.Text = ID;
        Form->BrokerPortSpn.SetValue(Broker.Port());
        Form->PayloadDirectory = PayloadDir.Path();
        Form->AnswerTimeouts = TAnswerTimeouts{AnswerTimeoutMs, AnswerTimeoutMs, AnswerTimeoutMs, AnswerTimeoutMs,
                                               AnswerTimeoutMs, AnswerTimeoutMs, AnswerTimeoutMs};
    }

    void TearDown() override { Form.reset(); }

    void Open()
    {
        Form->Run(&TForm1::ConnectBtnClick);
        ASSERT_NE(Form->Client, nullptr);
        ASSERT_TRUE(Form->Client->SocketReady);
        ASSERT_TRUE(Broker.WaitForConnections(1, 10000));
    }

    // Runs work on its own thread while the broker sends a PINGRESP every
    // TrickleGapMs once Trickle is set. True when the work had returned and
    // done() held within timeoutMs. The trickle then stops, so the work ends
    // either way and is joined.
    bool EndsWhileTrickling(const std::function<void()>& work, const std::function<bool()>& done, int timeoutMs)
    {
        std::mutex lock;
        std::condition_variable changed;
        bool finished = false;
        std::thread worker([&] {
            work();
            std::lock_guard<std::mutex> guard(lock);
            finished = true;
            changed.notify_all();
        });
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        bool inTime = false;
        {
            std::unique_lock<std::mutex> guard(lock);
            while (Clock::now() < deadline) {
                if (finished && done()) {
                    inTime = true;
                    break;
                }
                guard.unlock();
                if (Trickle)
                    Broker.Send(Pingresp());
                guard.lock();
                // Pacing of the trickle; the end of the work wakes it at once.
                changed.wait_for(guard, std::chrono::milliseconds(TrickleGapMs), [&] { return finished; });
            }
        }
        Trickle = false;
        worker.join();
        return inTime;
    }

    void Close()
    {
        TWatchdog watchdog("Close after a trickle", 20000);
        Form->Run(&TForm1::DisconnectBtnClick);
        EXPECT_EQ(Form->Client, nullptr);
        EXPECT_TRUE(WaitForSequences(Capture, {{CL("disconnected.")}}, 10000));
    }

    static TExp CL(const std::string& text) { return {Console, text}; }
};

// Three waits of 600 ms and two repeats; unrelated frames extend each wait to
// at most ten time-outs, never endlessly.
TEST_F(HostileTrickleTest, SubscribeGivesUpWhileOtherFramesKeepArriving)
{
    TWatchdog watchdog("SUBSCRIBE under a trickle", 120000);
    Broker.OnFrame([this](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 8) {
            Trickle = true;   // no SUBACK, ever
            return;
        }
        for (const TFrame& answer : WellBehavedAnswer(f))
            b.Send(answer);
    });
    Open();
    if (HasFatalFailure())
        return;

    const bool ended = EndsWhileTrickling([this] { Form->Run(&TForm1::Button2Click); }, [] { return true; }, 40000);
    EXPECT_TRUE(ended) << "SUBSCRIBE was still waiting for its SUBACK after 40 s of PINGRESPs every "
                       << TrickleGapMs << " ms (time-out " << AnswerTimeoutMs << " ms per wait)";
    EXPECT_TRUE(WaitForSequences(Capture,
                                 {{{Unit, Tag("sending SUBSCRIBE", ID)},
                                   {Console, Tag("could not receive SUBACK, retrying..", ID)},
                                   {Unit, Tag("sending SUBSCRIBE", ID)},
                                   {Console, Tag("could not receive SUBACK, retrying..", ID)},
                                   {Unit, Tag("sending SUBSCRIBE", ID)},
                                   {Unit, Tag("*ERROR* could not receive SUBACK", ID)}}},
                                 10000));
    EXPECT_TRUE(FrontEnd.Errors.empty());
    Close();
}

// The event handler's wait for a PUBREL: the broker never sends it, but keeps
// other frames coming. Each PINGRESP goes once the one before has been stored,
// so every wait of one second is restarted by a frame and only the limit on all
// waits together can end the flow; the steps are counted, not timed.
TEST_F(HostileTrickleTest, QoS2FlowGivesUpOnPubrelWhileOtherFramesKeepArriving)
{
    TWatchdog watchdog("PUBREL wait under a trickle", 120000);
    Broker.OnFrame([](const TFrame& f, FakeBroker& b) {
        if (TypeOf(f) == 5)
            return;   // no PUBREL, ever
        for (const TFrame& answer : WellBehavedAnswer(f))
            b.Send(answer);
    });
    Open();
    if (HasFatalFailure())
        return;

    const TExp gaveUp{HandlerSource, Tag("cound not receive PUBREL", ID)};
    const TExp stored{Unit, "TMQTTClientReaderThread: store frame to ReceiveQueue, entries = ", true};
    ASSERT_TRUE(Broker.Send(Publish(2, 7, "a/b", "never released")));
    ASSERT_TRUE(WaitForSequences(Capture, {{{HandlerSource, Tag("sending PUBREC", ID)}}}, 10000));
    const std::size_t storedBefore = CountOf(LinesOf(Capture), stored);

    // Three times the steps the limit allows at this pace: a wait without a limit runs out of them.
    constexpr std::size_t MaxSteps = 3 * 10000 / TrickleGapMs;
    std::size_t steps = 0;
    bool ended = false;
    while (!ended && steps < MaxSteps) {
        ASSERT_TRUE(Broker.Send(Pingresp()));
        ++steps;
        ASSERT_TRUE(WaitForCountOf(Capture, stored, storedBefore + steps, 10000)) << "PINGRESP " << steps << " not stored";
        ended = WaitForCountOf(Capture, gaveUp, 1, TrickleGapMs);   // the pace of the trickle
    }
    EXPECT_TRUE(ended) << "the event handler was still waiting for its PUBREL after " << steps
                       << " PINGRESPs, one every " << TrickleGapMs << " ms";
    // Saved before its PUBREC, the message keeps its file; the line after the give-up names it.
    EXPECT_TRUE(WaitForSequences(Capture, {{gaveUp, {HandlerSource, "PublishDataFile " + PayloadDir.Path() + "/Pub_", true}}},
                                 10000));
    EXPECT_TRUE(PayloadDir.WaitForFiles(1, 10000));
    EXPECT_EQ(PayloadDir.PayloadContents(), std::vector<std::string>{"never released"});
    // The connection stays usable: a PINGREQ gets its PINGRESP.
    Form->AnswerTimeouts.Pingresp = 10000;
    Form->Run(&TForm1::MQTT_PINGREQ_BtnClick);
    EXPECT_TRUE(WaitForSequences(Capture, {{{Console, Tag("received PINGRESP", ID)}}}, 10000));
    EXPECT_TRUE(FrontEnd.Errors.empty());
    Close();
}

}  // namespace
