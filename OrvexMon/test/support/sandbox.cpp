#include "sandbox.h"

#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

// The daemon and the services: copies in the tree that another user may run too.
const char* const kPrograms[] = {"OrvexMon", "AccessBroker", "AssetWarden", "LeakSentry"};

// One shell word, whatever it holds.
std::string shellWord(const std::string& word) {
    std::string result = "'";
    for (char c : word)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

}  // namespace

Sandbox::Sandbox(const std::string& strHomeName, const std::string& strCustom)
    : m_strHome(m_dir / strHomeName), m_nPort(freeUdpPort()) {
    fs::create_directories(path("conf"));
    fs::create_directories(fs::path(ORVEXMON_TEST_SYSTEM_CONF).parent_path());
    writeFile(ORVEXMON_TEST_SYSTEM_CONF, "INSTALL_DIR=" + m_strHome + "\n");
    // A clean hour far from now keeps the daily log task out of the way.
    const time_t now = time(nullptr);
    writeFile(path("conf/Orvex.conf"),
              "COMMAND_PORT=" + std::to_string(m_nPort) + "\nLOG_CLEAN_HOUR=" +
                  std::to_string((localtime(&now)->tm_hour + 12) % 24) + "\n");
    writeFile(path("conf/OrvexCustom.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<OrvexCustom>\n" + strCustom +
                  "\n</OrvexCustom>\n");
    chmod(m_dir.path().c_str(), 0711);
    for (const char* pszName : kPrograms)
        fs::copy_file(pszName == kPrograms[0] ? ORVEXMON_TEST_BINARY : ORVEXMON_TEST_STANDIN,
                      path(pszName));
    fs::copy(fs::path(ORVEXMON_TEST_BINARY).parent_path() / "libs", path("libs"));
}

Sandbox::~Sandbox() {
    for (const char* pszName : kPrograms)  // the daemon first, so that it starts nothing more
        for (const std::string& pid : pidsOf(pszName))
            kill(atoi(pid.c_str()), SIGKILL);
    waitFor([&] { return pidsOf(kPrograms[0]).empty(); }, std::chrono::seconds(5));
    unlink(ORVEXMON_TEST_SYSTEM_CONF);
    EXPECT_EQ(linesOf("cat " + m_dir.path() + "/sanitizer* 2>/dev/null; true"),
              std::multiset<std::string>{})
        << "sanitizer reports";
}

RunResult Sandbox::run(const std::vector<std::string>& args, std::vector<std::string> prefix) {
    const std::string strOut = m_dir / "run.out";
    // Reports land beside the tree, whatever the daemon did with its output. libfaketime
    // may be preloaded ahead of the sanitizer runtime, which would refuse to start.
    const std::string strLog = ":log_path=" + shellWord(m_dir / "sanitizer");
    std::string command = "cd " + shellWord(m_strHome) + " && ASAN_OPTIONS=$ASAN_OPTIONS" + strLog +
                          ":verify_asan_link_order=0 UBSAN_OPTIONS=$UBSAN_OPTIONS" + strLog +
                          " exec timeout 15";
    prefix.push_back("./OrvexMon");
    prefix.insert(prefix.end(), args.begin(), args.end());
    for (const std::string& word : prefix)
        command += " " + shellWord(word);
    const int nStatus = system((command + " >" + shellWord(strOut) + " 2>&1").c_str());
    return {WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1, readFile(strOut)};
}

pid_t Sandbox::startDaemon(const std::vector<std::string>& prefix) {
    // Each daemon of this tree logs this once; the new one's line is the last.
    const std::string marker = "[dbg-in-wrn] start check";
    const int nBefore = countInLog(marker);
    EXPECT_EQ(run({}, prefix), RunResult(0, ""));
    if (!waitFor([&] { return countInLog(marker) > nBefore; }, std::chrono::seconds(10)))
        return -1;
    // "<date> <time> [WRN] [<pid>,<thread>] ..." on a line of its own (npos + 1: the first)
    const std::string text = log();
    const size_t nLine = text.rfind('\n', text.rfind(marker)) + 1;
    return m_daemonPid = atoi(text.c_str() + text.find("] [", nLine) + 3);
}

int Sandbox::stopDaemon(int nSignal) {
    if (nSignal == 0)
        EXPECT_EQ(run({"-k"}), RunResult(255, ""));
    else
        kill(m_daemonPid, nSignal);
    int status = -1;  // not an exit status
    waitFor([&] { return waitpid(m_daemonPid, &status, WNOHANG) > 0; }, std::chrono::seconds(5));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Sandbox::log(const std::string& module) const {
    const time_t now = time(nullptr);
    char szDate[16];
    strftime(szDate, sizeof(szDate), "%Y%m%d", localtime(&now));
    return readFile(path("log/" + module + szDate + ".log"));
}

int Sandbox::countInLog(const std::string& text) const {
    const std::string strLog = log();
    int n = 0;
    for (size_t at = strLog.find(text); at != std::string::npos; at = strLog.find(text, at + 1))
        ++n;
    return n;
}

bool Sandbox::waitForPass() {
    const std::string probe = path("probe.core");
    writeFile(probe, "");
    chmod(probe.c_str(), 0600);
    struct stat st;
    return waitFor([&] { return stat(probe.c_str(), &st) == 0 && (st.st_mode & 0777) == 0777; },
                   std::chrono::seconds(12));
}

}  // namespace testsupport
