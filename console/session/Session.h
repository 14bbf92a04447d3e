#pragma once

#include "console/form/Form1.h"
#include "diag/EventSink.h"
#include "mqtt/codec/ProtocolVersion.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Several named clients in one process. Each client is exactly one console of
// its own (a TForm1 with its own settings, connection, receive queue, threads,
// message identifiers and diagnostic lines); nothing in the engine knows of the
// others. Scripts (console/script) and the broker checks drive clients through
// this one interface, by name, and wait for what the clients see: their
// diagnostic lines, the end of their connection, their frames.
//
// Threads:
// - A session is driven from one thread at a time, the driving thread. It makes
//   clients, sets their fields, runs their commands and waits. Commands run one
//   at a time on it, as the window runs its form's handlers; a command that
//   waits for the broker blocks it for that wait.
// - Waits (TLineWatch::Wait, TSessionClient::WaitForEnd, WaitForFrame,
//   TSession::Sleep) run the due ticks of the clients' ping timers on the
//   driving thread while they wait (unless DrivePingTimers is off).
// - Cancel() and TSessionClient::CancelWait() may be called from any thread.
// - Accessors marked "any thread" copy under the session's lock.
// - Line observers run on whatever thread sent the line (the driving thread or
//   a client's reader or event-handler thread), with the session's lock held:
//   copy and return; never call into the session or a client from one.
// - OnBox and OnFieldError run on the driving thread, inside the command that
//   showed the box.
// - Independent sessions share nothing but the process-wide named objects of
//   the engine: two clients with one ClientID share their write mutex, frame
//   event and queue mutex, in one session or in two.
//
// Lifetime:
// - A client lives until its session is destroyed; references to it stay valid
//   that long. Names are unique within a session.
// - CloseAll() (and the destructor, if CloseAll did not run) ends every owned
//   client's console newest first: its connection closes as "Close" closes it
//   and its diagnostic lines still reach the line observers.
// - A TLineWatch must be gone before its session is destroyed. Line observers
//   are called until removed or until the session ends (CloseAll's lines
//   included): what they use must live that long.

class TSession;
class TSessionClient;

enum class TWaitEnd { Found, TimedOut, Cancelled };

// One diagnostic line of one client.
struct TSessionLine {
    uint64_t Sequence = 0;     // 1, 2, ... over all clients of the session, in the order the lines were sent
    std::string Client;        // the client's name
    TEventRecord Record;       // time, source name, message
    // What expects match: "MQTT_Unit: sending CONNECT [dev1]".
    std::string Text() const { return Record.Source + ": " + Record.Message; }
};

// A box a client's command showed (an error box or a message box).
struct TSessionBox {
    std::string Title;
    std::string Text;
};

// A field a frame could not be built from, with the reason the window shows under it.
struct TSessionFieldError {
    std::string Control;       // "WillTopicEdit"; empty when no field is to blame
    std::string Reason;        // Japanese, then the builder's own reason in brackets
};

// How a client's connection ended without the console's "Close".
enum class TConnectionEndKind {
    BrokerClosed,              // the broker closed the socket (end of stream)
    BrokerReset,               // the socket was reset or broken from the broker's side
    ClosedHere,                // this client closed it after an error of its own (reported by its thread)
};

struct TConnectionEnd {
    bool Ended = false;        // false while the connection is open, and when there is none
    TConnectionEndKind Kind = TConnectionEndKind::BrokerClosed;
    std::string Reason;        // the connection's own words: "closed by the broker", "Read エラー 104, ..."
    // The broker's DISCONNECT received on this connection before its end, if any.
    bool Disconnect = false;
    int DisconnectReason = 0;  // its reason code (0 when a short DISCONNECT carried none)
    std::string DisconnectText;   // "0x8E Session taken over"; empty without a DISCONNECT
    int64_t MonotonicNs = 0;   // when the end was seen, on the frames' steady clock

    bool ByBroker() const { return Ended && Kind != TConnectionEndKind::ClosedHere; }
    // One line: "DISCONNECT 0x8E Session taken over, then the socket closed",
    // "the socket closed (closed by the broker)", "closed here: RemainLength decode error".
    std::string Describe() const;
};

// One frame a client's connection sent or received.
struct TSessionFrame {
    TLocalDateTime Time{};     // when it went out (its last byte written) or was cut out of the stream
    int64_t MonotonicNs = 0;   // the same instant on the steady clock, for ordering across clients
    TFrameDirection Direction = TFrameDirection::Sent;
    TProtocolVersion Version = TProtocolVersion::MQTT31;   // the connection's: decode by its rules
    int32_t Size = 0;          // the whole frame's size
    std::vector<uint8_t> Bytes;   // its first TSessionOptions::FrameBytesKept bytes
    bool Whole() const { return static_cast<int64_t>(Bytes.size()) == Size; }
};

