// tarnwick-log-listener: prints the event-message datagrams that Tarnwick sends
// to 127.0.0.1 port 2056, one readable line per datagram.
//
// One thread only receives (into memory), another converts and prints, so a
// slow terminal never makes the socket buffer overflow during a burst.

#include "diag/EventLine.h"
#include "platform/CodePage.h"
#include "platform/Error.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int DefaultPort = 2056;
constexpr std::size_t QueueByteLimit = 256u * 1024 * 1024;

struct TOptions {
    int Port = DefaultPort;
    bool AllFields = false;
    std::string CodePageName;      // empty: the locale's
    std::string Colour = "auto";
};

void Usage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: tarnwick-log-listener [options]\n"
                 "Prints Tarnwick's event messages (UDP on 127.0.0.1) one line each.\n"
                 "\n"
                 "  --port N          UDP port to listen on (default %d; 0 picks a free one)\n"
                 "  --all             also print the random number, host name and the two numbers\n"
                 "  --codepage NAME   code page of the sender's texts (default: the locale's), e.g. CP932\n"
                 "  --color WHEN      colour failure lines: auto (default), always, never\n"
                 "  --help            this text\n"
                 "\n"
                 "Lines with *ERROR* or *EXCEPTIN* stand out on a colour terminal (NO_COLOR turns colour off).\n"
                 "Ends on Ctrl-C or SIGTERM.\n",
                 DefaultPort);
}

bool ParsePort(const char* text, int& port)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

// 0 to run, otherwise the exit code (after printing the reason).
int ParseOptions(int argc, char** argv, TOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarnwick-log-listener: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return -1;
        } else if (arg == "--all") {
            options.AllFields = true;
        } else if (arg == "--port") {
            const char* text = value("--port");
            if (!text)
                return 2;
            if (!ParsePort(text, options.Port)) {
                std::fprintf(stderr, "tarnwick-log-listener: bad port: %s\n", text);
                return 2;
            }
        } else if (arg == "--codepage") {
            const char* text = value("--codepage");
            if (!text)
                return 2;
            options.CodePageName = text;
        } else if (arg == "--color" || arg == "--colour") {
            const char* text = value("--color");
            if (!text)
                return 2;
            options.Colour = text;
            if (options.Colour != "auto" && options.Colour != "always" && options.Colour != "never") {
                std::fprintf(stderr, "tarnwick-log-listener: --color takes auto, always or never\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "tarnwick-log-listener: unknown option: %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    return 0;
}

bool UseColour(const std::string& when)
{
    if (when == "always")
        return true;
    if (when == "never")
        return false;
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour != nullptr && noColour[0] != '\0')
        return false;
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::strcmp(term, "dumb") == 0)
        return false;
    return isatty(STDOUT_FILENO) != 0;
}

// Datagrams between the receiving and the printing thread.
class TDatagramQueue {
public:
    void Push(const char* data, std::size_t size)
    {
        {
            std::lock_guard lock(Lock);
            if (Bytes + size > QueueByteLimit) {
                ++Dropped;
                return;
            }
            Items.emplace_back(data, size);
            Bytes += size;
        }
        Ready.notify_one();
    }

    void Finish()
    {
        {
            std::lock_guard lock(Lock);
            Finished = true;
        }
        Ready.notify_one();
    }

    // Everything waiting, or false once finished and empty.
    bool TakeAll(std::deque<std::string>& items, std::size_t& dropped)
    {
        std::unique_lock lock(Lock);
        Ready.wait(lock, [this] { return !Items.empty() || Finished; });
        if (Items.empty())
            return false;
        items.swap(Items);
        Bytes = 0;
        dropped = Dropped;
        Dropped = 0;
        return true;
    }

private:
    std::mutex Lock;
    std::condition_variable Ready;
    std::deque<std::string> Items;
    std::size_t Bytes = 0;
    std::size_t Dropped = 0;
    bool Finished = false;
};

void Receive(int socket, int stopEvent, TDatagramQueue& queue)
{
    std::vector<char> buffer(65536);
    pollfd fds[2] = {{socket, POLLIN, 0}, {stopEvent, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("tarnwick-log-listener: poll");
            return;
        }
        if (fds[1].revents != 0)
            return;
        for (;;) {
            const ssize_t size = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (size < 0)
                break;
            queue.Push(buffer.data(), static_cast<std::size_t>(size));
        }
    }
}

// Turns the sender's bytes into the terminal's encoding.
class TTerminalText {
public:
    TTerminalText(bool terminalUTF8, const std::string& terminalName, bool sameAsSender)
        : TerminalUTF8(terminalUTF8), PassThrough(!terminalUTF8 && sameAsSender)
    {
        if (!TerminalUTF8 && !PassThrough)
            FromUTF8 = iconv_open((terminalName + "//TRANSLIT").c_str(), "UTF-8");
    }
    ~TTerminalText()
    {
        if (FromUTF8 != reinterpret_cast<iconv_t>(-1))
            iconv_close(FromUTF8);
    }
    TTerminalText(const TTerminalText&) = delete;
    TTerminalText& operator=(const TTerminalText&) = delete;

