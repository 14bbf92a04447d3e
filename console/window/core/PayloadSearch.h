#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Looks for a text in whole payload files on a thread of its own, so that a
// filter over many large payloads never holds up the window: the window asks,
// and is told of the files that hold the text as they are found. One search at
// a time: a new one replaces the one running. A file is read a chunk at a time,
// each chunk beginning with the last bytes of the one before (the overlap), so
// that a text across the cut is found too.
class TPayloadSearch {
public:
    // Whether a chunk of a payload holds the text. Called on the search thread.
    using TMatcher = std::function<bool(std::string_view chunk)>;
    // Of search number `search`: files found to hold the text (by key), and
    // whether every file asked for has been read. Called on the search thread;
    // a report of a search already replaced may still come, so callers compare
    // the number.
    using TReport = std::function<void(uint64_t search, std::vector<uint64_t> found, bool done)>;

    struct TFile {
        uint64_t Key = 0;
        std::string Path;
        uint64_t From = 0;   // the bytes before this were looked at already
    };

    explicit TPayloadSearch(TReport report, std::size_t chunkBytes = 1 << 20);
    ~TPayloadSearch();
    TPayloadSearch(const TPayloadSearch&) = delete;
    TPayloadSearch& operator=(const TPayloadSearch&) = delete;

    // Starts a search of these files (the running one ends unreported); its
    // number. A search of no files reports nothing until files are added.
    uint64_t Start(TMatcher matcher, std::size_t overlap, std::vector<TFile> files);
    // More files for the running search (payloads that came after it began); it
    // reports done again once they are read. Nothing when no search runs.
    void Add(std::vector<TFile> files);
    // Ends the running search.
    void Cancel();

private:
    void Loop();
    bool Holds(const TFile& file, const TMatcher& matcher, std::size_t overlap, uint64_t search) const;

    const TReport FReport;
    const std::size_t FChunkBytes;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TFile> FFiles;
    TMatcher FMatcher;
    std::size_t FOverlap = 0;
    uint64_t FSearch = 0;                 // under FLock
    std::atomic<uint64_t> FCurrent{0};    // the running search's number, for the reading loop
    bool FStopping = false;
    std::thread FWorker;
};
