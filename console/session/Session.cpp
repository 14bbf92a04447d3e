#include "console/session/Session.h"

#include "console/form/FieldTable.h"
#include "console/form/TextCompare.h"
#include "diag/HostUtils.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/codec/ReasonCodes.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/CodePage.h"
#include "platform/Error.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <charconv>
#include <cstring>
#include <utility>

namespace {

using TClock = std::chrono::steady_clock;

int64_t MonotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
}

// A socket error of the broker's side: reset, broken pipe, aborted.
bool IsPeerFailure(const std::string& reason)
{
    for (const char* code : {" エラー 104,", " エラー 32,", " エラー 103,"})
        if (reason.find(CodePage::FromUTF8Literal(code)) != std::string::npos)
            return true;
    return false;
}

}  // namespace

// ---- how a connection ended ----

std::string TConnectionEnd::Describe() const
{
    if (!Ended)
        return "the connection is open";
    std::string text;
    switch (Kind) {
    case TConnectionEndKind::BrokerClosed:
        text = "the socket closed (" + Reason + ")";
        break;
    case TConnectionEndKind::BrokerReset:
        text = "the socket was reset (" + Reason + ")";
        break;
    case TConnectionEndKind::ClosedHere:
        text = "closed here: " + Reason;
        break;
    }
    return Disconnect ? "DISCONNECT " + DisconnectText + ", then " + text : text;
}

// ---- a client's window, without a window ----

// Boxes and field errors go to the client and the host; the ping timer is
// followed from the form's own state; the file chooser is never offered.
class TSessionClient::TFrontEndImpl : public TFrontEnd {
public:
    explicit TFrontEndImpl(TSessionClient& client) : Client(client) {}

    void ShowError(const std::string& text) override { Box(Client.FSession.FOptions.ErrorTitle, text); }
    void ShowMessageBox(const std::string& title, const std::string& text, bool) override { Box(title, text); }
    bool ChooseFile(const std::string&, const std::string&, std::string&) override { return false; }
    void SetPingTimer(bool, int) override {}
    void ControlsChanged() override {}
    void ShowFieldError(const std::string& control, const std::string& reason) override
    {
        const TSessionFieldError error{control, reason};
        {
            std::lock_guard lock(Client.FSession.FLock);
            Client.FFieldErrors.push_back(error);
        }
        if (Client.FSession.FOptions.OnFieldError)
            Client.FSession.FOptions.OnFieldError(Client, error);
    }

private:
    void Box(const std::string& title, const std::string& text)
    {
        {
            std::lock_guard lock(Client.FSession.FLock);
            Client.FBoxes.push_back({title, text});
        }
        if (Client.FSession.FOptions.OnBox)
            Client.FSession.FOptions.OnBox(Client, title, text);
    }

    TSessionClient& Client;
};

// ---- what the client's connections tell ----

// Installed as the form's session observer; hands every call on to the
// observer the form had before (a member added to TSessionObserver needs its
// forwarding here). A connection keeps the observer it was opened
// with, so an adopted form's observer can outlive the session: Detach() then
// leaves it forwarding only.
class TSessionClient::TObserverImpl : public TSessionObserver {
public:
    TObserverImpl(TSessionClient& client, TSessionObserver* next) : Owner(&client), Next(next) {}

    void Detach()
    {
        std::lock_guard lock(Guard);
        Owner = nullptr;
    }

