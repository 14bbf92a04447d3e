#include "mqtt/engine/PayloadStore.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "diag/HostUtils.h"
#include "platform/Error.h"
#include "platform/FileHandle.h"

namespace {

std::string FileError(const std::string& what, const std::string& path, int error)
{
    return what + " \"" + path + "\". " + std::strerror(error);
}

// Removes the temporary file on every way out unless it was renamed.
class TTemporaryFile {
public:
    explicit TTemporaryFile(std::string path) : FPath(std::move(path)) {}
    ~TTemporaryFile()
    {
        if (!FPath.empty())
            ::unlink(FPath.c_str());
    }
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;
    const std::string& Path() const { return FPath; }
    void Renamed() { FPath.clear(); }

private:
    std::string FPath;
};

// Gives the temporary file the final name unless that name exists (EEXIST).
// true when it was renamed; after a hard link the caller's guard removes the
// temporary name. false with errno set otherwise.
bool PlaceWithoutReplacing(TTemporaryFile& temporary, const std::string& path,
                           const TPayloadStore::TRenameNoReplace& rename)
{
    if (rename(temporary.Path().c_str(), path.c_str()) == 0) {
        temporary.Renamed();
        return true;
    }
    // File systems without RENAME_NOREPLACE: a hard link refuses an existing name as well.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    return ::link(temporary.Path().c_str(), path.c_str()) == 0;
}

} // namespace

TPayloadStore::TPayloadStore()
    : FNameMaker([] { return MakeUniqueID("Pub_") + ".dat"; })
    , FRename([](const char* from, const char* to) {
        return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    })
{
}

void TPayloadStore::SetRenameNoReplace(TRenameNoReplace rename)
{
    std::lock_guard<std::mutex> guard(FLock);
    FRename = std::move(rename);
}

void TPayloadStore::SetDirectory(const std::string& directory)
{
    std::lock_guard<std::mutex> guard(FLock);
    FDirectory = directory;
}

std::string TPayloadStore::Directory() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FDirectory;
}

void TPayloadStore::SetNameMaker(TNameMaker maker)
{
    std::lock_guard<std::mutex> guard(FLock);
    FNameMaker = std::move(maker);
}

std::string TPayloadStore::Save(const uint8_t* data, int64_t size)
{
    std::string directory;
    TNameMaker makeName;
    TRenameNoReplace rename;
    {
        std::lock_guard<std::mutex> guard(FLock);
        directory = FDirectory;
        makeName = FNameMaker;
        rename = FRename;
    }
    if (!directory.empty() && directory.back() != '/')
        directory += '/';
    // Chosen first, so that every failure names the file the payload was meant for.
    std::string path = directory + makeName();

    // Unique within the process by the counter, across processes by the pid;
    // a stale one left by an earlier process of the same pid is stepped over.
    static std::atomic<uint64_t> serial{0};
    int fd = -1;
    std::string temporaryPath;
    do {
        temporaryPath = directory + kTemporaryPrefix + std::to_string(::getpid()) + "-"
            + std::to_string(++serial) + ".part";
        fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EEXIST);
    if (fd < 0)
        throw Exception(FileError("Cannot create file", path, errno));
    TFileHandle file(fd);
    TTemporaryFile temporary(temporaryPath);

    for (int64_t left = size > 0 ? size : 0; left > 0;) {
        const ssize_t n = ::write(file.Get(), data, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Exception(FileError("Cannot write file", path, errno));
        }
        data += n;
        left -= n;
    }
    // A write may fail only at close (a full or remote file system).
    if (::close(file.Release()) != 0)
        throw Exception(FileError("Cannot write file", path, errno));

    for (int attempt = 1;; ++attempt) {
        if (PlaceWithoutReplacing(temporary, path, rename))
            return path;
        if (errno != EEXIST || attempt >= kNameAttempts)
            throw Exception(FileError("Cannot create file", path, errno));
        path = directory + makeName();
    }
}
