#include "diag/AppEventMsg.h"

#include "platform/HostName.h"
#include "platform/Random.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

[[noreturn]] void Fail(const char* text, int error)
{
    throw EAppEventMsg(std::string(text) + std::to_string(error));
}

} // namespace

namespace {

// value zero-padded to width digits, as "%0<width>d" writes it.
void AppendPadded(std::string& text, int value, int width)
{
    if (value < 0) {
        char buffer[16];
        const int n = std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
        text.append(buffer, static_cast<std::size_t>(n));
        return;
    }
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = n; i < width; ++i)
        text += '0';
    while (n > 0)
        text += digits[--n];
}

int64_t SecondOf(const TLocalDateTime& when)
{
    return ((((int64_t{when.Year} * 13 + when.Month) * 32 + when.Day) * 24 + when.Hour) * 60 + when.Minute) * 60
        + when.Second;
}

} // namespace

std::string FormatEventTime(const TLocalDateTime& when)
{
    std::string text;
    text.reserve(19);
    AppendPadded(text, when.Year, 4);
    text += '/';
    AppendPadded(text, when.Month, 2);
    text += '/';
    AppendPadded(text, when.Day, 2);
    text += ' ';
    AppendPadded(text, when.Hour, 2);
    text += '.';
    AppendPadded(text, when.Minute, 2);
    text += '.';
    AppendPadded(text, when.Second, 2);
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
    std::string text;
    text.reserve(48 + hostName.size() + source.size() + std::min(message.size(), EventMessageCutLength));
    text += FormatEventTime(when);
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
    const std::string hostName = HostNameFor(now);
    const std::string text = BuildEventText(now, randomNumber, hostName, source, n1, n2, message);

    std::shared_lock lock(Lock);
    if (const int error = Socket.SendTo(text.data(), text.size(), Destination); error != 0)
        Fail("SendTo failed. stat = ", error);
}

void TAppEventMsg::SendEventMsgs(const std::vector<TEventMessage>& lines)
{
    const TLocalDateTime now = NowLocal();
    std::vector<std::string> texts;
    texts.reserve(lines.size());
    for (const TEventMessage& line : lines)
        texts.push_back(
            BuildEventText(now, Random(99999), HostNameFor(now), std::string(line.Source), line.N1, line.N2, line.Message));
    SendTexts(texts);
}

void TAppEventMsg::SendEventRecords(const TEventRecord* records, std::size_t count)
{
    if (count == 1) {
        SendEventMsgAt(records->Time, records->Message, records->Source, records->N1, records->N2);
        return;
    }
    std::vector<std::string> texts;
    texts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const TEventRecord& r = records[i];
        texts.push_back(BuildEventText(r.Time, Random(99999), HostNameFor(r.Time), r.Source, r.N1, r.N2, r.Message));
    }
    SendTexts(texts);
}

void TAppEventMsg::SendTexts(const std::vector<std::string>& texts)
{
    std::shared_lock lock(Lock);
    std::size_t sent = 0;
    // One datagram per text; a failed one ends the batch with its error.
    if (const int error = Socket.SendToMany(texts.data(), texts.size(), Destination, sent); error != 0)
        Fail("SendTo failed. stat = ", error);
}

std::string TAppEventMsg::HostNameFor(const TLocalDateTime& when)
{
    const int64_t second = SecondOf(when);
    std::lock_guard guard(FHostLock);
    if (second != FHostSecond || FHostName.empty()) {
        std::string name;
        GetLocalHostName(name);
        FHostName = std::move(name);
        FHostSecond = second;
    }
    return FHostName;
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
