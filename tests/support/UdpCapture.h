#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A UDP listener a test owns: bound to 127.0.0.1 on a free port, with a large
// receive buffer and a background thread that collects every datagram.
// Point the code under test at Port(), then WaitFor(...) the datagrams you
// expect; waits end on arrival (condition variable), never on a fixed sleep.
class UdpCapture {
public:
    UdpCapture();             // binds and starts collecting; raises std::runtime_error on failure
    ~UdpCapture();
    UdpCapture(const UdpCapture&) = delete;
    UdpCapture& operator=(const UdpCapture&) = delete;

    int Port() const { return BoundPort; }

    // True once the predicate holds for the datagrams received so far (checked
    // now and at every arrival); false when the time-out passes first.
    bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& predicate, int timeoutMs);
    // True once at least count datagrams have arrived.
    bool WaitForCount(std::size_t count, int timeoutMs);
    // True once some datagram's message (7th field) contains text.
    bool WaitForMessage(const std::string& text, int timeoutMs);

    std::vector<std::string> Datagrams() const;   // every datagram so far, in arrival order
    std::vector<std::string> Messages() const;    // their 7th fields
    std::vector<std::string> Sources() const;     // their 4th fields
    std::size_t Count() const;
    void Clear();                                 // forget what has arrived so far

    // Field 1..7 of an event-message datagram, split at the first six colons;
    // "" when the datagram has fewer fields.
    static std::string Field(const std::string& datagram, int number);

private:
    void Run();

    int Socket = -1;
    int StopEvent = -1;
    int BoundPort = 0;
    mutable std::mutex Lock;
    std::condition_variable Arrived;
    std::vector<std::string> Received;
    std::thread Collector;
};
