#pragma once

#include "console/form/BrokerLimits.h"
#include "console/form/FrontEnd.h"
#include "diag/EventSink.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/engine/AckSettings.h"
#include "platform/CancelSignal.h"
#include "platform/HostLookup.h"
#include "platform/TlsConfig.h"
#include "platform/TransportConfig.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct TMQTTClientOptions;
class TAppEventMsg;
class TFrameWait;
class TMQTTClient;
class TMQTTPacket;
class TSessionObserver;
enum class TFrameKind;
namespace FormCommon {
struct TRequestTexts;
}

// A text field of the form. Texts are byte strings in the system code page.
struct TTextField {
    std::string Label;
    std::string Text;
    bool Masked = false;          // shown as one "*" per character (the password)
};

// An integer field with inclusive limits. Its text is what the user typed;
// Value() reads it: a text that is no whole number reads as Min, a number outside
// the limits reads as the nearer limit. Clamp() is the "user leaves the field" step
// that rewrites the text the way Value() reads it.
struct TIntField {
    std::string Label;
    std::string Text;
    int Min = 0;
    int Max = 0;
    int Value() const;
    void SetValue(int value);     // stores the value within the limits
    void Clamp();
};

// The answer waits of the commands, in milliseconds. The defaults are the
// program's; tests shorten them.
struct TAnswerTimeouts {
    int Connack = 1000;
    int Pingresp = 1000;
    int Suback = 1000;
    int Unsuback = 1000;
    int Puback = 20000;
    int Pubrec = 20000;
    int Pubcomp = 1000;
    int Auth = 1000;
};

// A choice among fixed items (a combo box). Texts in the system code page.
struct TChoiceField {
    std::string Label;
    std::vector<std::string> Items;
    int Index = 0;                // the chosen item; one outside the items reads as the first
    const std::string& Text() const;
    int Chosen() const;           // Index, within the items
    // The item that is the text (letter case aside), or else the only item that
    // has the text as one of its words ("3.1.1" in "MQTT 3.1.1"); -1 for none.
    int Find(std::string_view text) const;
};

// The items of TransportCmb.
enum class TTransportKind { Tcp, WebSocket, WebSocketTls };

class TForm1;
using THandler = void (TForm1::*)();

// One command button: its control name, caption and handler.
struct TCommandInfo {
    std::string Name;             // "ConnectBtn", "Button4", ...
    std::string Caption;          // "Open", "DISCONNECT", "Queue 取り出し", ...
    THandler Handler;
};

// The console's main form without a window: settings, state, commands.
// The window shows the fields, calls the handlers through Run() and implements
// TFrontEnd. Every handler runs on the user-interface thread, one at a time.
class TForm1 {
public:
    // eventMsgPort: destination port of the diagnostics (2056 in the program).
    // The settings take their defaults here; the window then runs FormCreate
    // through Run() so that a failure in it shows as an error box.
    explicit TForm1(TFrontEnd& frontEnd, int eventMsgPort = 2056);
    ~TForm1();                    // runs FormDestroy when FormCreate ran and FormDestroy did not
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    std::string Caption;          // "Tarnwick テストプログラム"

    // Settings.
    TTextField BrokerEdit1, ClientIDEdit, UserNameEdit, PasswordEdit, WillTopicEdit, WillMessageEdit,
        SubscribeTopicListEdit, SubscribeQoSListEdit, UnSubscribeTopicListEdit, PublishTopicEdit,
        PublishDataEdit, PublishDataFileEdit;
    TIntField BrokerPortSpn, KeepAliveSpn, WillQoSSpn, PublishSpn, PingReqIntervalSpn;
    // The pause after each report line, in ms (0 to 100), of the commands and of
    // the connection's event-handler thread.
    TIntField ReportPauseSpn;
    // How long, in seconds, a write to the broker may wait while none of its
    // bytes move (none taken, none acknowledged, no window probe answered)
    // before it gives up (1 to 3600).
    TIntField WriteStallSpn;
    bool PublishRetainChk = false;
    std::string PublishRetainChkLabel;   // "Retain"
    bool PingTimerChk = false;           // checked
    std::string PingTimerChkLabel;       // "定期的にPING 送信"

