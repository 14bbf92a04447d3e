#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// Saves received payloads as "Pub_<stamp><5 digits>.dat" files in the payload
// directory. A payload is written under a temporary name in that directory and
// gets its "Pub_" name only when every byte is written and the file is closed,
// so a "Pub_" file is always complete. An existing name is never replaced: the
// final name is taken with a rename that refuses to replace (or a hard link),
// and a name that exists already makes the store draw a new one.
class TPayloadStore {
public:
    // Makes the file name (without directory); MakeUniqueID("Pub_") + ".dat" by default.
    using TNameMaker = std::function<std::string()>;

    TPayloadStore();

    // Empty means the working directory. Safe from any thread.
    void SetDirectory(const std::string& directory);
    std::string Directory() const;
    void SetNameMaker(TNameMaker maker);

    // Writes the payload and returns the path of the complete file. Raises
    // "Cannot create file \"<path>\". <reason>" or "Cannot write file \"<path>\".
    // <reason>" naming the "Pub_" path it was meant for; the temporary file is
    // removed then, and no "Pub_" file is left behind.
    std::string Save(const uint8_t* data, int64_t size);

    // Names drawn for one payload before the store gives up.
    static constexpr int kNameAttempts = 100;
    // Temporary files start with this; they never start with "Pub_".
    static constexpr const char* kTemporaryPrefix = ".tarnwick-";

private:
    mutable std::mutex FLock;
    std::string FDirectory;
    TNameMaker FNameMaker;
};
