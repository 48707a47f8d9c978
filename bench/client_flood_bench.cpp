// minimap-client end to end: the program as it runs, fed by a flood server in this process,
// beside the raw loopback rate of the same bytes measured in the same run.
//
//   ClientFlood.<n>.<mode>/os        minimap-client (--poll off, --view lines or --events
//                                    jsonl, standard output read here) with n NPC markers in
//                                    its stores, fed 103-byte Set NPC messages that change a
//                                    marker already present, as fast as loopback takes them.
//                                    Time: wall time per message, from the first byte sent to
//                                    the client's line for the QueryEnd sent after the last.
//                                    Counters: cpu_ns_per_msg (the client's CPU time, all its
//                                    threads, per message), bytes_per_msg (its standard output
//                                    per message), msgs_per_s.
//   ClientFlood.<n>.<mode>/loopback  the same bytes through a loopback TCP connection to a
//                                    reader that discards them, in big reads and writes.
//
// One iteration is one client started, filled with its n markers, flooded and stopped.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/MiniMapProtocol.h"
#include "server/SimMessages.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

/// Messages per flood: long enough that the CPU clock's resolution does not matter.
constexpr std::size_t kFlood = 300000;

std::vector<char> SetNpc(std::size_t index, std::size_t serial) {
    sim::SyncItem item;
    item.op = proto::MiniMapSyncOp::Set;
    char name[16];
    std::snprintf(name, sizeof name, "NPC-%06zu", index);
    // Ids of the same width at every size, and a position that changes at every Set of the
    // same marker (997 is prime to every store size here), so that every Set changes it.
    item.npcRecord = proto::MakeNpc(1000000 + index, name, static_cast<float>(serial % 997), 5.0f,
                                    static_cast<std::int32_t>(index % 6), -1);
    return sim::EncodeSync(item);
}

void Append(std::vector<char>& to, const std::vector<char>& message) {
    to.insert(to.end(), message.begin(), message.end());
}

/// Runs on a thread of its own: a failure (the peer gone) shows as the reader's.
void WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, std::min<std::size_t>(size, 1 << 18), MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

int Listen(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect on loopback");
    }
    return fd;
}

/// CPU time of every thread of `pid` so far, in nanoseconds (the scheduler's own count).
std::uint64_t CpuNs(pid_t pid) {
    std::uint64_t total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) {
        return 0;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
        std::uint64_t ns = 0;
        if (in >> ns) {
            total += ns;
        }
    }
    ::closedir(dir);
    return total;
}

/// minimap-client with its standard output on a pipe read here.
class ClientProcess {
public:
    ClientProcess(std::uint16_t port, bool jsonl) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const std::string server = "127.0.0.1:" + std::to_string(port);
        std::vector<std::string> args = {MINIMAP_CLIENT, "--server", server, "--poll", "off"};
        if (jsonl) {
            args.insert(args.end(), {"--events", "jsonl"});
        } else {
            args.insert(args.end(), {"--view", "lines"});
        }
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int error =
            posix_spawn(&pid, MINIMAP_CLIENT, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        fd = out[0];
        if (error != 0) {
            throw std::runtime_error("cannot start " MINIMAP_CLIENT);
        }
    }
    ~ClientProcess() {
        ::kill(pid, SIGTERM);
        Drain();
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(fd);
    }

    /// Reads standard output until `count` more lines name QueryFinished; returns the bytes
    /// read.
    std::size_t ReadUntilQueryFinished(int count) {
        static const std::string kWord = "QueryFinished";
        std::size_t bytes = 0;
        while (count > 0) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0) {
                throw std::runtime_error("the client stopped writing");
            }
            bytes += static_cast<std::size_t>(n);
            // The word may straddle two reads: keep the tail of the last one.
            tail.append(buffer.data(), static_cast<std::size_t>(n));
            for (std::size_t at = tail.find(kWord); at != std::string::npos;
                 at = tail.find(kWord, at + kWord.size())) {
                --count;
            }
            tail.erase(0, tail.size() > kWord.size() ? tail.size() - kWord.size() + 1 : 0);
        }
        return bytes;
    }

    pid_t Pid() const { return pid; }

