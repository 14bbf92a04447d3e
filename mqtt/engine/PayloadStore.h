#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// Saves received payloads as "Pub_<stamp><5 digits>.dat" files in the payload
// directory. A payload is written under a temporary name in that directory and
// gets its "Pub_" name only when every byte is written and the file is closed,
// so a "Pub_" file is always complete. An existing name is never replaced: the
// final name is taken with a rename that refuses to replace (or, where the file
// system refuses such a rename, a hard link), and a name that exists already
// makes the store draw a new one.
//
// What a saved file survives: the end of this process at any moment (a crash,
// a kill) - the system has every byte, and a "Pub_" name never shows a part of
// a payload. It is not flushed to the disk (no fsync) before it is named and
// acknowledged, so a crash of the machine or a power loss shortly after may
// lose it or leave it empty under its name. An fsync of the file and of its
// folder costs about 8 ms per message on an ordinary disk, fifty times the
// whole save, which a console receiving thousands of messages cannot pay.
class TPayloadStore {
public:
    // Makes the file name (without directory); MakeUniqueID("Pub_") + ".dat" by default.
    using TNameMaker = std::function<std::string()>;
    // Gives a file a name that must not exist yet: 0, or -1 with errno set
    // (EEXIST: the name exists; EINVAL, ENOSYS or EOPNOTSUPP: the file system
    // cannot rename without replacing). renameat2(RENAME_NOREPLACE) by default.
    using TRenameNoReplace = std::function<int(const char* from, const char* to)>;

    TPayloadStore();

    // Empty means the working directory. Safe from any thread.
    void SetDirectory(const std::string& directory);
    std::string Directory() const;
    void SetNameMaker(TNameMaker maker);
    void SetRenameNoReplace(TRenameNoReplace rename);

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
    TRenameNoReplace FRename;
};
