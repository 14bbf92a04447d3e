#pragma once

// A scratch directory that holds at most a given number of bytes, for tests of
// a full disk: a tmpfs of that size mounted on it when the process may mount
// (root), else a plain directory with the process's file-size limit
// (RLIMIT_FSIZE, SIGXFSZ ignored) set to that size while the object lives.
// Ready() is false when neither works; skip the test then.

#include <sys/mount.h>
#include <sys/resource.h>

#include <dirent.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>

class TSmallFileSystem {
public:
    explicit TSmallFileSystem(int64_t bytes)
    {
        std::string pattern = "/tmp/tarnwick-small-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            return;
        FPath = pattern;
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", FPath.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
            FMounted = true;
            FHow = "tmpfs of " + std::to_string(bytes) + " bytes";
            return;
        }
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &FOldLimit) != 0)
            return;
        limit = FOldLimit;
        limit.rlim_cur = static_cast<rlim_t>(bytes);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return;
        FOldSignal = std::signal(SIGXFSZ, SIG_IGN);
        FLimited = true;
        FHow = "file-size limit of " + std::to_string(bytes) + " bytes";
    }
    ~TSmallFileSystem()
    {
        if (FLimited) {
            ::setrlimit(RLIMIT_FSIZE, &FOldLimit);
            std::signal(SIGXFSZ, FOldSignal);
        }
        if (FPath.empty())
            return;
        if (FMounted)
            ::umount2(FPath.c_str(), MNT_DETACH);
        if (DIR* dir = ::opendir(FPath.c_str())) {
            while (dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..")
                    ::unlink((FPath + "/" + name).c_str());
            }
            ::closedir(dir);
        }
        ::rmdir(FPath.c_str());
    }
    TSmallFileSystem(const TSmallFileSystem&) = delete;
    TSmallFileSystem& operator=(const TSmallFileSystem&) = delete;

    bool Ready() const { return FMounted || FLimited; }
    const std::string& Path() const { return FPath; }
    // What limits it, for messages.
    const std::string& How() const { return FHow; }

private:
    std::string FPath;
    std::string FHow;
    bool FMounted = false;
    bool FLimited = false;
    rlimit FOldLimit{};
    void (*FOldSignal)(int) = SIG_DFL;
};
