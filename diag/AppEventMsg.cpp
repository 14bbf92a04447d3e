#include "diag/AppEventMsg.h"

#include "platform/HostName.h"
#include "platform/Random.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>

namespace {

[[noreturn]] void Fail(const char* text, int error)
{
    throw EAppEventMsg(std::string(text) + std::to_string(error));
}

} // namespace

std::string FormatEventTime(const TLocalDateTime& when)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d.%02d.%02d", when.Year, when.Month, when.Day,
                  when.Hour, when.Minute, when.Second);
    return text;
}

std::string CutEventMessage(const std::string& message)
{
    if (message.size() < EventMessageCutLength)
        return message;
    return message.substr(0, EventMessageCutLength - 3) + "...";
}

std::string BuildEventText(const TLocalDateTime& when, int randomNumber, const std::string& hostName,
                           const std::string& source, int n1, int n2, const std::string& message)
{
    std::string text = FormatEventTime(when);
    text += ':';
    text += std::to_string(randomNumber);
    text += ':';
    text += hostName;
    text += ':';
    text += source;
    text += ':';
    text += std::to_string(n1);
    text += ':';
    text += std::to_string(n2);
    text += ':';
    text += CutEventMessage(message);
    // The send buffer holds 2000 bytes of text; an overlong source name must not overrun it.
    if (text.size() > EventTextMaxLength)
        text.resize(EventTextMaxLength);
    return text;
}

TAppEventMsg::TAppEventMsg(int port, const std::string& address) : Port(port), Address(address)
{
    Randomize();
}

TAppEventMsg::~TAppEventMsg()
{
    // RAII: a socket the owner forgot to close is not leaked.
    std::unique_lock lock(Lock);
    Socket.Close();
}

void TAppEventMsg::StartupWinsock()
{
    // The socket library needs no start-up here; "WSAStartup failed." and
    // "Invalid WinSock version." cannot occur.
}

void TAppEventMsg::OpenSocket()
{
    std::unique_lock lock(Lock);
    if (const int error = Socket.Open(); error != 0)
        Fail("Create Socket failed. stat = ", error);
    if (const int error = Socket.SetBroadcast(true); error != 0)
        Fail("SetSockOpt call failed. stat = ", error);
    Destination = sockaddr_in{};
    Destination.sin_family = AF_INET;
    // Not checked: a text that is no dotted address yields 255.255.255.255, the
    // limited broadcast address, which the broadcast permission allows.
    Destination.sin_addr.s_addr = inet_addr(Address.c_str());
    Destination.sin_port = htons(static_cast<uint16_t>(Port));
}

void TAppEventMsg::SendEventMsg(const std::string& message, const std::string& source, int n1, int n2)
{
    SendEventMsgAt(NowLocal(), message, source, n1, n2);
}

void TAppEventMsg::SendEventMsgAt(const TLocalDateTime& now, const std::string& message, const std::string& source,
                                  int n1, int n2)
{
    const int randomNumber = Random(99999);
    std::string hostName;
    GetLocalHostName(hostName);
    const std::string text = BuildEventText(now, randomNumber, hostName, source, n1, n2, message);

    std::shared_lock lock(Lock);
    if (const int error = Socket.SendTo(text.data(), text.size(), Destination); error != 0)
        Fail("SendTo failed. stat = ", error);
}

void TAppEventMsg::GetLocalHostName(std::string& name)
{
    if (const int error = LookupHostName(name); error != 0)
        Fail("GetHostName failed. stat = ", error);
}

void TAppEventMsg::CloseSocket()
{
    std::unique_lock lock(Lock);
    if (!Socket.IsOpen())
        Fail("CloseSocket call failed. stat = ", EBADF);
    if (const int error = Socket.Close(); error != 0)
        Fail("CloseSocket call failed. stat = ", error);
}

void TAppEventMsg::CleanupWinsock()
{
    // Nothing to release.
}

uint32_t TAppEventMsg::DestinationAddress() const
{
    std::shared_lock lock(Lock);
    return Destination.sin_addr.s_addr;
}

uint16_t TAppEventMsg::DestinationPort() const
{
    std::shared_lock lock(Lock);
    return Destination.sin_port;
}
