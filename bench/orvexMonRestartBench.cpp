// The real daemon in a sandbox install: how long a killed AccessBroker stays down (kill to
// a new live process of that name, 20 kills), and what the daemon costs at rest over a
// minute (CPU time of all its threads, proportional set size) with 2000 other processes.
// Runs only where the build's system file lies in the build tree, never over a real one.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string s_strHome;
pid_t s_nDaemon = -1;
std::vector<pid_t> s_vecFillers;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void reapAll() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Live pid of the process named name, or -1.
pid_t livePid(const char* name) {
    pid_t found = -1;
    DIR* pDir = opendir("/proc");
    while (const dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
        const pid_t pid = atoi(pEntry->d_name);
        if (pid <= 0)
            continue;
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size())
            continue;
        if (stat.compare(open + 1, close - open - 1, name) == 0 && stat[close + 2] != 'Z') {
            found = pid;
            break;
        }
    }
    if (pDir)
        closedir(pDir);
    return found;
}

bool isWatched(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(s_nDaemon) + "/fdinfo/";
    bool bFound = false;
    DIR* pDir = opendir(dir.c_str());
    while (const dirent* pEntry = pDir ? readdir(pDir) : nullptr)
        bFound |= readFile(dir + pEntry->d_name).find("\nPid:\t" + std::to_string(pid) + "\n") !=
                  std::string::npos;
    if (pDir)
        closedir(pDir);
    return bFound;
}

template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        reapAll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

int freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool startDaemon() {
    const std::string strSys = ORVEXMON_BENCH_SYSTEM_CONF;
    if (strSys.rfind(ORVEXMON_BENCH_BUILD_DIR "/", 0) != 0)
        return false;
    char szDir[] = "/tmp/orvexmon-restart-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return false;
    s_strHome = szDir;
    std::error_code ec;
    fs::create_directories(fs::path(strSys).parent_path(), ec);
    fs::create_directories(s_strHome + "/conf", ec);
    std::ofstream(strSys) << "INSTALL_DIR=" << s_strHome << "\n";
    std::ofstream(s_strHome + "/conf/Orvex.conf")
        << "COMMAND_PORT=" << freeUdpPort() << "\nLOG_CLEAN_HOUR=23\n";
    std::ofstream(s_strHome + "/conf/OrvexCustom.xml") << "<OrvexCustom/>\n";
    fs::create_symlink(ORVEXMON_BENCH_BINARY, s_strHome + "/OrvexMon", ec);
    fs::copy_file(ORVEXMON_BENCH_STANDIN, s_strHome + "/AccessBroker", ec);

    const pid_t launcher = fork();
    if (launcher == 0) {
        if (chdir(s_strHome.c_str()) == 0)
            execl("./OrvexMon", "./OrvexMon", static_cast<char*>(nullptr));
        _exit(127);
    }
    waitpid(launcher, nullptr, 0);
    // The daemon is a child of ours once its parents are gone: we are a subreaper.
    return waitUntil(
        [] {
            s_nDaemon = livePid("OrvexMon");
            const pid_t service = livePid("AccessBroker");
            return s_nDaemon > 0 && service > 0 && isWatched(service);
        },
        std::chrono::seconds(15));
}

void BM_KillToRestart(benchmark::State& state) {
    std::vector<double> vecMs;
    for (auto _ : state) {
        // An exit-triggered restart waits 5 s before it may start the same name again.
        std::this_thread::sleep_for(std::chrono::milliseconds(5200));
        const pid_t old = livePid("AccessBroker");
        if (old <= 0 || !waitUntil([&] { return isWatched(old); }, std::chrono::seconds(10))) {
            state.SkipWithError("AccessBroker is not watched");
            break;
        }
        const auto start = Clock::now();
        kill(old, SIGKILL);
        if (!waitUntil(
                [&] {
                    const pid_t now = livePid("AccessBroker");
                    return now > 0 && now != old;
                },
                std::chrono::seconds(10))) {
            state.SkipWithError("AccessBroker did not come back");
            break;
        }
        const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(dSeconds);
        vecMs.push_back(dSeconds * 1000);
    }
    if (vecMs.empty())
        return;
    std::sort(vecMs.begin(), vecMs.end());
    state.counters["min_ms"] = vecMs.front();
    state.counters["median_ms"] = vecMs[vecMs.size() / 2];
    state.counters["max_ms"] = vecMs.back();
}
BENCHMARK(BM_KillToRestart)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// CPU time of every thread of pid in nanoseconds, from schedstat.
long long cpuNs(pid_t pid) {
    long long nTotal = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task/";
    DIR* pDir = opendir(dir.c_str());
    while (const dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
        if (pEntry->d_name[0] != '.')
            nTotal += atoll(readFile(dir + pEntry->d_name + "/schedstat").c_str());
    }
    if (pDir)
        closedir(pDir);
    return nTotal;
}

void BM_IdleMinute(benchmark::State& state) {
    for (int i = 0; i < 2000; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;)
                pause();
        }
        s_vecFillers.push_back(pid);
    }
    for (auto _ : state) {
        const long long nStart = cpuNs(s_nDaemon);
        std::this_thread::sleep_for(std::chrono::seconds(60));
        state.counters["cpu_ms"] = static_cast<double>(cpuNs(s_nDaemon) - nStart) / 1e6;
    }
    const std::string rollup = readFile("/proc/" + std::to_string(s_nDaemon) + "/smaps_rollup");
    const size_t at = rollup.find("\nPss:");
    if (at != std::string::npos)
        state.counters["pss_kb"] = atof(rollup.c_str() + at + 5);
    state.counters["processes"] = static_cast<double>(s_vecFillers.size());
}
BENCHMARK(BM_IdleMinute)->Iterations(1)->Unit(benchmark::kSecond);

void tearDown() {
    for (pid_t pid : s_vecFillers)
        kill(pid, SIGKILL);
    if (s_nDaemon > 0)
        kill(s_nDaemon, SIGKILL);
    const pid_t service = livePid("AccessBroker");
    if (service > 0)
        kill(service, SIGKILL);
    for (pid_t pid : s_vecFillers)
        waitpid(pid, nullptr, 0);
    waitUntil([] { return livePid("AccessBroker") < 0; }, std::chrono::seconds(5));
    reapAll();
    std::error_code ec;
    fs::remove_all(s_strHome, ec);
    fs::remove(ORVEXMON_BENCH_SYSTEM_CONF, ec);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const bool bReady = startDaemon();
    if (bReady)
        benchmark::RunSpecifiedBenchmarks();
    else
        fprintf(stderr, "no daemon: is the build's system file inside the build tree?\n");
    tearDown();
    benchmark::Shutdown();
    return bReady ? 0 : 1;
}
