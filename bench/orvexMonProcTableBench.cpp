// Process table look-ups on a full table (2000 extra sleeping processes) against
// `pgrep -x` of the same names: a found name started last (the end of the scan), a
// missing name (the whole scan), and the one-read check of a known pid. CPU time per
// look-up: the benchmark's own column for ours, child_cpu for pgrep, which runs in a
// child whose time the benchmark's clock does not see. Then the watchdog's own
// findProcess, and one whole watchdog pass with all three services running.
#include "orvexMon.h"
#include "orvexMonProcTable.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kFillers = 2000;
const char kFoundName[] = "BenchTarget";
const char kMissingName[] = "NoSuchProcName";
const char* const kServices[] = {"AccessBroker", "AssetWarden", "LeakSentry"};

std::vector<pid_t> s_vecChildren;  // every process we started, killed and reaped by pid
pid_t s_nTargetPid = -1;
std::string s_strTempDir;

// A child that lives until killed, and dies with us if we die first.
pid_t startChild(const char* pszPath) {
    const pid_t nPid = fork();
    if (nPid != 0)
        return nPid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (pszPath != nullptr)
        execl(pszPath, pszPath, "100000", static_cast<char*>(nullptr));
    else
        for (;;)
            pause();
    _exit(127);
}

bool copyFile(const char* pszFrom, const std::string& strTo) {
    const int nIn = open(pszFrom, O_RDONLY | O_CLOEXEC);
    const int nOut = open(strTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    bool bOk = nIn >= 0 && nOut >= 0;
    char buf[65536];
    ssize_t nRead = 0;
    while (bOk && (nRead = read(nIn, buf, sizeof(buf))) > 0)
        bOk = write(nOut, buf, static_cast<size_t>(nRead)) == nRead;
    if (nIn >= 0)
        close(nIn);
    if (nOut >= 0)
        close(nOut);
    return bOk && nRead == 0;
}

int countProcesses() {
    int nCount = 0;
    if (DIR* pDir = opendir("/proc")) {
        while (const dirent* pEntry = readdir(pDir))
            nCount += pEntry->d_name[0] >= '0' && pEntry->d_name[0] <= '9';
        closedir(pDir);
    }
    return nCount;
}

// A sandbox install whose three services run, for a whole watchdog pass. Only where the
// build's system file lies in the build tree: never over a real installation.
bool s_bInstall = false;

bool setUpInstall() {
    namespace fs = std::filesystem;
    const std::string strSys = ORVEXMON_BENCH_SYSTEM_CONF;
    if (strSys.rfind(ORVEXMON_BENCH_BUILD_DIR "/", 0) != 0)
        return true;
    std::error_code ec;
    fs::create_directories(fs::path(strSys).parent_path(), ec);
    fs::create_directories(s_strTempDir + "/conf", ec);
    std::ofstream(strSys) << "INSTALL_DIR=" << s_strTempDir << "\n";
    std::ofstream(s_strTempDir + "/conf/Orvex.conf") << "COMMAND_PORT=50002\n";
    std::ofstream(s_strTempDir + "/conf/OrvexCustom.xml")
        << "<?xml version=\"1.0\"?>\n<OrvexCustom><AssetManagement enabled=\"1\"/>"
        << "<LeakPrevention enabled=\"1\"/></OrvexCustom>\n";
    for (const char* pszName : kServices) {
        const std::string strPath = s_strTempDir + "/" + pszName;
        if (!copyFile("/bin/sleep", strPath))
            return false;
        const pid_t nPid = startChild(strPath.c_str());
        if (nPid < 0)
            return false;
        s_vecChildren.push_back(nPid);
        for (int i = 0; i < 500 && !procTableHasName(nPid, pszName); ++i)
            usleep(10000);
    }
    if (chdir(s_strTempDir.c_str()) != 0)  // the home path, whose core files a pass tidies
        return false;
    s_bInstall = true;
    return true;
}

bool setUp() {
    for (int i = 0; i < kFillers; ++i) {
        const pid_t nPid = startChild(nullptr);
        if (nPid < 0)
            return false;
        s_vecChildren.push_back(nPid);
    }
    char szDir[] = "/tmp/orvexmon-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return false;
    s_strTempDir = szDir;
    const std::string strTarget = s_strTempDir + "/" + kFoundName;
    if (!copyFile("/bin/sleep", strTarget))
        return false;
    s_nTargetPid = startChild(strTarget.c_str());
    if (s_nTargetPid < 0)
        return false;
    s_vecChildren.push_back(s_nTargetPid);
    if (!setUpInstall())
        return false;
    // The target runs under its name once it has executed.
    for (int i = 0; i < 500 && !procTableHasName(s_nTargetPid, kFoundName); ++i)
        usleep(10000);
    return procTableHasName(s_nTargetPid, kFoundName);
}

void tearDown() {
    for (pid_t nPid : s_vecChildren)
        kill(nPid, SIGKILL);
    for (pid_t nPid : s_vecChildren)
        waitpid(nPid, nullptr, 0);
    if (!s_strTempDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(s_strTempDir, ec);
    }
    if (s_bInstall)
        unlink(ORVEXMON_BENCH_SYSTEM_CONF);
}

void BM_ProcTableFind(benchmark::State& state, const char* pszName, ProcLookup expected) {
    for (auto _ : state) {
        int nPid = -1;
        if (procTableFind(pszName, nPid) != expected) {
            state.SkipWithError("unexpected look-up result");
            break;
        }
        benchmark::DoNotOptimize(nPid);
    }
}
BENCHMARK_CAPTURE(BM_ProcTableFind, found, kFoundName, ProcLookup::kFound)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ProcTableFind, missing, kMissingName, ProcLookup::kNotFound)
    ->Unit(benchmark::kMicrosecond);