    bool UTF8() const { return TerminalUTF8; }

    std::string Convert(const std::string& datagram)
    {
        if (PassThrough)
            return datagram;
        std::string utf8 = CodePage::SystemToUTF8(datagram);
        if (TerminalUTF8 || FromUTF8 == reinterpret_cast<iconv_t>(-1))
            return utf8;
        // A terminal in neither the sender's code page nor UTF-8: what it cannot show becomes '?'.
        std::string out;
        iconv(FromUTF8, nullptr, nullptr, nullptr, nullptr);
        char* in = utf8.data();
        std::size_t inLeft = utf8.size();
        char chunk[256];
        while (inLeft > 0) {
            char* outp = chunk;
            std::size_t outLeft = sizeof chunk;
            const std::size_t result = iconv(FromUTF8, &in, &inLeft, &outp, &outLeft);
            out.append(chunk, outp - chunk);
            if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
                out += '?';
                ++in;
                --inLeft;
                while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
                    ++in;
                    --inLeft;
                }
            }
        }
        return out;
    }

private:
    bool TerminalUTF8;
    bool PassThrough;
    iconv_t FromUTF8 = reinterpret_cast<iconv_t>(-1);
};

std::atomic<bool> OutputFailed{false};

void Print(TDatagramQueue& queue, TTerminalText& terminal, const TEventLineFormat& format)
{
    std::deque<std::string> items;
    std::size_t dropped = 0;
    while (queue.TakeAll(items, dropped)) {
        if (dropped > 0)
            std::fprintf(stderr, "tarnwick-log-listener: %zu datagrams dropped (queue full)\n", dropped);
        for (const std::string& datagram : items) {
            if (OutputFailed.load())
                continue;   // keep draining so that the receiver is never held up
            std::string line = FormatEventLine(terminal.Convert(datagram), format);
            line += '\n';
            if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
                // The reader went away (a closed pipe): stop the whole program.
                OutputFailed.store(true);
                ::kill(::getpid(), SIGTERM);
            }
        }
        items.clear();
    }
}

int OpenListenSocket(int port, int& boundPort)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("tarnwick-log-listener: socket");
        return -1;
    }
    // A large buffer rides out bursts from several threads of the sender.
    const int size = 8 * 1024 * 1024;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "tarnwick-log-listener: cannot listen on 127.0.0.1 port %d: %s\n", port,
                     std::strerror(errno));
        ::close(fd);
        return -1;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    TOptions options;
    if (const int code = ParseOptions(argc, argv, options); code != 0)
        return code < 0 ? 0 : code;

    // The terminal shows the locale's character set; the sender's code page is the
    // locale's too unless --codepage says otherwise.
    const std::string terminalName = CodePage::Name();
    const bool terminalUTF8 = CodePage::IsUTF8();
    if (!options.CodePageName.empty()) {
        try {
            CodePage::Set(options.CodePageName);
        } catch (const Exception& e) {
            std::fprintf(stderr, "tarnwick-log-listener: %s\n", e.what());
            return 2;
        }
    }
    const bool sameCodePage = CodePage::Name() == terminalName;

    // Signals are taken by sigwait below, never by the working threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    int boundPort = 0;
    const int socket = OpenListenSocket(options.Port, boundPort);
    if (socket < 0)
        return 1;
    const int stopEvent = ::eventfd(0, EFD_CLOEXEC);
    if (stopEvent < 0) {
        std::perror("tarnwick-log-listener: eventfd");
        return 1;
    }

    TEventLineFormat format;
    format.AllFields = options.AllFields;
    format.Colour = UseColour(options.Colour);
    format.UTF8 = terminalUTF8;
    TTerminalText terminal(terminalUTF8, terminalName, sameCodePage);

    TDatagramQueue queue;
    std::thread receiver(Receive, socket, stopEvent, std::ref(queue));
    std::thread printer(Print, std::ref(queue), std::ref(terminal), format);
    std::fprintf(stderr, "tarnwick-log-listener: listening on 127.0.0.1 port %d (code page %s)\n", boundPort,
                 CodePage::Name().c_str());

    sigset_t stopSignals = signals;
    sigdelset(&stopSignals, SIGPIPE);
    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }

    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopEvent, &one, sizeof one);
    receiver.join();
    queue.Finish();
    printer.join();
    ::close(stopEvent);
    ::close(socket);
    return OutputFailed.load() ? 1 : 0;
}
