#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Named mutexes and events shared by name inside the process.
//
// Every handle opened with one name reaches the same object for as long as at
// least one handle of that name is open; when the last handle closes the
// object ceases to exist, and the next CreateOrOpen makes it anew. An empty
// name gives a private object that no other handle can reach. Mutex names and
// event names are separate: a mutex and an event may carry the same name.

enum class TWaitResult { Acquired, Timeout, Failed };

class TNamedMutex {
public:
    // nullptr when the object cannot be made.
    static std::unique_ptr<TNamedMutex> CreateOrOpen(const std::string& name);
    ~TNamedMutex();
    TNamedMutex(const TNamedMutex&) = delete;
    TNamedMutex& operator=(const TNamedMutex&) = delete;

    // Waits up to timeoutMs (negative: no limit, 0: just try). Recursive for
    // the owning thread: each Acquired needs one Release. A mutex whose owner
    // thread ended while holding it is handed to the next waiter as Acquired.
    TWaitResult Wait(int timeoutMs);
    // false when the calling thread does not own the mutex.
    bool Release();

    const std::string& Name() const { return FName; }

    struct TObject;

private:
    TNamedMutex(std::string name, std::shared_ptr<TObject> object);
    std::string FName;
    std::shared_ptr<TObject> FObject;
};

// Waits at most timeoutMs for the mutex; raises "WaitForSingleObject() failed"
// or "WaitForSingleObject() timeout".
void LockNamedMutex(TNamedMutex& mutex, int timeoutMs);

// An event that counts its signals. Set() counts one signal and wakes every
// thread waiting at that moment. A waiter first takes SignalCount() and then
// waits for a count above it, so no signal given after the reading is lost,
// and a signal given before it does not end the wait.
class TNamedEvent {
public:
    static std::unique_ptr<TNamedEvent> CreateOrOpen(const std::string& name);
    ~TNamedEvent();
    TNamedEvent(const TNamedEvent&) = delete;
    TNamedEvent& operator=(const TNamedEvent&) = delete;

    uint64_t SignalCount() const;
    void Set();
    // true as soon as SignalCount() > count; false when timeoutMs passed first.
    // timeoutMs < 0: no limit; 0: only looks.
    bool WaitForSignalAfter(uint64_t count, int timeoutMs);

    const std::string& Name() const { return FName; }

    struct TObject;

private:
    TNamedEvent(std::string name, std::shared_ptr<TObject> object);
    std::string FName;
    std::shared_ptr<TObject> FObject;
};