void BM_ProcTableHasName(benchmark::State& state) {
    for (auto _ : state) {
        if (!procTableHasName(s_nTargetPid, kFoundName)) {
            state.SkipWithError("target not seen");
            break;
        }
    }
}
BENCHMARK(BM_ProcTableHasName)->Unit(benchmark::kMicrosecond);

// The watchdog's look-up: after the first scan, a running name costs one small read.
void BM_FindProcess(benchmark::State& state, const char* pszName, bool bRunning) {
    for (auto _ : state) {
        if ((CProcessMng::findProcess(pszName) != -1) != bRunning) {
            state.SkipWithError("unexpected look-up result");
            break;
        }
    }
}
BENCHMARK_CAPTURE(BM_FindProcess, running, kFoundName, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FindProcess, missing, kMissingName, false)->Unit(benchmark::kMicrosecond);

// A whole pass: three look-ups, the customization check, the core-file sweep.
void BM_WatchdogPass(benchmark::State& state) {
    if (!s_bInstall) {
        state.SkipWithError("the build's system file is not in the build tree");
        return;
    }
    for (auto _ : state)
        CProcessMng::checkProcess(nullptr);
    for (const char* pszName : kServices) {
        if (CProcessMng::findProcess(pszName) == -1)
            state.SkipWithError("a service was not running");
    }
}
BENCHMARK(BM_WatchdogPass)->Unit(benchmark::kMicrosecond);

double childCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// pgrep -x exits 0 when found, 1 when not.
void BM_Pgrep(benchmark::State& state, const char* pszName, int nExpectedStatus) {
    const double dChildBefore = childCpuSeconds();
    for (auto _ : state) {
        const pid_t nPid = fork();
        if (nPid == 0) {
            const int nNull = open("/dev/null", O_WRONLY);
            dup2(nNull, STDOUT_FILENO);
            execl("/usr/bin/pgrep", "pgrep", "-x", pszName, static_cast<char*>(nullptr));
            _exit(127);
        }
        int nStatus = 0;
        waitpid(nPid, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != nExpectedStatus) {
            state.SkipWithError("unexpected pgrep status");
            break;
        }
    }
    state.counters["child_cpu"] =
        benchmark::Counter(childCpuSeconds() - dChildBefore, benchmark::Counter::kAvgIterations);
}
BENCHMARK_CAPTURE(BM_Pgrep, found, kFoundName, 0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Pgrep, missing, kMissingName, 1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const bool bReady = setUp();
    if (bReady) {
        benchmark::AddCustomContext("processes", std::to_string(countProcesses()));
        benchmark::RunSpecifiedBenchmarks();
    } else {
        fprintf(stderr, "could not start the %d processes and the target\n", kFillers);
    }
    tearDown();
    benchmark::Shutdown();
    return bReady ? 0 : 1;
}