    void OnProtocolVersion(TProtocolVersion version) override
    {
        With([&](TSessionClient& c) {
            c.FEnd = TConnectionEnd();
            c.FVersion = version;
        });
        if (Next)
            Next->OnProtocolVersion(version);
    }
    void OnConnected(const std::string& tlsVersion) override
    {
        if (Next)
            Next->OnConnected(tlsVersion);
    }
    void OnFrame(TFrameDirection direction, const uint8_t* frame, int32_t size) override
    {
        // Two frames a received message: the waits are woken only by one
        // that changed what they look at.
        WithIf([&](TSessionClient& c) {
            bool changed = false;
            if (direction == TFrameDirection::Received && size >= 2 && (frame[0] >> 4) == MessageType::DISCONNECT) {
                NoteDisconnect(c, frame, size);
                changed = true;
            }
            if (!c.FSession.FOptions.RecordFrames)
                return changed;
            TSessionFrame record;
            record.Time = NowLocal();
            record.MonotonicNs = MonotonicNs();
            record.Direction = direction;
            record.Version = c.FVersion;
            record.Size = size;
            const auto kept = std::min<std::size_t>(static_cast<std::size_t>(std::max(size, 0)),
                                                    c.FSession.FOptions.FrameBytesKept);
            record.Bytes.assign(frame, frame + kept);
            c.FFrames.push_back(std::move(record));
            return true;
        });
        if (Next)
            Next->OnFrame(direction, frame, size);
    }
    void OnConnectionLost(const std::string& reason) override
    {
        With([&](TSessionClient& c) {
            c.FEnd.Ended = true;
            c.FEnd.MonotonicNs = MonotonicNs();
            c.FEnd.Reason = reason;
            c.FEnd.Kind = reason == "closed by the broker" ? TConnectionEndKind::BrokerClosed
                : IsPeerFailure(reason)                    ? TConnectionEndKind::BrokerReset
                                                           : TConnectionEndKind::ClosedHere;
        });
        if (Next)
            Next->OnConnectionLost(reason);
    }
    void OnQueueCount(int count) override
    {
        if (Next)
            Next->OnQueueCount(count);
    }
    void OnMessageSaved(const TSavedMessage& message) override
    {
        if (Next)
            Next->OnMessageSaved(message);
    }

private:
    // Under the session's lock, then the waiters look again.
    template <class TChange>
    void With(TChange change)
    {
        WithIf([&](TSessionClient& c) {
            change(c);
            return true;
        });
    }
    // The same, the waiters woken only when the change says it made one.
    template <class TChange>
    void WithIf(TChange change)
    {
        std::lock_guard lock(Guard);
        if (!Owner)
            return;
        bool changed = false;
        {
            std::lock_guard sessionLock(Owner->FSession.FLock);
            changed = change(*Owner);
        }
        if (changed)
            Owner->FSession.Notify();
    }

    static void NoteDisconnect(TSessionClient& c, const uint8_t* frame, int32_t size)
    {
        c.FEnd.Disconnect = true;
        c.FEnd.DisconnectReason = 0;
        try {
            TMQTTPacket packet(frame, size, c.FVersion);
            packet.AnalyzePacket();
            c.FEnd.DisconnectReason = packet.ReasonCode;
        } catch (const std::exception&) {
            // Shown by its code 0: the frames tell the rest.
        }
        c.FEnd.DisconnectText = FormatReasonCode(static_cast<uint8_t>(c.FEnd.DisconnectReason),
                                                 TPacketKind::Disconnect, c.FVersion);
    }

    std::mutex Guard;
    TSessionClient* Owner;
    TSessionObserver* const Next;
};

namespace {

// Observers an adopted form's connection may still call after its session
// ended. Few and small: one per script run that left a connection open.
std::mutex DetachedLock;
std::vector<std::unique_ptr<TSessionObserver>>& Detached()
{
    static auto* detached = new std::vector<std::unique_ptr<TSessionObserver>>();
    return *detached;
}

}  // namespace

// ---- one client ----

TSessionClient::TSessionClient(TSession& session, std::string name, TForm1* adopted)
    : FSession(session), FName(std::move(name)), FFrontEnd(std::make_unique<TFrontEndImpl>(*this))
{
    if (adopted) {
        FForm = adopted;
    } else {
        FOwnedForm = std::make_unique<TForm1>(*FFrontEnd, session.FOptions.EventPort);
        FForm = FOwnedForm.get();
    }
    FPreviousObserver = FForm->SessionObserver;
    FObserver = std::make_unique<TObserverImpl>(*this, FPreviousObserver);
    FForm->SessionObserver = FObserver.get();
    FEventsHandle = FForm->Events.AddBatchObserver(
        [this](const TEventRecord* records, std::size_t count) { FSession.OnLines(*this, records, count); });
}