struct TSessionOptions {
    // Destination port of every client's diagnostic datagrams (127.0.0.1).
    int EventPort = 2056;
    // Where received payload files go; empty: the working directory. With
    // FolderPerClient each client writes into PayloadRoot/NAME (made when the
    // client is made), so the files of different clients can be told apart.
    std::string PayloadRoot;
    bool FolderPerClient = false;
    // Keep every client's frames for Frames() and WaitForFrame(); off, nothing is kept.
    bool RecordFrames = false;
    std::size_t FrameBytesKept = 65536;
    // Run the clients' ping timers during waits; a host whose own timer ticks
    // (the window) turns it off.
    bool DrivePingTimers = true;
    // The title of an error box (the window shows the application's).
    std::string ErrorTitle = "tarnwick";
    // Called once for each client made by Client(), after FormCreate: shorter
    // answer waits, a report pause, other settings.
    std::function<void(TSessionClient&)> Prepare;
    // A box a command of an owned client showed. It also stays with the client (TakeBoxes).
    std::function<void(TSessionClient&, const std::string& title, const std::string& text)> OnBox;
    // A field an owned client's frame could not be built from (TakeFieldErrors too).
    std::function<void(TSessionClient&, const TSessionFieldError&)> OnFieldError;
};

// One named client: one console. Driving thread unless said otherwise.
class TSessionClient {
public:
    ~TSessionClient();
    TSessionClient(const TSessionClient&) = delete;
    TSessionClient& operator=(const TSessionClient&) = delete;

    const std::string& Name() const { return FName; }
    // The console itself: its fields and handlers, as the window uses them.
    TForm1& Form() { return *FForm; }
    const TForm1& Form() const { return *FForm; }
    // False for a console the host owns (Adopt).
    bool Owned() const { return FOwnedForm != nullptr; }

    // A field by control name ("ClientIDEdit", "BrokerPortSpn", ...; see
    // console/form/FieldTable.h): texts as given, integers in decimal (set to
    // the nearer limit outside them), check boxes "on"/"off", a choice by its
    // item ("MQTT 5.0", "5.0"). The field's change handler runs as in the
    // window. False, with the reason, for an unknown field, a value it cannot
    // take or a control that is disabled now.
    bool Set(std::string_view control, std::string_view value, std::string* reason = nullptr);
    // The field's value in the same form; empty for an unknown control.
    std::string Get(std::string_view control) const;

    // Runs a command handler the way the window does (TForm1::Run): a failure
    // becomes a box. By control name ("MQTT_CONNECT_Btn") through Click().
    void Run(THandler handler);
    bool Click(std::string_view control, std::string* reason = nullptr);
    // Sends the bytes exactly as given, with no check, through the connection's
    // frame writer, with the console's "sending raw frame" line (TForm1::SendRawFrame).
    void SendRaw(const std::vector<uint8_t>& bytes);
    // Ends the running command's wait for the broker (TForm1::CancelWait). Any thread.
    void CancelWait();

    // Boxes and field errors of owned clients' commands since the last take.
    std::vector<TSessionBox> TakeBoxes();
    std::vector<TSessionFieldError> TakeFieldErrors();

    // A connection is open and its socket is ready.
    bool Connected() const;
    // How the latest connection ended; Ended false while it is open and when
    // none was made; it stays after "Close" until the next connection is made. Any thread.
    TConnectionEnd End() const;
    // Waits until the latest connection has ended without "Close" (Found, with
    // *end), for at most timeoutMs. TimedOut also when no connection is open.
    TWaitEnd WaitForEnd(int timeoutMs, TConnectionEnd* end = nullptr);

    // Frames of every connection of this client, in order (RecordFrames on). Any thread.
    std::size_t FrameCount() const;
    std::vector<TSessionFrame> Frames(std::size_t from = 0) const;
    // Waits for a frame at index from or later that match() accepts (called
    // with the session's lock held: look, do not call out); Found sets from
    // past it and *found to it.
    TWaitEnd WaitForFrame(std::size_t& from, const std::function<bool(const TSessionFrame&)>& match, int timeoutMs,
                          TSessionFrame* found = nullptr);

private:
    friend class TSession;
    class TFrontEndImpl;
    class TObserverImpl;
    TSessionClient(TSession& session, std::string name, TForm1* adopted);

    TSession& FSession;
    const std::string FName;
    std::unique_ptr<TFrontEndImpl> FFrontEnd;
    std::unique_ptr<TForm1> FOwnedForm;
    TForm1* FForm = nullptr;
    std::unique_ptr<TObserverImpl> FObserver;
    TSessionObserver* FPreviousObserver = nullptr;
    int FEventsHandle = 0;
    // Under the session's lock:
    std::vector<TSessionBox> FBoxes;
    std::vector<TSessionFieldError> FFieldErrors;
    TConnectionEnd FEnd;
    TProtocolVersion FVersion = TProtocolVersion::MQTT31;
    std::vector<TSessionFrame> FFrames;
    // The ping timer as the form last set it, and its next tick (driving thread).
    bool FTimerOn = false;
    int FTimerInterval = 0;
    std::chrono::steady_clock::time_point FTickDue{};
};

