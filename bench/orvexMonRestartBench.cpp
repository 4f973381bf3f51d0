// The real daemon in a sandbox install supervising all three services: how long a killed
// AccessBroker stays down (kill to a new live process of that name, 20 kills); what the
// daemon costs at rest over a minute (CPU time of all its threads; proportional and
// private set size) alone and with 2000 other processes; and the wall time of
// "OrvexMon -k" against a running daemon beside that of /bin/true, alternating, 20 each.
// Runs only where the build's system file lies in the build tree, never over a real one.
#include "orvexMonMsg.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

// pid runs and is no zombie, whoever its parent is.
bool isAlive(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return pid > 0 && close != std::string::npos && close + 2 < stat.size() &&
           stat[close + 2] != 'Z';
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

const char* const kServices[] = {"AccessBroker", "AssetWarden", "LeakSentry"};
int s_nPort = 0;

// Runs ./OrvexMon with args in the home path, output discarded, and waits for it.
void runHere(const char* pszFile, const char* pszArg) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open("/dev/null", O_WRONLY);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (chdir(s_strHome.c_str()) == 0)
            execl(pszFile, pszFile, pszArg, static_cast<char*>(nullptr));
        _exit(127);
    }
    waitpid(pid, nullptr, 0);
}

bool makeSandbox() {
    const std::string strSys = ORVEXMON_BENCH_SYSTEM_CONF;
    if (strSys.rfind(ORVEXMON_BENCH_BUILD_DIR "/", 0) != 0)
        return false;
    char szDir[] = "/tmp/orvexmon-restart-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return false;
    s_strHome = szDir;
    s_nPort = freeUdpPort();
    std::error_code ec;
    fs::create_directories(fs::path(strSys).parent_path(), ec);
    fs::create_directories(s_strHome + "/conf", ec);
    std::ofstream(strSys) << "INSTALL_DIR=" << s_strHome << "\n";
    std::ofstream(s_strHome + "/conf/Orvex.conf")
        << "COMMAND_PORT=" << s_nPort << "\nLOG_CLEAN_HOUR=23\n";
    std::ofstream(s_strHome + "/conf/OrvexCustom.xml")
        << "<OrvexCustom><AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>"
           "</OrvexCustom>\n";
    fs::create_symlink(ORVEXMON_BENCH_BINARY, s_strHome + "/OrvexMon", ec);
    for (const char* pszName : kServices)
        fs::copy_file(ORVEXMON_BENCH_STANDIN, s_strHome + "/" + pszName, ec);
    return true;
}

// Starts the daemon and waits until it answers an echo and watches every service.
bool startDaemon() {
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
                   for (const char* pszName : kServices) {
                       const pid_t service = livePid(pszName);
                       if (s_nDaemon <= 0 || service <= 0 || !isWatched(service))
                           return false;
                   }
                   return true;
               },
               std::chrono::seconds(15)) &&
           waitUntil([] { return CMsgProcess::echo(s_nPort) == 0; }, std::chrono::seconds(10));
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

// Kb of one field of the daemon's smaps_rollup, e.g. "Pss".
double rollupKb(const std::string& rollup, const char* pszField) {
    const size_t at = rollup.find(std::string("\n") + pszField + ":");
    return at == std::string::npos ? 0 : atof(rollup.c_str() + at + strlen(pszField) + 2);
}

void BM_IdleMinute(benchmark::State& state) {
    std::vector<pid_t> vecFillers;
    for (int i = 0; i < state.range(0); ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;)
                pause();
        }
        vecFillers.push_back(pid);
    }
    s_vecFillers = vecFillers;
    // The start, its follow-up passes and the forks above are not what rest costs.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    for (auto _ : state) {
        const long long nStart = cpuNs(s_nDaemon);
        std::this_thread::sleep_for(std::chrono::seconds(60));
        state.counters["cpu_ms"] = static_cast<double>(cpuNs(s_nDaemon) - nStart) / 1e6;
    }
    const std::string rollup = readFile("/proc/" + std::to_string(s_nDaemon) + "/smaps_rollup");
    state.counters["pss_kb"] = rollupKb(rollup, "Pss");
    // What is the daemon's alone, whoever else maps the same libraries.
    state.counters["uss_kb"] =
        rollupKb(rollup, "Private_Clean") + rollupKb(rollup, "Private_Dirty");
    state.counters["processes"] = static_cast<double>(vecFillers.size());
    for (pid_t pid : vecFillers)
        kill(pid, SIGKILL);
    for (pid_t pid : vecFillers)
        waitpid(pid, nullptr, 0);
    s_vecFillers.clear();
}
BENCHMARK(BM_IdleMinute)->Arg(0)->Arg(2000)->Iterations(1)->Unit(benchmark::kSecond);

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> vec) {
    std::sort(vec.begin(), vec.end());
    return vec.empty() ? 0 : vec[vec.size() / 2];
}

// Each "-k" stops the daemon, so a new one is started (untimed) before the next.
void BM_StopCommandBesideTrue(benchmark::State& state) {
    std::vector<double> vecKill, vecTrue;
    for (auto _ : state) {
        if (!isAlive(s_nDaemon) && !startDaemon()) {
            state.SkipWithError("no daemon to stop");
            break;
        }
        auto start = Clock::now();
        runHere("/bin/true", nullptr);
        vecTrue.push_back(msSince(start));
        start = Clock::now();
        runHere("./OrvexMon", "-k");
        vecKill.push_back(msSince(start));
        if (!waitUntil([] { return !isAlive(s_nDaemon); }, std::chrono::seconds(10))) {
            state.SkipWithError("the daemon did not stop");
            break;
        }
    }
    state.counters["kill_median_ms"] = median(vecKill);
    state.counters["true_median_ms"] = median(vecTrue);
    state.counters["ratio"] = median(vecKill) / median(vecTrue);
}
BENCHMARK(BM_StopCommandBesideTrue)->Iterations(20)->Unit(benchmark::kMillisecond);

void tearDown() {
    for (pid_t pid : s_vecFillers)
        kill(pid, SIGKILL);
    if (s_nDaemon > 0)
        kill(s_nDaemon, SIGKILL);
    for (pid_t pid : s_vecFillers)
        waitpid(pid, nullptr, 0);
    for (const char* pszName : kServices) {
        const pid_t service = livePid(pszName);
        if (service > 0)
            kill(service, SIGKILL);
        waitUntil([&] { return livePid(pszName) < 0; }, std::chrono::seconds(5));
    }
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
    const bool bReady = makeSandbox() && startDaemon();
    if (bReady)
        benchmark::RunSpecifiedBenchmarks();
    else
        fprintf(stderr, "no daemon: is the build's system file inside the build tree?\n");
    tearDown();
    benchmark::Shutdown();
    return bReady ? 0 : 1;
}
