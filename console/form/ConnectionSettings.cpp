#include "console/form/Form1.h"

#include "console/form/FieldTable.h"
#include "console/form/FormCommon.h"
#include "console/form/TextCompare.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/ClientSocket.h"
#include "platform/CodePage.h"
#include "platform/Error.h"
#include "platform/WebSocketHandshake.h"

#include <algorithm>

using namespace FormCommon;

// ---- choices ----

namespace {

// Words of an item: separated by blanks, brackets taken off ("(MQIsdp)" is MQIsdp).
bool HasWord(std::string_view item, std::string_view word)
{
    std::size_t i = 0;
    while (i < item.size()) {
        while (i < item.size() && (item[i] == ' ' || item[i] == '(' || item[i] == ')'))
            ++i;
        std::size_t end = i;
        while (end < item.size() && item[end] != ' ' && item[end] != '(' && item[end] != ')')
            ++end;
        if (end > i && EqualsNoCase(item.substr(i, end - i), word))
            return true;
        i = end;
    }
    return false;
}

}  // namespace

int TChoiceField::Chosen() const
{
    return Index >= 0 && static_cast<std::size_t>(Index) < Items.size() ? Index : 0;
}

const std::string& TChoiceField::Text() const
{
    static const std::string none;
    return Items.empty() ? none : Items[static_cast<std::size_t>(Chosen())];
}

int TChoiceField::Find(std::string_view text) const
{
    for (std::size_t i = 0; i < Items.size(); ++i)
        if (EqualsNoCase(Items[i], text))
            return static_cast<int>(i);
    int found = -1;
    for (std::size_t i = 0; i < Items.size(); ++i) {
        if (!text.empty() && HasWord(Items[i], text)) {
            if (found >= 0)
                return -1;   // more than one item has it: the text does not choose
            found = static_cast<int>(i);
        }
    }
    return found;
}

// ---- the connection's settings ----

TProtocolVersion TForm1::ProtocolVersion() const
{
    return AllProtocolVersions[static_cast<std::size_t>(ProtocolVersionCmb.Chosen())];
}

TTlsConfig TForm1::TlsConfig() const
{
    TTlsConfig tls;
    tls.Enabled = TlsChk || Transport() == TTransportKind::WebSocketTls;
    tls.CaFile = TlsCaFileEdit.Text;
    tls.CertFile = TlsCertFileEdit.Text;
    tls.KeyFile = TlsKeyFileEdit.Text;
    tls.VerifyHostName = TlsVerifyHostChk;
    return tls;
}

TTransportKind TForm1::Transport() const
{
    return static_cast<TTransportKind>(TransportCmb.Chosen());
}

TTransportConfig TForm1::TransportConfig() const
{
    // The wire takes UTF-8 (hosts and header values are ASCII in practice).
    auto utf8 = [](const TTextField& field) { return CodePage::SystemToUTF8(field.Text); };
    TTransportConfig transport;
    TWebSocketConfig& ws = transport.WebSocket;
    ws.Enabled = Transport() != TTransportKind::Tcp;
    if (ws.Enabled) {
        ws.Path = utf8(WsPathEdit);
        ws.Subprotocol = utf8(WsSubprotocolEdit);
        if (ws.Subprotocol.empty())
            ws.Subprotocol = ProtocolVersion() == TProtocolVersion::MQTT31 ? "mqttv3.1" : "mqtt";
        std::string problem;
        if (!ParseHeaderLines(utf8(WsHeadersEdit), ws.Headers, problem))
            throw Exception("WebSocket header: " + CodePage::UTF8ToSystem(problem));
    }
    TProxyConfig& proxy = transport.Proxy;
    proxy.Kind = static_cast<TProxyKind>(ProxyCmb.Chosen());
    if (proxy.Kind != TProxyKind::None) {
        proxy.Host = utf8(ProxyHostEdit);
        if (proxy.Host.find_first_not_of(" \t") == std::string::npos)
            throw Exception("proxy host name is empty");
        proxy.Port = ProxyPortSpn.Value();
        proxy.User = utf8(ProxyUserEdit);
        proxy.Password = utf8(ProxyPasswordEdit);
    }
    return transport;
}

TMQTTClientOptions TForm1::ConnectionOptions()
{
    TMQTTClientOptions options;
    options.PayloadDirectory = PayloadDirectory;
    options.Sink = &Events;
    options.Observer = SessionObserver;
    options.LinePauseMs = ReportPauseSpn.Value();
    options.Version = ProtocolVersion();
    options.Tls = TlsConfig();
    options.Transport = TransportConfig();
    options.WriteStallMs = WriteStallSpn.Value() * 1000;
    options.Cancel = &OpenCancel;
    options.Resolver = HostResolver;
    SessionVersion = options.Version;
    return options;
}

// ---- file choosers of the TLS files ----

void TForm1::ChooseFileInto(TTextField& field)
{
    std::string dir, file;
    const std::size_t slash = field.Text.find_last_of('/');
    if (slash == std::string::npos) {
        file = field.Text;
    } else {
        dir = field.Text.substr(0, slash == 0 ? 1 : slash);
        file = field.Text.substr(slash + 1);
    }
    std::string chosen;
    if (!FrontEnd.ChooseFile(dir, file, chosen))
        return;
    field.Text = chosen;
    FrontEnd.ControlsChanged();
}

void TForm1::TlsCaFileBtnClick()
{
    ChooseFileInto(TlsCaFileEdit);
}

void TForm1::TlsCertFileBtnClick()
{
    ChooseFileInto(TlsCertFileEdit);
}

void TForm1::TlsKeyFileBtnClick()
{
    ChooseFileInto(TlsKeyFileEdit);
}

void TForm1::WriteStallSpnChange()
{
    if (Client)
        Client->SetWriteStall(WriteStallSpn.Value() * 1000);
}
