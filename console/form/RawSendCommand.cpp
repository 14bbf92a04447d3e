#include "console/form/Form1.h"

#include "console/form/FormCommon.h"
#include "console/form/RawFrame.h"
#include "mqtt/engine/MQTTClient.h"

#include <algorithm>

using namespace FormCommon;

// "そのまま送信": the field's bytes, whatever they say. Only text that is no
// hex stops it, and that names the field, as a frame that cannot be built does.
void TForm1::RawSendBtnClick()
{
    std::vector<uint8_t> bytes;
    std::string reason;
    if (!ParseHexBytes(RawFrameEdit.Text, bytes, reason)) {
        const std::string clientID = Client ? Client->ClientID : ClientIDEdit.Text;
        Log(Tagged(("*ERROR* raw frame not sent: " + reason).c_str(), clientID), SourceUnit);
        FrontEnd.ShowFieldError("RawFrameEdit", Sys("16 進で 1 バイト 2 桁ずつ入れてください (") + reason + ")");
        return;
    }
    SendRawFrame(bytes);
}

void TForm1::SendRawFrame(const std::vector<uint8_t>& bytes)
{
    TMQTTClient& client = RequireClient();
    const std::string count = std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
    // A long frame shows its beginning: a datagram holds no more anyway.
    constexpr std::size_t Shown = 64;
    std::string hex = HexBytesText(bytes.data(), std::min(bytes.size(), Shown));
    if (bytes.size() > Shown)
        hex += " ...";
    Log(Tagged(("sending raw frame, " + count + ": " + hex).c_str(), client.ClientID), SourceUnit);
    // The same writer as every frame: whole under the write mutex, and a frame
    // that stops half written closes the connection.
    client.SendFrame(bytes.data(), static_cast<int32_t>(bytes.size()));
    Log(Tagged(("raw frame reads as " + DescribeRawFrames(bytes, SessionVersion)).c_str(), client.ClientID),
        SourceConsole);
}
