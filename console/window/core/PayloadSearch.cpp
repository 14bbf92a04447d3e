#include "console/window/core/PayloadSearch.h"

#include "platform/FileHandle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

TPayloadSearch::TPayloadSearch(TReport report, std::size_t chunkBytes)
    : FReport(std::move(report)), FChunkBytes(std::max<std::size_t>(chunkBytes, 1))
{
}

TPayloadSearch::~TPayloadSearch()
{
    {
        std::lock_guard lock(FLock);
        FStopping = true;
        FFiles.clear();
        FCurrent = 0;
    }
    FWake.notify_all();
    if (FWorker.joinable())
        FWorker.join();
}

uint64_t TPayloadSearch::Start(TMatcher matcher, std::size_t overlap, std::vector<TFile> files)
{
    uint64_t search = 0;
    {
        std::lock_guard lock(FLock);
        search = ++FSearch;
        FCurrent = search;
        FMatcher = std::move(matcher);
        FOverlap = overlap;
        FFiles.assign(std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
        if (!FWorker.joinable())
            FWorker = std::thread([this] { Loop(); });
    }
    FWake.notify_all();
    return search;
}

void TPayloadSearch::Add(std::vector<TFile> files)
{
    {
        std::lock_guard lock(FLock);
        if (FCurrent == 0 || files.empty())
            return;
        for (TFile& file : files)
            FFiles.push_back(std::move(file));
    }
    FWake.notify_all();
}

void TPayloadSearch::Cancel()
{
    std::lock_guard lock(FLock);
    FFiles.clear();
    FCurrent = 0;
}

void TPayloadSearch::Loop()
{
    std::unique_lock lock(FLock);
    for (;;) {
        FWake.wait(lock, [this] { return FStopping || !FFiles.empty(); });
        if (FStopping)
            return;
        const uint64_t search = FSearch;
        const TMatcher matcher = FMatcher;
        const std::size_t overlap = FOverlap;
        while (!FFiles.empty() && FSearch == search && !FStopping) {
            const TFile file = std::move(FFiles.front());
            FFiles.pop_front();
            lock.unlock();
            const bool holds = Holds(file, matcher, overlap, search);
            lock.lock();
            // A search replaced while its file was read says nothing more.
            if (holds && FSearch == search && FCurrent == search) {
                lock.unlock();
                FReport(search, {file.Key}, false);
                lock.lock();
            }
        }
        if (FSearch == search && FCurrent == search && FFiles.empty() && !FStopping) {
            lock.unlock();
            FReport(search, {}, true);
            lock.lock();
        }
    }
}

// Reads the file from a little before From, a chunk at a time, until the text
// is found, the file ends or the search is replaced.
bool TPayloadSearch::Holds(const TFile& file, const TMatcher& matcher, std::size_t overlap, uint64_t search) const
{
    TFileHandle fd(::open(file.Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return false;
    uint64_t offset = file.From > overlap ? file.From - overlap : 0;
    std::string chunk;
    std::size_t kept = 0;   // bytes at the chunk's start carried over from the one before
    for (;;) {
        if (FCurrent.load() != search)
            return false;
        chunk.resize(kept + FChunkBytes);
        const ssize_t n = ::pread(fd.Get(), chunk.data() + kept, FChunkBytes, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        offset += static_cast<uint64_t>(n);
        chunk.resize(kept + static_cast<std::size_t>(n));
        if (matcher(chunk))
            return true;
        kept = std::min(overlap, chunk.size());
        chunk.erase(0, chunk.size() - kept);
    }
}