TSessionClient::~TSessionClient()
{
    FForm->Events.RemoveObserver(FEventsHandle);
    if (FOwnedForm) {
        // The console and its connection end before what they report to.
        FOwnedForm.reset();
        return;
    }
    FForm->SessionObserver = FPreviousObserver;
    FObserver->Detach();
    if (FForm->Client) {
        // Its connection still calls the observer it was opened with.
        std::lock_guard lock(DetachedLock);
        Detached().push_back(std::move(FObserver));
    }
}

bool TSessionClient::Set(std::string_view control, std::string_view value, std::string* reason)
{
    auto fail = [&](const std::string& why) {
        if (reason)
            *reason = why;
        return false;
    };
    const TControlInfo* row = FindControl(std::string(control));
    if (row == nullptr || row->Kind == TControlKind::Button)
        return fail("no field named " + std::string(control));
    if (row->Gate && !(FForm->*row->Gate))
        return fail(std::string(row->Name) + " is disabled now");
    TForm1& form = *FForm;
    if (row->Text) {
        (form.*row->Text).Text = std::string(value);
    } else if (row->Int) {
        long long number = 0;
        const char* first = value.data() + (value.starts_with('+') ? 1 : 0);
        const auto [end, ec] = std::from_chars(first, value.data() + value.size(), number);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size())
            return fail(std::string(row->Name) + " takes a whole number");
        TIntField& field = form.*row->Int;
        field.SetValue(static_cast<int>(std::clamp<long long>(number, field.Min, field.Max)));
    } else if (row->Check) {
        if (!EqualsNoCase(value, "on") && !EqualsNoCase(value, "off"))
            return fail(std::string(row->Name) + " takes on or off");
        form.*row->Check = EqualsNoCase(value, "on");
    } else if (row->Choice) {
        const int index = (form.*row->Choice).Find(value);
        if (index < 0)
            return fail(std::string(row->Name) + " has no item " + std::string(value));
        (form.*row->Choice).Index = index;
    }
    if (row->Handler)
        form.Run(row->Handler);
    return true;
}

std::string TSessionClient::Get(std::string_view control) const
{
    const TControlInfo* row = FindControl(std::string(control));
    if (row == nullptr)
        return {};
    const TForm1& form = *FForm;
    if (row->Text)
        return (form.*row->Text).Text;
    if (row->Int)
        return std::to_string((form.*row->Int).Value());
    if (row->Check)
        return form.*row->Check ? "on" : "off";
    if (row->Choice)
        return (form.*row->Choice).Text();
    return {};
}

void TSessionClient::Run(THandler handler)
{
    FForm->Run(handler);
}

bool TSessionClient::Click(std::string_view control, std::string* reason)
{
    for (const TCommandInfo& command : FForm->Commands()) {
        if (control != command.Name && control != command.Name + "Click")
            continue;
        const TControlInfo* row = FindControl(command.Name);
        if (row && row->Gate && !(FForm->*row->Gate)) {
            if (reason)
                *reason = command.Name + " is disabled now";
            return false;
        }
        Run(command.Handler);
        return true;
    }
    if (reason)
        *reason = "no command named " + std::string(control);
    return false;
}

void TSessionClient::SendRaw(const std::vector<uint8_t>& bytes)
{
    try {
        FForm->SendRawFrame(bytes);
    } catch (const std::exception& e) {
        FFrontEnd->ShowError(TForm1::ErrorBoxText(e.what()));
    }
}

void TSessionClient::CancelWait()
{
    FForm->CancelWait();
}

std::vector<TSessionBox> TSessionClient::TakeBoxes()
{
    std::lock_guard lock(FSession.FLock);
    return std::exchange(FBoxes, {});
}

std::vector<TSessionFieldError> TSessionClient::TakeFieldErrors()
{
    std::lock_guard lock(FSession.FLock);
    return std::exchange(FFieldErrors, {});
}

bool TSessionClient::Connected() const
{
    return FForm->Client && FForm->Client->SocketReady;
}

