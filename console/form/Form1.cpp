#include "console/form/Form1.h"

#include "console/form/BuildFailure.h"
#include "console/form/FieldTable.h"
#include "console/form/FormCommon.h"
#include "diag/AppEventMsg.h"
#include "diag/HostUtils.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/Error.h"
#include "platform/Thread.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>

using namespace FormCommon;

// ---- integer fields ----

int TIntField::Value() const
{
    // Blanks around the number are tolerated; anything else makes it no number.
    std::size_t begin = 0, end = Text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(Text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(Text[end - 1])))
        --end;
    if (begin == end)
        return Min;
    const char* first = Text.data() + begin;
    const char* last = Text.data() + end;
    if (*first == '+')
        ++first;
    long long value = 0;
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ptr != last || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return Min;
    if (ec == std::errc::result_out_of_range)   // a run of digits too long for any integer
        return (*first == '-') ? Min : Max;
    return static_cast<int>(std::clamp<long long>(value, Min, Max));
}

void TIntField::SetValue(int value)
{
    Text = std::to_string(std::clamp(value, Min, Max));
}

void TIntField::Clamp()
{
    Text = std::to_string(Value());
}

// ---- the form ----

TForm1::TForm1(TFrontEnd& frontEnd, int eventMsgPort) : FrontEnd(frontEnd), EventMsgPort(eventMsgPort)
{
    Caption = Sys("Tarnwick テストプログラム");
    // Labels, defaults and limits come from the one table the window and scripts use too.
    for (const TControlInfo& row : Controls) {
        if (row.Text)
            this->*row.Text = TTextField{Sys(row.Label), row.Default ? Sys(row.Default) : std::string(), row.Masked};
        else if (row.Int)
            this->*row.Int = TIntField{Sys(row.Label), std::to_string(row.Initial), row.Min, row.Max};
        else if (row.Choice) {
            TChoiceField& choice = this->*row.Choice;
            choice = TChoiceField{Sys(row.Label), {}, row.Initial};
            for (const char* item : row.Items)
                choice.Items.push_back(Sys(item));
        }
        if (row.Check)
            this->*row.Check = row.Initial != 0;
        if (row.CheckLabel)
            this->*row.CheckLabel = Sys(row.Label);
    }
    PublishDataFileEdit.Text = DefaultDataFilePath();
}

TForm1::~TForm1()
{
    if (Created && !Destroyed) {
        try {
            FormDestroy();
        } catch (const std::exception&) {
            // The window is gone; there is nobody left to tell.
        }
    }
    // A client left over (FormCreate never ran) still ends cleanly here.
    Client.reset();
}

std::vector<TCommandInfo> TForm1::Commands() const
{
    return {
        {"ConnectBtn", Sys("Open"), &TForm1::ConnectBtnClick},
        {"DisconnectBtn", Sys("Close"), &TForm1::DisconnectBtnClick},
        {"MQTT_CONNECT_Btn", Sys("CONNECT"), &TForm1::MQTT_CONNECT_BtnClick},
        {"Button4", Sys("DISCONNECT"), &TForm1::Button4Click},
        {"MQTT_PINGREQ_Btn", Sys("PINGREQ"), &TForm1::MQTT_PINGREQ_BtnClick},
        {"Button2", Sys("SUBSCRIBE"), &TForm1::Button2Click},
        {"Button3", Sys("UNSUBSCRIBE"), &TForm1::Button3Click},
        {"Button5", Sys("PUBLISH(str)"), &TForm1::Button5Click},
        {"Button7", Sys("PUBLISH(file)"), &TForm1::Button7Click},
        {"Button6", Sys("..."), &TForm1::Button6Click},
        {"Button1", Sys("Queue 取り出し"), &TForm1::Button1Click},
        {"TlsCaFileBtn", Sys("..."), &TForm1::TlsCaFileBtnClick},
        {"TlsCertFileBtn", Sys("..."), &TForm1::TlsCertFileBtnClick},
        {"TlsKeyFileBtn", Sys("..."), &TForm1::TlsKeyFileBtnClick},
        {"MQTT_AUTH_Btn", Sys("AUTH"), &TForm1::MQTT_AUTH_BtnClick},
        {"RawSendBtn", Sys("そのまま送信"), &TForm1::RawSendBtnClick},
    };
}

int32_t TForm1::NextMessageID()
{
    ++LastMessageID;
    if (LastMessageID > 65535)
        LastMessageID = 1;
    return LastMessageID;
}

void TForm1::FormCreate()
{
    Created = true;
    EventMsg = std::make_unique<TAppEventMsg>(EventMsgPort, "127.0.0.1");
    // Installed at once, so that a sender that failed to start makes every later
    // line fail with its own message.
    Events.SetSender(EventMsg.get());
    EventMsg->StartupWinsock();
    EventMsg->OpenSocket();
    Log("FormCreate: program start.. ", SourceConsole);
    ClientIDEdit.Text = MakeDefaultClientID();
    FrontEnd.ControlsChanged();
}