private:
    void Drain() {
        while (::read(fd, buffer.data(), buffer.size()) > 0) {
        }
    }

    pid_t pid = -1;
    int fd = -1;
    std::vector<char> buffer = std::vector<char>(1 << 18);
    std::string tail;
};

void ClientFlood(benchmark::State& state, std::size_t markers, bool jsonl) {
    std::vector<char> fill;
    for (std::size_t i = 0; i < markers; ++i) {
        Append(fill, SetNpc(i, i));
    }
    Append(fill, sim::EncodeQueryEnd());
    std::vector<char> flood;
    for (std::size_t k = 0; k < kFlood; ++k) {
        Append(flood, SetNpc(k % markers, markers + k));
    }
    Append(flood, sim::EncodeQueryEnd());

    double cpuNs = 0;
    double outputBytes = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::uint16_t port = 0;
        const int listener = Listen(port);
        ClientProcess client(port, jsonl);
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
        if (connection < 0) {
            state.SkipWithError("the client did not connect");
            break;
        }
        // From another thread: the client's output must be read meanwhile, or both wait.
        std::thread filler([&] { WriteAll(connection, fill.data(), fill.size()); });
        client.ReadUntilQueryFinished(1);
        filler.join();

        const std::uint64_t cpuBefore = CpuNs(client.Pid());
        const auto start = Clock::now();
        std::thread writer([&] { WriteAll(connection, flood.data(), flood.size()); });
        const std::size_t bytes = client.ReadUntilQueryFinished(1);
        const auto end = Clock::now();
        const std::uint64_t cpuAfter = CpuNs(client.Pid());
        writer.join();
        ::close(connection);

        const double elapsed = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(elapsed / kFlood);
        seconds += elapsed;
        cpuNs += static_cast<double>(cpuAfter - cpuBefore);
        outputBytes += static_cast<double>(bytes);
    }
    const double messages = static_cast<double>(kFlood) * static_cast<double>(state.iterations());
    state.counters["cpu_ns_per_msg"] = cpuNs / messages;
    state.counters["bytes_per_msg"] = outputBytes / messages;
    state.counters["msgs_per_s"] = messages / seconds;
}

void Loopback(benchmark::State& state, std::size_t markers) {
    std::vector<char> flood;
    for (std::size_t k = 0; k < kFlood; ++k) {
        Append(flood, SetNpc(k % markers, markers + k));
    }
    double seconds = 0;
    for (auto _ : state) {
        std::uint16_t port = 0;
        const int listener = Listen(port);
        const int writerFd = Connect(port);
        const int readerFd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
        std::vector<char> buffer(1 << 18);
        const auto start = Clock::now();
        std::thread writer([&] { WriteAll(writerFd, flood.data(), flood.size()); });
        std::size_t got = 0;
        while (got < flood.size()) {
            const ssize_t n = ::read(readerFd, buffer.data(), buffer.size());
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        const auto end = Clock::now();
        writer.join();
        ::close(writerFd);
        ::close(readerFd);
        const double elapsed = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(elapsed / kFlood);
        seconds += elapsed;
    }
    state.counters["msgs_per_s"] =
        static_cast<double>(kFlood) * static_cast<double>(state.iterations()) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    for (const std::size_t markers : {std::size_t{100}, std::size_t{20000}, std::size_t{100000}}) {
        for (const bool jsonl : {false, true}) {
            const std::string figure =
                "ClientFlood." + std::to_string(markers) + (jsonl ? ".jsonl" : ".lines");
            benchmark::RegisterBenchmark((figure + "/os").c_str(), ClientFlood, markers, jsonl)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kNanosecond);
            benchmark::RegisterBenchmark((figure + "/loopback").c_str(), Loopback, markers)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kNanosecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
