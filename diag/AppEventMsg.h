#pragma once

#include "diag/EventSink.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/UdpSocket.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

// The diagnostic log: every reported step goes out as one UDP datagram of
// seven fields joined by ":" to a log listener (127.0.0.1 port 2056 in the
// program). Nothing is ever received.

class EAppEventMsg : public Exception {
public:
    using Exception::Exception;
};

// The message field is cut when it has this many bytes or more.
constexpr std::size_t EventMessageCutLength = 200;
// The assembled text never exceeds this many bytes.
constexpr std::size_t EventTextMaxLength = 2000;

// "2024/05/01 09.15.42": fixed separators, whatever the locale says.
std::string FormatEventTime(const TLocalDateTime& when);
// The message field: unchanged below 200 bytes, else its first 197 bytes and "...".
std::string CutEventMessage(const std::string& message);
// The datagram text: time stamp, random number, host name, source name, the two
// numbers and the (cut) message, joined by ":", at most 2000 bytes.
std::string BuildEventText(const TLocalDateTime& when, int randomNumber, const std::string& hostName,
                           const std::string& source, int n1, int n2, const std::string& message);

class TAppEventMsg : public TEventSink {
public:
    TAppEventMsg(int port, const std::string& address);   // seeds the generator
    ~TAppEventMsg() override;                              // closes a socket still open
    TAppEventMsg(const TAppEventMsg&) = delete;
    TAppEventMsg& operator=(const TAppEventMsg&) = delete;

    void StartupWinsock();
    void OpenSocket();
    void SendEventMsg(const std::string& message, const std::string& source, int n1, int n2) override;
    // One datagram per line still, all handed to the system in one call.
    void SendEventMsgs(const std::vector<TEventMessage>& lines) override;
    // The same with the time stamp taken by the caller.
    void SendEventMsgAt(const TLocalDateTime& when, const std::string& message, const std::string& source, int n1,
                        int n2);
    // Lines with their time stamps taken by the caller (the fan-out's records).
    void SendEventRecords(const TEventRecord* records, std::size_t count);
    void GetLocalHostName(std::string& name);
    void CloseSocket();
    void CleanupWinsock();

    // The prepared destination (valid after OpenSocket), in network byte order.
    uint32_t DestinationAddress() const;
    uint16_t DestinationPort() const;

private:
    // The host name for a datagram stamped `when`: looked up once per second
    // of the time stamps, not for every datagram, so that a renamed host shows
    // from the next second on. Raises as GetLocalHostName does.
    std::string HostNameFor(const TLocalDateTime& when);
    void SendTexts(const std::vector<std::string>& texts);

    const int Port;
    const std::string Address;
    // Sends share the lock; opening and closing take it alone, so a close never
    // pulls the socket from under a send running on another thread.
    mutable std::shared_mutex Lock;
    sockaddr_in Destination{};
    TUdpSocket Socket;

    std::mutex FHostLock;
    std::string FHostName;
    int64_t FHostSecond = -1;   // the time stamp's second the name was looked up for
};