void TForm1::FormDestroy()
{
    if (Destroyed)
        return;
    Destroyed = true;
    // An open connection ends here, while its disconnect line can still be sent:
    // its threads are stopped and its socket closed before the sender goes.
    Client.reset();
    if (!EventMsg)
        return;
    // The sender is uninstalled and freed whatever the closing steps raise.
    struct TUninstall {
        TEventFanOut& Events;
        std::unique_ptr<TAppEventMsg>& Sender;
        ~TUninstall()
        {
            if (Events.Sender() == Sender.get())
                Events.SetSender(nullptr);
            Sender.reset();
        }
    } uninstall{Events, EventMsg};
    EventMsg->CloseSocket();
    EventMsg->CleanupWinsock();
}

TMQTTClient& TForm1::RequireClient()
{
    // Without a connection a command has nothing to send through; it stops the
    // way a command on a closed connection does.
    if (!Client)
        throw Exception("SocketReady check failed");
    // A field edited since the last command counts from this command on.
    SyncAckSettings();
    return *Client;
}

void TForm1::Log(const std::string& message, const char* source)
{
    Events.SendEventMsg(message, source, 0, 0);
}

void TForm1::CancelWait()
{
    CancelRequested = true;
    OpenCancel.Cancel();
    std::string eventName;
    {
        std::lock_guard lock(WaitEventLock);
        eventName = WaitEventName;
    }
    if (eventName.empty())
        return;   // no wait in progress: the next one sees the flag before it waits
    try {
        SignalNamedEvent(eventName);   // every waiter wakes and looks again
    } catch (const std::exception&) {
        // The flag stays set: the wait ends at its time-out and repeats nothing.
    }
}

bool TForm1::TryBuild(const std::function<bool(std::string& reason)>& build, std::string& failure)
{
    try {
        return build(failure);
    } catch (const std::exception& e) {   // a field reader's reason, or an allocation failure
        failure = e.what();
        return false;
    }
}

void TForm1::BuildFailed(const char* line, const std::string& clientID, TFrameKind kind, const std::string& failure)
{
    Log(Tagged(line, clientID), SourceUnit);
    const TFieldError error = FieldErrorOf(kind, failure, *this);
    if (error.Controls.empty())
        FrontEnd.ShowFieldError({}, error.Reason);
    for (const std::string& control : error.Controls)
        FrontEnd.ShowFieldError(control, error.Reason);
}

void TForm1::Pause()
{
    if (const int ms = ReportPauseSpn.Value(); ms > 0)
        SleepMs(ms);
}

void TForm1::ReportPauseSpnChange()
{
    if (Client)
        Client->SetLinePause(ReportPauseSpn.Value());
}

// ---- ping timer ----

void TForm1::UpdatePingTimer(bool enabled, int intervalMs)
{
    if (enabled == PingTimerEnabled && intervalMs == PingTimerInterval)
        return;
    PingTimerEnabled = enabled;
    PingTimerInterval = intervalMs;
    FrontEnd.SetPingTimer(enabled, intervalMs);
}

void TForm1::PingTimerChkClick()
{
    UpdatePingTimer(PingTimerChk, PingReqIntervalSpn.Value() * 1000);
}

void TForm1::PingReqIntervalSpnChange()
{
    UpdatePingTimer(PingTimerEnabled, PingReqIntervalSpn.Value() * 1000);
}

void TForm1::PingTimerTick()
{
    MQTT_PINGREQ_BtnClick();
}

// ---- file chooser ----

void TForm1::Button6Click()
{
    std::string dir, file;
    const std::string& proposal = LastChosenFile.empty() ? DefaultDataFilePath() : LastChosenFile;
    const std::size_t slash = proposal.find_last_of('/');
    if (slash == std::string::npos) {
        file = proposal;
    } else {
        dir = proposal.substr(0, slash == 0 ? 1 : slash);
        file = proposal.substr(slash + 1);
    }
    std::string chosen;
    if (!FrontEnd.ChooseFile(dir, file, chosen))
        return;
    LastChosenFile = chosen;
    PublishDataFileEdit.Text = chosen;
    FrontEnd.ControlsChanged();
}

namespace {

bool IsRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExecutableDir()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string TForm1::DefaultDataFilePath()
{
    static const char* const FileName = "SamplePublishData1.dat";
    std::vector<std::string> dirs;
    const std::string exeDir = ExecutableDir();
    if (!exeDir.empty())
        dirs.push_back(exeDir + "/../share/tarnwick");
#ifdef TARNWICK_INSTALL_DATA_DIR
    dirs.push_back(TARNWICK_INSTALL_DATA_DIR);
#endif
#ifdef TARNWICK_SOURCE_DATA_DIR
    dirs.push_back(TARNWICK_SOURCE_DATA_DIR);
#endif
    for (const std::string& dir : dirs) {
        const std::string path = dir + "/" + FileName;
        if (IsRegularFile(path)) {
            char resolved[PATH_MAX];
            if (::realpath(path.c_str(), resolved))
                return resolved;
            return path;
        }
    }
    // Nothing found: propose where an installation keeps it.
    return (dirs.size() > 1 ? dirs[1] : dirs.empty() ? std::string(".") : dirs[0]) + "/" + FileName;
}

// ---- failures ----

std::string TForm1::ErrorBoxText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}

void TForm1::Run(THandler handler)
{
    // A cancel belongs to the command that was running when it was asked for.
    CancelRequested = false;
    OpenCancel.Reset();
    WaitCancelled = false;
    try {
        (this->*handler)();
    } catch (const std::exception& e) {
        FrontEnd.ShowError(ErrorBoxText(e.what()));
    }
}