    // The protocol version of the connection "Open" makes (MQTT 3.1 by default).
    TChoiceField ProtocolVersionCmb;
    // CONNECT's session flags.
    bool CleanSessionChk = true;
    std::string CleanSessionChkLabel;    // "クリーンセッション"
    bool WillRetainChk = false;
    std::string WillRetainChkLabel;      // "Will Retain"
    // TLS for the connection "Open" makes: off, or on with the CA file (empty:
    // the system's store), the optional client certificate and key, and the
    // broker's name checked against its certificate.
    bool TlsChk = false;
    std::string TlsChkLabel;             // "TLS"
    TTextField TlsCaFileEdit, TlsCertFileEdit, TlsKeyFileEdit;
    bool TlsVerifyHostChk = true;
    std::string TlsVerifyHostChkLabel;   // "サーバー名を検証"
    // What carries the connection: TCP, WebSocket (ws) or WebSocket over TLS
    // (wss: the TLS settings apply whether or not TlsChk is checked; ws with
    // TlsChk checked is wss too). For WebSocket: the path of the upgrade, the
    // subprotocol offered (empty: mqttv3.1 for 3.1, mqtt for 3.1.1 and 5.0)
    // and extra header lines ("Name: value", one per line or separated by
    // the two characters "\n"). A proxy before any of them: none, HTTP
    // CONNECT or SOCKS5, its host and port, and a user and password where it
    // asks for them.
    TChoiceField TransportCmb, ProxyCmb;
    TTextField WsPathEdit, WsSubprotocolEdit, WsHeadersEdit, ProxyHostEdit, ProxyUserEdit, ProxyPasswordEdit;
    TIntField ProxyPortSpn;
    // MQTT 5.0, used on a 5.0 connection only: the properties of each packet the
    // console sends, in the text form of mqtt/codec/PropertyText.h
    // ("session-expiry-interval = 3600; user-property = a=b"), and the reason
    // codes of DISCONNECT, the acknowledgements and AUTH (0 to 255). The
    // acknowledgements' settings go into the PUBACK, PUBREC and PUBCOMP the
    // connection sends by itself and into the console's PUBREL.
    TTextField ConnectPropertiesEdit, WillPropertiesEdit, PublishPropertiesEdit, SubscribePropertiesEdit,
        UnsubscribePropertiesEdit, DisconnectPropertiesEdit, AckPropertiesEdit, AuthPropertiesEdit;
    TIntField DisconnectReasonSpn, AckReasonSpn, AuthReasonSpn;
    // A frame exactly as typed, in hexadecimal (console/form/RawFrame.h): sent
    // with no check by RawSendBtnClick.
    TTextField RawFrameEdit;

    // Enable flags of "Open", "Close" and PingTimerChk; every other button is always enabled.
    bool ConnectBtnEnabled = true;
    bool DisconnectBtnEnabled = false;
    bool PingTimerChkEnabled = false;

    // The ping timer as the form last set it through TFrontEnd::SetPingTimer.
    bool PingTimerEnabled = false;
    int PingTimerInterval = 30000;

    // The connection made by "Open"; none at start and after "Close".
    std::unique_ptr<TMQTTClient> Client;
    // The protocol version the connection was opened with; its frames are built by it.
    TProtocolVersion SessionVersion = TProtocolVersion::MQTT31;
    // What the broker's CONNACK (5.0) said this connection may send; the
    // protocol's defaults until then.
    TBrokerLimits BrokerLimits;
    // The message identifier handed out last; 0 at start.
    int32_t LastMessageID = 0;
    // Waits for the broker's answers; tests shorten them.
    TAnswerTimeouts AnswerTimeouts;
    // Where received payload files go; empty: the working directory.
    std::string PayloadDirectory;
    // How "Open" turns host names into addresses; empty: the system's resolver.
    THostResolver HostResolver;

    // Every diagnostic line of the form and of its connections goes through here:
    // to the datagram sender while FormCreate's sender lives, and to every
    // observer the window or the CLI adds.
    TEventFanOut Events;
    // Told of the frames, the queue, saved messages and a lost connection of every
    // connection "Open" makes from now on; may be none.
    TSessionObserver* SessionObserver = nullptr;

