#include "platform/NamedSync.h"

#include "platform/Error.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct TNamedMutex::TObject {
    std::mutex Lock;
    std::condition_variable Released;
    std::thread::id Owner;   // default id: nobody owns it
    unsigned Depth = 0;      // recursion count of the owner
};

struct TNamedEvent::TObject {
    mutable std::mutex Lock;
    std::condition_variable Signalled;
    uint64_t Count = 0;
};

namespace {

// name -> object, held weakly: the handles own the object. The deleter of the
// last handle's reference removes the entry, unless a newer object of the same
// name has taken the slot meanwhile.
template <class T>
class TRegistry {
public:
    std::shared_ptr<T> Open(const std::string& name)
    {
        if (name.empty())
            return std::make_shared<T>();
        std::lock_guard<std::mutex> guard(FLock);
        std::weak_ptr<T>& slot = FObjects[name];
        if (std::shared_ptr<T> existing = slot.lock())
            return existing;
        std::shared_ptr<T> created(new T, [this, name](T* object) {
            Forget(name);
            delete object;
        });
        slot = created;
        return created;
    }

private:
    void Forget(const std::string& name)
    {
        std::lock_guard<std::mutex> guard(FLock);
        auto it = FObjects.find(name);
        if (it != FObjects.end() && it->second.expired())
            FObjects.erase(it);
    }

    std::mutex FLock;
    std::unordered_map<std::string, std::weak_ptr<T>> FObjects;
};

// Never destroyed: handles may still close during static destruction.
TRegistry<TNamedMutex::TObject>& MutexRegistry()
{
    static auto* registry = new TRegistry<TNamedMutex::TObject>;
    return *registry;
}

TRegistry<TNamedEvent::TObject>& EventRegistry()
{
    static auto* registry = new TRegistry<TNamedEvent::TObject>;
    return *registry;
}

// The mutexes the current thread owns. When the thread ends while still
// owning some, they are freed for the next waiter (abandoned), as the system
// does for a thread that dies holding a mutex; otherwise every later waiter
// would time out for ever.
class THeldMutexes {
public:
    void Add(const std::shared_ptr<TNamedMutex::TObject>& object)
    {
        std::erase_if(FHeld, [](const auto& entry) { return entry.second.expired(); });
        FHeld.emplace_back(object.get(), object);
    }

    void Remove(const TNamedMutex::TObject* object)
    {
        auto it = std::find_if(FHeld.begin(), FHeld.end(),
                               [object](const auto& entry) { return entry.first == object; });
        if (it != FHeld.end())
            FHeld.erase(it);
    }

    ~THeldMutexes()
    {
        for (auto& entry : FHeld) {
            std::shared_ptr<TNamedMutex::TObject> object = entry.second.lock();
            if (!object)
                continue;
            {
                std::lock_guard<std::mutex> guard(object->Lock);
                if (object->Owner != FThread)
                    continue;
                object->Owner = std::thread::id();
                object->Depth = 0;
            }
            object->Released.notify_all();
        }
    }

private:
    const std::thread::id FThread = std::this_thread::get_id();
    std::vector<std::pair<const TNamedMutex::TObject*, std::weak_ptr<TNamedMutex::TObject>>> FHeld;
};

thread_local THeldMutexes tHeldMutexes;

} // namespace

// ---- TNamedMutex -------------------------------------------------------------

std::unique_ptr<TNamedMutex> TNamedMutex::CreateOrOpen(const std::string& name)
{
    try {
        return std::unique_ptr<TNamedMutex>(new TNamedMutex(name, MutexRegistry().Open(name)));
    } catch (...) {
        return nullptr;
    }
}

TNamedMutex::TNamedMutex(std::string name, std::shared_ptr<TObject> object)
    : FName(std::move(name)), FObject(std::move(object))
{
}

// Closing a handle does not release an ownership held through it.
TNamedMutex::~TNamedMutex() = default;

TWaitResult TNamedMutex::Wait(int timeoutMs)
{
    TObject& object = *FObject;
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(object.Lock);
    if (object.Owner == self) {
        if (object.Depth == UINT_MAX)
            return TWaitResult::Failed;
        ++object.Depth;
        return TWaitResult::Acquired;
    }
    auto isFree = [&object] { return object.Owner == std::thread::id(); };
    if (timeoutMs < 0)
        object.Released.wait(lock, isFree);
    else if (!object.Released.wait_for(lock, std::chrono::milliseconds(timeoutMs), isFree))
        return TWaitResult::Timeout;
    object.Owner = self;
    object.Depth = 1;
    lock.unlock();
    try {
        tHeldMutexes.Add(FObject);
    } catch (...) {
        // Only the clean-up at thread end is lost; the ownership stands.
    }
    return TWaitResult::Acquired;
}

bool TNamedMutex::Release()
{
    TObject& object = *FObject;
    {
        std::lock_guard<std::mutex> guard(object.Lock);
        if (object.Owner != std::this_thread::get_id() || object.Depth == 0)
            return false;
        if (--object.Depth > 0)
            return true;
        object.Owner = std::thread::id();
    }
    object.Released.notify_all();
    tHeldMutexes.Remove(&object);
    return true;
}

void LockNamedMutex(TNamedMutex& mutex, int timeoutMs)
{
    switch (mutex.Wait(timeoutMs)) {
    case TWaitResult::Failed:
        throw Exception("WaitForSingleObject() failed");
    case TWaitResult::Timeout:
        throw Exception("WaitForSingleObject() timeout");
    case TWaitResult::Acquired:
        break;
    }
}

// ---- TNamedEvent -------------------------------------------------------------

std::unique_ptr<TNamedEvent> TNamedEvent::CreateOrOpen(const std::string& name)
{
    try {
        return std::unique_ptr<TNamedEvent>(new TNamedEvent(name, EventRegistry().Open(name)));
    } catch (...) {
        return nullptr;
    }
}

TNamedEvent::TNamedEvent(std::string name, std::shared_ptr<TObject> object)
    : FName(std::move(name)), FObject(std::move(object))
{
}

TNamedEvent::~TNamedEvent() = default;

uint64_t TNamedEvent::SignalCount() const
{
    std::lock_guard<std::mutex> guard(FObject->Lock);
    return FObject->Count;
}

void TNamedEvent::Set()
{
    {
        std::lock_guard<std::mutex> guard(FObject->Lock);
        ++FObject->Count;
    }
    FObject->Signalled.notify_all();
}

bool TNamedEvent::WaitForSignalAfter(uint64_t count, int timeoutMs)
{
    TObject& object = *FObject;
    std::unique_lock<std::mutex> lock(object.Lock);
    auto signalled = [&object, count] { return object.Count > count; };
    if (timeoutMs < 0) {
        object.Signalled.wait(lock, signalled);
        return true;
    }
    if (timeoutMs == 0)
        return signalled();
    return object.Signalled.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled);
}
