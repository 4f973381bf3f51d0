// logX throughput into a real file (one and two threads) beside a bare loop that opens,
// appends and closes a line of the same length per iteration, and the cost of one
// configuration load, as the daemon does at start.
#include "orvexMon.h"
#include "orvexMonConfig.h"
#include "orvexMonLog.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

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

void BM_LogX(benchmark::State& state) {
    if (state.thread_index() == 0)
        utl_CreateLog(benchDir(), 2, "OrvexMonBench");
    for (auto _ : state)
        logX(2, "procMng.chkProc: Process %s not exists now restart it.", "AccessBroker");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogX)->Threads(1)->Threads(2)->UseRealTime();

// The floor: what every line must cost at least, the open, the append and the close of
// a line as long as BM_LogX's, already formatted, into a file of its own.
void BM_BareOpenAppendClose(benchmark::State& state) {
    const std::string path = benchDir() + "/Bare.log";
    const std::string line =
        "2026-12-04 01:37:15.042 [WRN] [812,7f0a12a4b740] procMng.chkProc: Process AccessBroker "
        "not exists now restart it.\n";
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, line.data(), line.size()) < 0)
            abort();
        close(fd);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareOpenAppendClose)->UseRealTime();

void BM_LogXFiltered(benchmark::State& state) {
    utl_CreateLog(benchDir(), 2, "OrvexMonBench");
    for (auto _ : state)
        logX(4, "procMng.findProc: find process %s[%u].", "AccessBroker", 812u);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogXFiltered);

void BM_ConfigLoad(benchmark::State& state) {
    const std::string dir = benchDir();
    mkdir((dir + "/conf").c_str(), 0755);
    std::ofstream(dir + "/orvexsys.conf") << "# client\nINSTALL_DIR=" << dir << "\n";
    std::ofstream(dir + "/conf/Orvex.conf")
        << "# Orvex client\nCOMMAND_PORT=50002\nLOG_CLEAN_HOUR=10\nLOG_KEEP_DAYS=7\n"
        << "SERVER_ADDR=192.0.2.10\nSERVER_PORT=443\nLANGUAGE=en\n";
    const std::string sys = dir + "/orvexsys.conf";
    for (auto _ : state) {
        CConfigT cfg(sys.c_str());
        benchmark::DoNotOptimize(cfg.m_nCommandPort);
    }
}
BENCHMARK(BM_ConfigLoad);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const std::string cmd = "rm -rf '" + benchDir() + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