    // The command buttons in their window order.
    std::vector<TCommandInfo> Commands() const;

    // Next message identifier: 1, 2, ..., 65535, then 1 again.
    int32_t NextMessageID();

    void FormCreate();
    void FormDestroy();

    void ConnectBtnClick();           // "Open"
    void DisconnectBtnClick();        // "Close"
    void MQTT_CONNECT_BtnClick();     // "CONNECT"
    void MQTT_PINGREQ_BtnClick();     // "PINGREQ"
    void Button4Click();              // "DISCONNECT"
    void Button2Click();              // "SUBSCRIBE"
    void Button3Click();              // "UNSUBSCRIBE"
    void Button5Click();              // "PUBLISH(str)"
    void Button7Click();              // "PUBLISH(file)"
    void Button6Click();              // "..."
    void Button1Click();              // "Queue 取り出し"
    void MQTT_AUTH_BtnClick();        // "AUTH"
    void RawSendBtnClick();           // "そのまま送信": the bytes of RawFrameEdit
    void TlsCaFileBtnClick();         // "..." of the CA certificates
    void TlsCertFileBtnClick();       // "..." of the client certificate
    void TlsKeyFileBtnClick();        // "..." of the client key
    void PingTimerChkClick();         // PingTimerChk clicked (the window has already toggled PingTimerChk)
    void PingReqIntervalSpnChange();  // the text of PingReqIntervalSpn changed
    void ReportPauseSpnChange();      // the text of ReportPauseSpn changed
    void WriteStallSpnChange();       // the text of WriteStallSpn changed
    void AckPropertiesEditChange();   // the text of AckPropertiesEdit changed
    void AckReasonSpnChange();        // the text of AckReasonSpn changed
    void PingTimerTick();             // one tick of the ping timer

    // Sends the bytes exactly as given through the connection's frame writer
    // (whole, under the write mutex, as every frame), with no check: the line
    // "sending raw frame, N bytes: C0 00 [" + ClientID + "]", then what the
    // bytes decode to. Raises as every send does ("SocketReady check failed").
    void SendRawFrame(const std::vector<uint8_t>& bytes);

    // Runs a handler the way the application does: a raised failure ends it and
    // its message reaches TFrontEnd::ShowError with the full-stop rule applied.
    // A cancel asked for before it starts does not reach it.
    void Run(THandler handler);

    // Ends the running command's wait for the broker at once, as if it had timed
    // out for the last time: "cancelled by the user [" + ClientID + "]", then the
    // command's usual give-up line, and no repeat. A command that is not waiting
    // yet stops at its next wait. "Open" stops its name lookup, connect or TLS
    // handshake at once and closes again, without a box. Safe from any thread
    // while a command runs on another.
    // The cancel is forgotten when the next command starts through Run(), so
    // handlers are run through Run() wherever a cancel can come.
    void CancelWait();
    // The error box text of a failure message: a "." is added when the last
    // character sorts after ".".
    static std::string ErrorBoxText(const std::string& message);

    // Where the shipped data file was found (its folder is the project folder).
    static std::string DefaultDataFilePath();

    // The settings as the connection takes them.
    TProtocolVersion ProtocolVersion() const;
    TTlsConfig TlsConfig() const;
    TTransportKind Transport() const;
    // Raises "WebSocket header: ..." for a header line it cannot send and
    // "proxy host name is empty" for a proxy without one.
    TTransportConfig TransportConfig() const;

private:
    TFrontEnd& FrontEnd;
    const int EventMsgPort;
    std::unique_ptr<TAppEventMsg> EventMsg;
    bool Created = false;
    bool Destroyed = false;
    std::string LastChosenFile;       // the file chooser's proposal; empty until a file was chosen
    // QoS 1 and 2 PUBLISHes of this connection whose flow has not ended.
    std::set<int32_t> UnacknowledgedPublishes;
    // The acknowledgement fields as last handed to the connection.
    std::string SyncedAckFields;

