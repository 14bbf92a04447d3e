#include "console/form/Form1.h"

#include "console/form/FormCommon.h"
#include "mqtt/engine/MQTTClient.h"

using namespace FormCommon;

namespace {

// The box of a failed "Open": what failed, with the reason as the line gives
// it when TLS, the proxy or the WebSocket upgrade failed; the check of host
// and port otherwise.
std::string OpenFailureText(TOpenFailure kind, const std::string& failure)
{
    // The reason without the line's head: OpenSSL's words.
    auto after = [&](const std::string& head) {
        return failure.rfind(head, 0) == 0 ? failure.substr(head.size()) : std::string();
    };
    const std::string handshake = after("TLS handshake failed: ");
    if (kind == TOpenFailure::TlsCertificate)
        return Sys("ブローカーの証明書を検証できませんでした (TLS): ") + handshake;
    if (!handshake.empty())
        return Sys("TLS ハンドシェイクに失敗しました: ") + handshake;
    if (kind == TOpenFailure::TlsSetup)
        return Sys("TLS の設定を読み込めませんでした: ") + after("TLS set-up failed: ");
    if (kind == TOpenFailure::ProxyRefused)
        return Sys("プロキシが中継を断りました: ") + failure;
    if (kind == TOpenFailure::WebSocketRefused)
        return Sys("ブローカーが WebSocket への切り替えを断りました: ") + failure;
    return Sys("接続に失敗しました。ホスト名とポート番号を確認してください");
}

}  // namespace

// "Open": the TCP connection only; the MQTT session starts with CONNECT.
void TForm1::ConnectBtnClick()
{
    const TMQTTClientOptions options = ConnectionOptions();
    Log("connecting...", SourceConsole);
    const std::string host = BrokerEdit1.Text;
    const int port = BrokerPortSpn.Value();
    const std::string clientID = ClientIDEdit.Text;
    // A second "Open" replaces nothing: the button is disabled while a client lives,
    // and a client still held is closed first so that two never share the form.
    Client.reset();
    // A new connection knows nothing of the broker yet.
    BrokerLimits = TBrokerLimits();
    UnacknowledgedPublishes.clear();
    SyncedAckFields.clear();
    Client = std::make_unique<TMQTTClient>(host, port, clientID, options);
    if (Client->SocketReady) {
        SyncAckSettings();
        DisconnectBtnEnabled = true;
        ConnectBtnEnabled = false;
        PingTimerChkEnabled = true;
        FrontEnd.ControlsChanged();
        return;
    }
    // Cancelled by the user: the line says so, and there is nothing to acknowledge.
    if (Client->OpenFailure() != TOpenFailure::Cancelled && !CancelRequested)
        FrontEnd.ShowMessageBox(Sys("エラー"), OpenFailureText(Client->OpenFailure(), Client->ConnectFailure()), false);
    DisconnectBtnClick();
}

// "Close": also the way back after a failed "Open".
void TForm1::DisconnectBtnClick()
{
    Client.reset();
    Log("disconnected.", SourceConsole);
    DisconnectBtnEnabled = false;
    ConnectBtnEnabled = true;
    UpdatePingTimer(false, PingTimerInterval);
    PingTimerChk = false;
    PingTimerChkEnabled = false;
    FrontEnd.ControlsChanged();
}