// The lines of one client (by name; it need not exist yet) or of every client,
// from the watch's making on, for waits that match a line by the text it
// contains. A watch keeps the lines its waits have not looked at yet: every
// line, or, once Keep() was called, only lines that contain a text given to
// Keep() and not yet released (so a long run keeps only what a wait to come
// can still match). Driving thread.
class TLineWatch {
public:
    ~TLineWatch();
    TLineWatch(const TLineWatch&) = delete;
    TLineWatch& operator=(const TLineWatch&) = delete;

    // One wait to come for text: lines containing it are kept. Release(text)
    // takes one back. Texts are counted, so two waits for one text keep it until both released it.
    void Keep(const std::string& text);
    void Release(const std::string& text);
    // Keeps only lines with a kept text from now on, as after the first Keep(),
    // also while no text is kept (then: none).
    void KeepOnlyKeptTexts();

    // Waits for a line containing text among the kept lines and those to come.
    // The lines it looked at are forgotten, the match included: the next wait
    // searches on after the match (or, after a time-out, after the last line seen).
    TWaitEnd Wait(std::string_view text, int timeoutMs, TSessionLine* found = nullptr);
    // Waits the whole time for no line containing text. Found (with *seen)
    // when one came; the lines stay for the next wait.
    TWaitEnd WaitNone(std::string_view text, int timeoutMs, TSessionLine* seen = nullptr);
    // The lines kept now. Any thread.
    std::vector<TSessionLine> Kept() const;

private:
    friend class TSession;
    TLineWatch(TSession& session, std::string client, bool every);
    bool Wanted(const std::string& client, const std::string& text) const;   // under the session's lock

    TSession& FSession;
    const std::string FClient;
    const bool FEvery;
    // Under the session's lock:
    bool FSelective = false;
    std::map<std::string, int, std::less<>> FKept;
    std::deque<TSessionLine> FLines;   // not looked at yet by a Wait
};

class TSession {
public:
    // The name of the client a script speaks to before it names one.
    static constexpr const char* DefaultClientName = "main";

    explicit TSession(TSessionOptions options = {});
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    const TSessionOptions& Options() const { return FOptions; }
    // Turns the ticking of the clients' ping timers during waits on or off (DrivePingTimers).
    void SetDrivePingTimers(bool on) { FDriveTicks = on; }

    // The client of that name, made on first use: a new console with the
    // window's defaults, FormCreate run, a default ClientID that no other
    // client of the session has, its payload folder, then Prepare. Raises
    // Exception for a name ValidName refuses or a payload folder that cannot be made.
    TSessionClient& Client(const std::string& name);
    // Takes in a console the host owns and drives itself (the window's form):
    // the session watches its lines, boxes and frames but never runs
    // FormCreate or FormDestroy on it. Its host hands its boxes to whoever runs
    // the script. The form must outlive the session.
    TSessionClient& Adopt(const std::string& name, TForm1& form);
    TSessionClient* Find(std::string_view name);
    // In the order they were made.
    std::vector<TSessionClient*> Clients();
    std::size_t Count() const;

    // A client name: 1 to 64 letters, digits, "-", "_" or "." (not first), so
    // that it can name a folder. False with the reason otherwise.
    static bool ValidName(std::string_view name, std::string* reason = nullptr);

    // Every line of every client, as it is sent (see the thread rules above).
    // Returns a handle for RemoveLineObserver, which waits for a call in flight.
    int AddLineObserver(std::function<void(const TSessionLine&)> observer);
    void RemoveLineObserver(int handle);
    // A watch of one client's lines (it need not exist yet) or of every client's.
    std::unique_ptr<TLineWatch> WatchLines(const std::string& client);
    std::unique_ptr<TLineWatch> WatchEveryLine();

    // Waits the whole time (ping ticks run); Cancelled when Cancel() came.
    TWaitEnd Sleep(int ms);
    // Runs the clients' ping timer ticks that are due now, at most one each.
    void RunDueTicks();

    // Ends the waits of the session at once and every running command's wait
    // for the broker; later waits end at once too, until ResetCancel(). Any thread.
    void Cancel();
    bool Cancelled() const;
    void ResetCancel();

    // Ends every owned client's console (FormDestroy), newest first, while
    // the line observers still see its lines. Adopted consoles stay as they are.
    void CloseAll();

private:
    friend class TSessionClient;
    friend class TLineWatch;
    using TClock = std::chrono::steady_clock;

    TSessionClient& Make(const std::string& name, TForm1* adopted);
    void OnLines(const TSessionClient& client, const TEventRecord* records, std::size_t count);   // any thread
    void Notify();
    // Waits until done() (called with lock held) or the time-out, running ping ticks.
    template <class TDone>
    TWaitEnd WaitUntil(int timeoutMs, TDone done);
    void FollowPingTimer(TSessionClient& client);
    TClock::time_point NextTickDue();

    const TSessionOptions FOptions;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::unique_ptr<TSessionClient>> FClients;
    std::vector<std::pair<int, std::function<void(const TSessionLine&)>>> FLineObservers;
    std::vector<TLineWatch*> FWatches;
    int FNextObserver = 0;
    uint64_t FSequence = 0;
    std::atomic<bool> FCancelled{false};
    std::atomic<bool> FDriveTicks;
    bool FClosed = false;
};