    // A cancel asked for and not yet taken by a command; cleared when a command starts.
    std::atomic<bool> CancelRequested{false};
    // A wait of the running command was ended by the cancel: it repeats nothing more.
    bool WaitCancelled = false;
    // The cancel as "Open" waits for it (beside its sockets).
    TCancelSignal OpenCancel;
    // The frame-arrival event of the wait in progress, which CancelWait signals.
    std::mutex WaitEventLock;
    std::string WaitEventName;

    // Every command on the connection starts here: it also hands the
    // connection the acknowledgement settings the fields hold now.
    TMQTTClient& RequireClient();
    // One diagnostic line; the console always passes 0 and 0.
    void Log(const std::string& message, const char* source);
    // The pause after a reported answer, so the listener keeps the lines in order.
    void Pause();
    void UpdatePingTimer(bool enabled, int intervalMs);
    // Waits for one answer packet of the type (and identifier, when messageID >= 0);
    // false when a wait timed out or was cancelled (WaitCancelled tells which).
    // orType: a second type that also ends the wait (messageID < 0 only).
    bool WaitForAnswer(TFrameWait& wait, int32_t messageType, int32_t messageID, int timeoutMs,
                       std::unique_ptr<TMQTTPacket>& answer, int32_t orType = -1);
    // Reads the fields and builds: false with the builder's reason, or the
    // reason a field reader raised, the frame left empty.
    static bool TryBuild(const std::function<bool(std::string& reason)>& build, std::string& failure);
    // The frame-building failure line, then the field to blame to the front end.
    void BuildFailed(const char* line, const std::string& clientID, TFrameKind kind, const std::string& failure);
    // Builds a frame for dup (false first), sends it and waits for the answer; after
    // each of the first MaxTimeouts time-outs it builds and sends again with dup set.
    // The answer, or none when a frame could not be built, every wait timed out or
    // the wait was cancelled (the lines of texts say which).
    using TBuildFrame = std::function<bool(bool dup, TFrameBuffer& frame, int32_t& frameLen, std::string& reason)>;
    std::unique_ptr<TMQTTPacket> RequestWithRepeats(const FormCommon::TRequestTexts& texts, TFrameKind kind,
                                                    const TBuildFrame& build, int32_t answerType,
                                                    int32_t messageID, int timeoutMs);
    void PublishFlow(bool fromFile);
    // What "Open" gives the connection it makes; raises when the settings ask
    // for what it cannot do (TLS without a TLS transport).
    TMQTTClientOptions ConnectionOptions();
    // The answer's lines beyond those of MQTT 3.1 (nothing under 3.1).
    void ReportExtraLines(const TMQTTPacket& answer);
    // 5.0: a PUBACK, PUBREC or PUBCOMP taken by the console: its reason code
    // and properties, when it has any beyond Success.
    void ReportAckLines(TMQTTPacket& answer);
    // CONNACK's lines; under 5.0 it also sets the broker's limits.
    void ReportConnack(TMQTTPacket& answer);
    // The properties of a field for a frame of this connection: parsed under
    // 5.0 (raises "<what>: <reason>"); none before 5.0, with one note line
    // when note is set and the field holds anything.
    TPropertyList FieldProperties(const TTextField& field, TPacketKind kind, const char* what, bool note);
    // A reason code field: its value under 5.0; 0 before, with a note as above.
    uint8_t FieldReasonCode(const TIntField& field, const char* what, bool note);
    // The acknowledgement settings of the fields (5.0); raises as FieldProperties.
    TAckSettings ReadAckSettings() const;
    // Hands the connection the acknowledgement settings when the fields changed since.
    void SyncAckSettings();
    // One "warning: ... sent anyway" line per limit of the broker that the frame
    // breaks; unacknowledged: the QoS 1 and 2 PUBLISHes open once it is sent (0: none counted).
    void WarnLimits(const uint8_t* frame, int32_t frameLen, const TPropertyList& properties,
                    std::size_t unacknowledged);
    // "..." of a text field that holds a file: the file chooser in the field's
    // folder; a confirmed file goes into the field.
    void ChooseFileInto(TTextField& field);
};