TConnectionEnd TSessionClient::End() const
{
    std::lock_guard lock(FSession.FLock);
    return FEnd;
}

TWaitEnd TSessionClient::WaitForEnd(int timeoutMs, TConnectionEnd* end)
{
    // Without a connection nothing can end; one that a thread closed is told
    // to the observer right after its socket closed.
    const TWaitEnd result =
        FForm->Client ? FSession.WaitUntil(timeoutMs, [&] { return FEnd.Ended; })
                      : (End().Ended ? TWaitEnd::Found : TWaitEnd::TimedOut);
    if (result == TWaitEnd::Found && end)
        *end = End();
    return result;
}

std::size_t TSessionClient::FrameCount() const
{
    std::lock_guard lock(FSession.FLock);
    return FFrames.size();
}

std::vector<TSessionFrame> TSessionClient::Frames(std::size_t from) const
{
    std::lock_guard lock(FSession.FLock);
    if (from >= FFrames.size())
        return {};
    return std::vector<TSessionFrame>(FFrames.begin() + static_cast<std::ptrdiff_t>(from), FFrames.end());
}

TWaitEnd TSessionClient::WaitForFrame(std::size_t& from, const std::function<bool(const TSessionFrame&)>& match,
                                      int timeoutMs, TSessionFrame* found)
{
    return FSession.WaitUntil(timeoutMs, [&] {
        for (; from < FFrames.size(); ++from) {
            if (match(FFrames[from])) {
                if (found)
                    *found = FFrames[from];
                ++from;
                return true;
            }
        }
        return false;
    });
}

// ---- line watches ----

TLineWatch::TLineWatch(TSession& session, std::string client, bool every)
    : FSession(session), FClient(std::move(client)), FEvery(every)
{
    std::lock_guard lock(FSession.FLock);
    FSession.FWatches.push_back(this);
}

TLineWatch::~TLineWatch()
{
    std::lock_guard lock(FSession.FLock);
    std::erase(FSession.FWatches, this);
}

void TLineWatch::Keep(const std::string& text)
{
    std::lock_guard lock(FSession.FLock);
    FSelective = true;
    ++FKept[text];
}

void TLineWatch::KeepOnlyKeptTexts()
{
    std::lock_guard lock(FSession.FLock);
    FSelective = true;
}

void TLineWatch::Release(const std::string& text)
{
    std::lock_guard lock(FSession.FLock);
    const auto it = FKept.find(text);
    if (it != FKept.end() && --it->second <= 0)
        FKept.erase(it);
}

bool TLineWatch::Wanted(const std::string& client, const std::string& text) const
{
    if (!FEvery && client != FClient)
        return false;
    if (!FSelective)
        return true;
    return std::any_of(FKept.begin(), FKept.end(),
                       [&](const auto& kept) { return text.find(kept.first) != std::string::npos; });
}

TWaitEnd TLineWatch::Wait(std::string_view text, int timeoutMs, TSessionLine* found)
{
    const TWaitEnd end = FSession.WaitUntil(timeoutMs, [&] {
        // Lines looked at are never searched again: the next wait goes on after the match.
        while (!FLines.empty()) {
            TSessionLine line = std::move(FLines.front());
            FLines.pop_front();
            if (line.Text().find(text) != std::string::npos) {
                if (found)
                    *found = std::move(line);
                return true;
            }
        }
        return false;
    });
    return end;
}

TWaitEnd TLineWatch::WaitNone(std::string_view text, int timeoutMs, TSessionLine* seen)
{
    std::size_t scan = 0;
    return FSession.WaitUntil(timeoutMs, [&] {
        for (; scan < FLines.size(); ++scan) {
            if (FLines[scan].Text().find(text) != std::string::npos) {
                if (seen)
                    *seen = FLines[scan];
                return true;
            }
        }
        return false;
    });
}

std::vector<TSessionLine> TLineWatch::Kept() const
{
    std::lock_guard lock(FSession.FLock);
    return {FLines.begin(), FLines.end()};
}

