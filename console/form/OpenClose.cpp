#include "console/form/Form1.h"

#include "console/form/FormCommon.h"
#include "mqtt/engine/MQTTClient.h"

using namespace FormCommon;

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
    FrontEnd.ShowMessageBox(Sys("エラー"), Sys("接続に失敗しました。ホスト名とポート番号を確認してください"), false);
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
