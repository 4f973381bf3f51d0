// Echo round trips on loopback against the command server (CCommandTask at the daemon's
// log level 2) and against a bare recvfrom/sendto loop in the same run, with their ratio;
// also the cost of building a message and of its dump.
#include "orvexMon.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>

namespace {

std::string makeTempDir() {
    std::string tmpl = "/tmp/orvexmon-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        abort();
    return tmpl;
}

const std::string& benchDir() {
    static const std::string dir = makeTempDir();
    return dir;
}

sockaddr_in loopback(uint16_t nPort) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int boundSocket(uint16_t nPort) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in addr = loopback(nPort);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        abort();
    timeval timeout = {2, 0};  // a lost datagram fails the run instead of hanging it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    return fd;
}

uint16_t portOf(int fd) {
    sockaddr_in addr;
    socklen_t n = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &n);
    return ntohs(addr.sin_port);
}

uint16_t freePort() {
    const int fd = boundSocket(0);
    const uint16_t nPort = portOf(fd);
    ::close(fd);
    return nPort;
}

struct CEchoRequest {
    CEchoRequest() : msg(CMD_ECHO_REQUEST, 0, 0, nullptr, nullptr) { msg.hostToNet(); }
    const void* data() const { return &msg; }
    CMsgProcess msg;
};

// True once the port answers an echo request, polling for up to 5 seconds.
bool answers(uint16_t nPort) {
    const CEchoRequest request;
    const int fd = boundSocket(0);
    const sockaddr_in server = loopback(nPort);
    bool bAnswered = false;
    for (int i = 0; i < 50 && !bAnswered; ++i) {
        ::sendto(fd, request.data(), 53, 0, reinterpret_cast<const sockaddr*>(&server),
                 sizeof(server));
        pollfd pfd = {fd, POLLIN, 0};
        char reply[2048];
        bAnswered = ::poll(&pfd, 1, 100) == 1 && ::recv(fd, reply, sizeof(reply), 0) == 53;
    }
    ::close(fd);
    return bAnswered;
}

// Sends an echo request and waits for the reply, state.iterations() times.
void roundTrips(benchmark::State& state, uint16_t nPort) {
    const CEchoRequest request;
    const int fd = boundSocket(0);
    const sockaddr_in server = loopback(nPort);
    char reply[2048];
    for (auto _ : state) {
        ::sendto(fd, request.data(), 53, 0, reinterpret_cast<const sockaddr*>(&server),
                 sizeof(server));
        if (::recv(fd, reply, sizeof(reply), 0) != 53) {
            state.SkipWithError("no echo reply");
            break;
        }
    }
    ::close(fd);
    state.counters["roundtrips/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ServerEcho(benchmark::State& state) {
    utl_CreateLog(benchDir(), 2, "OrvexMonBench");
    CProcessMng::m_nProcessExit = 0;
    const uint16_t nPort = freePort();
    CCommandTask task(nPort);
    task.open();
    if (!answers(nPort))
        state.SkipWithError("the command server did not start");
    else
        roundTrips(state, nPort);
    CProcessMng::m_nProcessExit = 1;
    task.wait();
}
BENCHMARK(BM_ServerEcho)->UseRealTime()->MinTime(3.0);

// The least any UDP echo server can do: receive, answer the sender, nothing else.
void BM_BareEcho(benchmark::State& state) {
    const int fd = boundSocket(0);
    const uint16_t nPort = portOf(fd);
    std::thread echo([fd] {
        CMsgProcess reply(CMD_ECHO_REPLY, 0, 0, nullptr, nullptr);
        reply.hostToNet();
        char buffer[2048];
        for (;;) {
            sockaddr_in from;
            socklen_t n = sizeof(from);
            const ssize_t nRecv =
                ::recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &n);
            if (nRecv == 1)
                return;  // the end mark
            if (nRecv > 0)
                ::sendto(fd, &reply, 53, 0, reinterpret_cast<const sockaddr*>(&from), n);
        }
    });
    roundTrips(state, nPort);
    const int end = boundSocket(0);
    const sockaddr_in server = loopback(nPort);
    ::sendto(end, "x", 1, 0, reinterpret_cast<const sockaddr*>(&server), sizeof(server));
    echo.join();
    ::close(end);
    ::close(fd);
}
BENCHMARK(BM_BareEcho)->UseRealTime()->MinTime(3.0);

void BM_BuildEchoReply(benchmark::State& state) {
    for (auto _ : state) {
        CMsgProcess reply(CMD_ECHO_REPLY, 0, 0, nullptr, nullptr);
        reply.hostToNet();
        benchmark::DoNotOptimize(&reply);
    }
}
BENCHMARK(BM_BuildEchoReply);

void BM_HexDump53(benchmark::State& state) {
    const CEchoRequest request;
    for (auto _ : state) {
        ACE_CString dump =
            CMsgProcess::hexToString(static_cast<const unsigned char*>(request.data()), 53);
        benchmark::DoNotOptimize(dump.c_str());
    }
}
BENCHMARK(BM_HexDump53);

// Prints as usual and keeps the round-trip rates for the ratio at the end. For a steadier
// figure on a shared machine: --benchmark_repetitions=5
// --benchmark_enable_random_interleaving=true (the median is used).
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto it = run.counters.find("roundtrips/s");
            // With --benchmark_repetitions the median is reported last and is the one kept.
            const bool bOther = run.run_type == Run::RT_Aggregate && run.aggregate_name != "median";
            if (it != run.counters.end() && !run.error_occurred && !bOther)
                m_mapRate[run.run_name.function_name] = it->second.value;
        }
    }
    std::map<std::string, double> m_mapRate;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto server = reporter.m_mapRate.find("BM_ServerEcho");
    const auto bare = reporter.m_mapRate.find("BM_BareEcho");
    if (server != reporter.m_mapRate.end() && bare != reporter.m_mapRate.end())
        printf("echo round trips/s: server %.0f, bare loop %.0f, bare/server %.2f (goal <= 1.5)\n",
               server->second, bare->second, bare->second / server->second);
    const std::string cmd = "rm -rf '" + benchDir() + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