// ---- the session ----

TSession::TSession(TSessionOptions options) : FOptions(std::move(options)), FDriveTicks(FOptions.DrivePingTimers) {}

TSession::~TSession()
{
    CloseAll();
    // Newest first, each ending its console before the next.
    while (!FClients.empty()) {
        std::unique_ptr<TSessionClient> client;
        {
            std::lock_guard lock(FLock);
            client = std::move(FClients.back());
            FClients.pop_back();
        }
        client.reset();
    }
}

bool TSession::ValidName(std::string_view name, std::string* reason)
{
    auto fail = [&](const std::string& why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (name.empty() || name.size() > 64)
        return fail("a client name has 1 to 64 characters");
    if (name.front() == '.')
        return fail("a client name does not begin with \".\"");
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return fail("a client name holds only letters, digits, \"-\", \"_\" and \".\"");
    return true;
}

TSessionClient& TSession::Client(const std::string& name)
{
    if (TSessionClient* client = Find(name))
        return *client;
    return Make(name, nullptr);
}

TSessionClient& TSession::Adopt(const std::string& name, TForm1& form)
{
    if (Find(name))
        throw Exception("a client named " + name + " exists already");
    return Make(name, &form);
}

TSessionClient& TSession::Make(const std::string& name, TForm1* adopted)
{
    std::string reason;
    if (!ValidName(name, &reason))
        throw Exception(name + ": " + reason);
    std::string folder = FOptions.PayloadRoot;
    if (!adopted && FOptions.FolderPerClient && !folder.empty()) {
        folder += "/" + name;
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            throw Exception("cannot make the payload folder " + folder + ": " + std::strerror(errno));
    }
    TSessionClient* client = nullptr;
    {
        auto made = std::unique_ptr<TSessionClient>(new TSessionClient(*this, name, adopted));
        client = made.get();
        std::lock_guard lock(FLock);
        FClients.push_back(std::move(made));
    }
    if (adopted)
        return *client;
    TForm1& form = client->Form();
    form.PayloadDirectory = folder;
    form.Run(&TForm1::FormCreate);
    // Default identifiers are random: two clients of one session never start with the same one.
    auto taken = [&] {
        for (TSessionClient* other : Clients())
            if (other != client && other->Form().ClientIDEdit.Text == form.ClientIDEdit.Text)
                return true;
        return false;
    };
    for (int attempt = 0; attempt < 1000 && !form.ClientIDEdit.Text.empty() && taken(); ++attempt)
        form.ClientIDEdit.Text = MakeDefaultClientID();
    if (FOptions.Prepare)
        FOptions.Prepare(*client);
    return *client;
}

TSessionClient* TSession::Find(std::string_view name)
{
    std::lock_guard lock(FLock);
    for (const auto& client : FClients)
        if (client->Name() == name)
            return client.get();
    return nullptr;
}

std::vector<TSessionClient*> TSession::Clients()
{
    std::lock_guard lock(FLock);
    std::vector<TSessionClient*> clients;
    for (const auto& client : FClients)
        clients.push_back(client.get());
    return clients;
}

std::size_t TSession::Count() const
{
    std::lock_guard lock(FLock);
    return FClients.size();
}

int TSession::AddLineObserver(std::function<void(const TSessionLine&)> observer)
{
    std::lock_guard lock(FLock);
    FLineObservers.emplace_back(++FNextObserver, std::move(observer));
    return FNextObserver;
}

void TSession::RemoveLineObserver(int handle)
{
    std::lock_guard lock(FLock);
    std::erase_if(FLineObservers, [handle](const auto& entry) { return entry.first == handle; });
}

std::unique_ptr<TLineWatch> TSession::WatchLines(const std::string& client)
{
    return std::unique_ptr<TLineWatch>(new TLineWatch(*this, client, false));
}

std::unique_ptr<TLineWatch> TSession::WatchEveryLine()
{
    return std::unique_ptr<TLineWatch>(new TLineWatch(*this, {}, true));
}

void TSession::OnLines(const TSessionClient& client, const TEventRecord* records, std::size_t count)
{
    bool kept = false;
    {
        std::lock_guard lock(FLock);
        for (std::size_t i = 0; i < count; ++i) {
            TSessionLine line{++FSequence, client.Name(), records[i]};
            const std::string text = line.Text();
            for (TLineWatch* watch : FWatches)
                if (watch->Wanted(line.Client, text)) {
                    watch->FLines.push_back(line);
                    kept = true;
                }
            for (const auto& [handle, observer] : FLineObservers) {
                try {
                    observer(line);
                } catch (...) {
                    // An observer's failure costs its copy of the line, never the sender.
                }
            }
        }
    }
    // The waits look only at what their watches kept: the lines of one
    // hand-over wake them once, and lines nobody kept wake nobody.
    if (kept)
        Notify();
}

void TSession::Notify()
{
    FChanged.notify_all();
}

template <class TDone>
TWaitEnd TSession::WaitUntil(int timeoutMs, TDone done)
{
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    if (FDriveTicks)
        for (TSessionClient* client : Clients())
            FollowPingTimer(*client);
    std::unique_lock lock(FLock);
    for (;;) {
        if (done())
            return TWaitEnd::Found;
        if (FCancelled)
            return TWaitEnd::Cancelled;
        const TClock::time_point now = TClock::now();
        if (now >= deadline)
            return TWaitEnd::TimedOut;
        const TClock::time_point due = NextTickDue();
        if (due <= now) {
            // A tick sends lines itself: never under the lock the lines take.
            lock.unlock();
            RunDueTicks();
            lock.lock();
            continue;
        }
        FChanged.wait_until(lock, std::min(deadline, due));
    }
}

TWaitEnd TSession::Sleep(int ms)
{
    return WaitUntil(ms, [] { return false; }) == TWaitEnd::Cancelled ? TWaitEnd::Cancelled : TWaitEnd::TimedOut;
}

void TSession::FollowPingTimer(TSessionClient& client)
{
    // The form tells its timer only of changes, so a change seen here is one
    // the window's timer would have seen: switching on or a new interval
    // starts a full period.
    const bool on = client.Form().PingTimerEnabled;
    const int interval = client.Form().PingTimerInterval;
    if (on == client.FTimerOn && interval == client.FTimerInterval)
        return;
    client.FTimerOn = on;
    client.FTimerInterval = interval;
    if (on)
        client.FTickDue = TClock::now() + std::chrono::milliseconds(interval);
}

TSession::TClock::time_point TSession::NextTickDue()
{
    TClock::time_point due = TClock::time_point::max();
    if (!FDriveTicks)
        return due;
    for (const auto& client : FClients)
        if (client->FTimerOn)
            due = std::min(due, client->FTickDue);
    return due;
}

void TSession::RunDueTicks()
{
    if (!FDriveTicks)
        return;
    for (TSessionClient* client : Clients()) {
        FollowPingTimer(*client);
        if (!client->FTimerOn || TClock::now() < client->FTickDue)
            continue;
        client->Form().Run(&TForm1::PingTimerTick);
        // Ticks that fell due meanwhile are not stored up.
        const auto interval = std::chrono::milliseconds(client->FTimerInterval);
        client->FTickDue += interval;
        if (const TClock::time_point now = TClock::now(); client->FTickDue <= now)
            client->FTickDue = now + interval;
        FollowPingTimer(*client);
    }
}

void TSession::Cancel()
{
    FCancelled = true;
    {
        std::lock_guard lock(FLock);
        for (const auto& client : FClients)
            client->CancelWait();
    }
    Notify();
}

bool TSession::Cancelled() const
{
    return FCancelled;
}

void TSession::ResetCancel()
{
    FCancelled = false;
}

void TSession::CloseAll()
{
    if (FClosed)
        return;
    FClosed = true;
    const std::vector<TSessionClient*> clients = Clients();
    for (auto it = clients.rbegin(); it != clients.rend(); ++it)
        if ((*it)->Owned())
            (*it)->Form().Run(&TForm1::FormDestroy);
}
