// The daily log task over 10,000 small logs of yesterday (about 100 MB): retention,
// gathering, one tar run, the flush and the removal, against tar -czf of the same files
// alone, and against tar -czf --remove-files (the baseline). All of them start with
// the files in the page cache and nothing left to write back. The files live under
// $TMPDIR (default /tmp), so the file system's own cost of deleting can be told apart
// (TMPDIR=/dev/shm).
#include "orvexMon.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

const int kFiles = 10000;
const size_t kFileBytes = 10 * 1024;

// The home path is the working directory at its first use: take it before anything else.
const std::string& home() {
    static const std::string dir = [] {
        const char* pszBase = getenv("TMPDIR");
        std::string tmpl =
            std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/orvexmon-logtask-bench-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr || chdir(tmpl.c_str()) != 0)
            abort();
        createModeLog(getHomePath(), "OrvexMon");  // level 4, as in the log task
        return getHomePath();
    }();
    return dir;
}

std::string yesterday() {
    const time_t when = time(nullptr) - 86400;
    struct tm tmWhen;
    localtime_r(&when, &tmWhen);
    char szDate[16];
    strftime(szDate, sizeof(szDate), "%Y%m%d", &tmWhen);
    return szDate;
}

// Log-like lines that differ from file to file, so gzip has realistic work.
std::string logContent(int nFile) {
    std::string text;
    char szLine[160];
    for (unsigned n = 0; text.size() < kFileBytes; ++n) {
        snprintf(szLine, sizeof(szLine),
                 "2024-03-09 10:%02u:%02u.%03u [DBG] [%d,7f5e3d204580] procMng.findProc: "
                 "find process AccessBroker[%u].\n",
                 n / 60 % 60, n % 60, (n * 37 + static_cast<unsigned>(nFile)) % 1000, 800 + nFile,
                 n * 7919u + static_cast<unsigned>(nFile));
        text += szLine;
    }
    text.resize(kFileBytes);
    return text;
}

void makeLogs(const std::string& dir) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string date = yesterday();
    for (int i = 0; i < kFiles; ++i) {
        const std::string path = dir + "/agent" + std::to_string(i) + "_" + date + ".log";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const std::string text = logContent(i);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            abort();
        close(fd);
    }
    sync();
}

void BM_DailyLogTask(benchmark::State& state) {
    const std::string logDir = home() + "/log";
    const std::string collectDir = home() + "/CollectInfo";
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(collectDir);
        std::filesystem::create_directories(collectDir);
        makeLogs(logDir);  // the log lines of the run go to a new file there
        state.ResumeTiming();
        dealLogCleanTask(7, logDir.c_str(), collectDir.c_str());
    }
    state.SetBytesProcessed(state.iterations() * kFiles * static_cast<int64_t>(kFileBytes));
}
BENCHMARK(BM_DailyLogTask)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// tar -czf of the same files, alone, and with --remove-files: the floor of any run that
// must not keep the originals (it unlinks each file as soon as tar has read it).
void BM_Tar(benchmark::State& state, const char* pszOptions) {
    const std::string dir = home() + "/plain";
    const std::string command =
        std::string("tar -czf ") + dir + ".tar.gz" + pszOptions + " -C " + dir + " .";
    for (auto _ : state) {
        state.PauseTiming();
        makeLogs(dir);
        std::filesystem::remove(dir + ".tar.gz");
        state.ResumeTiming();
        if (system(command.c_str()) != 0)
            state.SkipWithError("tar failed");
    }
    state.SetBytesProcessed(state.iterations() * kFiles * static_cast<int64_t>(kFileBytes));
}
BENCHMARK_CAPTURE(BM_Tar, alone, "")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Tar, remove_files, " --remove-files")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    home();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(home());
    return 0;
}
