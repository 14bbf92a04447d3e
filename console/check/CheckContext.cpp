#include "console/check/CheckContext.h"

#include "console/check/RawFrame.h"
#include "platform/Random.h"

#include <thread>

std::string_view VerdictWord(TVerdict verdict)
{
    switch (verdict) {
    case TVerdict::Pass: return "PASS";
    case TVerdict::Fail: return "FAIL";
    case TVerdict::Skip: return "SKIP";
    case TVerdict::Error: return "ERROR";
    }
    return "";
}

std::string RandomWord(int length)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string word;
    for (int i = 0; i < length; ++i) word += letters[Random(36)];
    return word;
}

TCheckContext::TCheckContext(const TCheck& check, TProtocolVersion version, const TCheckSettings& settings,
                             const TBrokerFacts& facts, int number, const std::atomic<bool>& cancel)
    : Check(check), Version(version), Settings(settings), Facts(facts), Number(number), CancelFlag(cancel),
      Start(std::chrono::steady_clock::now())
{
    TSessionOptions options;
    options.EventPort = settings.EventPort;
    options.PayloadRoot = settings.PayloadDirectory;
    options.RecordFrames = true;
    options.FrameBytesKept = 256 * 1024;
    options.DrivePingTimers = false;
    Session = std::make_unique<TSession>(options);
}

TCheckContext::~TCheckContext()
{
    Session->CloseAll();
    Clients.clear();
    Session.reset();
}

std::string TCheckContext::ClientIdFor(const std::string& name) const
{
    // 3.1 takes at most 23 characters: prefix (8), number (3), name (at most 12).
    std::string number = std::to_string(Number);
    while (number.size() < 3) number.insert(number.begin(), '0');
    return Settings.IdPrefix + number + name.substr(0, 12);
}

TCheckClient& TCheckContext::Client(const std::string& name)
{
    // A name used before gets a number: every client of a check is a client of its own.
    std::string unique = name;
    for (int n = 2; Session->Find(unique) != nullptr; ++n) unique = name + std::to_string(n);
    Clients.push_back(std::make_unique<TCheckClient>(*this, Session->Client(unique), ClientIdFor(unique)));
    return *Clients.back();
}

std::string TCheckContext::Topic(const std::string& leaf) const
{
    return Settings.Prefix + "/" + std::to_string(Number) + "/" + leaf;
}

void TCheckContext::Fail(const std::string& expected, const std::string& saw) const
{
    throw TCheckStop{TVerdict::Fail, "expected " + expected + (saw.empty() ? "" : "; saw " + saw)};
}

void TCheckContext::Skip(const std::string& reason) const
{
    throw TCheckStop{TVerdict::Skip, reason};
}

void TCheckContext::Error(const std::string& reason) const
{
    throw TCheckStop{TVerdict::Error, reason};
}

void TCheckContext::Retained(const std::string& topic)
{
    RetainedTopics.push_back(topic);
}

void TCheckContext::Persistent(const std::string& clientID)
{
    Sessions.push_back(clientID);
}

void TCheckContext::Sleep(int ms) const
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (Cancelled()) throw TCheckStop{TVerdict::Error, "cancelled"};
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(20), until - std::chrono::steady_clock::now()));
    }
}

int64_t TCheckContext::ElapsedMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
}

std::vector<TClientTrace> TCheckContext::Traces() const
{
    std::vector<TClientTrace> traces;
    for (const auto& client : Clients)
        traces.push_back(TClientTrace{client->Name, client->ClientID, Version,
                                      std::chrono::duration_cast<std::chrono::nanoseconds>(Start.time_since_epoch()).count(),
                                      client->Frames()});
    return traces;
}

std::string TCheckContext::ClientsSaw() const
{
    std::string text;
    for (const auto& client : Clients) text += (text.empty() ? "" : "; ") + client->Name + ": " + client->Saw();
    return text;
}

// Retained messages are cleared with an empty retained PUBLISH, sessions kept
// for later are taken up with a clean session and ended. A failure here does
// not change the verdict: the next run uses other topics and identifiers.
void TCheckContext::CleanUp()
{
    for (auto& client : Clients) client->Drop();
    if (RetainedTopics.empty() && Sessions.empty()) return;
    try {
        if (!RetainedTopics.empty()) {
            TCheckClient& cleaner = Client("clean");
            if (cleaner.Connect().Code == 0) {
                for (const std::string& topic : RetainedTopics) cleaner.Publish(topic, "", 0, true);
                cleaner.Ping();
            }
            cleaner.Disconnect();
        }
        for (const std::string& id : Sessions) {
            TCheckClient& ender = Client("end");
            TConnectOptions options;
            options.ClientID = id;
            ender.Connect(options);
            ender.Disconnect();
        }
    } catch (const TCheckStop&) {
    } catch (const std::exception&) {
    }
}
