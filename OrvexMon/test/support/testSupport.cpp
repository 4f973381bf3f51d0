#include "testSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

testsupport::TempDir::TempDir() {
    const char* base = getenv("TMPDIR");  // an empty one counts as none
    m_strPath = std::string(base && *base ? base : "/tmp") + "/orvexmon-test-XXXXXX";
    EXPECT_NE(mkdtemp(m_strPath.data()), nullptr) << m_strPath;
}

testsupport::TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
}

void testsupport::writeFile(const std::string& path, const std::string& content) {
    EXPECT_TRUE(std::ofstream(path, std::ios::binary) << content) << "cannot write " << path;
}

// Through the stream buffer, whose copy turns a failed read (a /proc file of a process that
// ended meanwhile) into a short text, never an exception.
std::string testsupport::readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<std::string> testsupport::readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool testsupport::pathExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Through a file rather than a pipe: a daemon the command starts keeps no read waiting.
std::multiset<std::string> testsupport::linesOf(const std::string& command) {
    const testsupport::TempDir dir;
    EXPECT_EQ(system(("(" + command + "\n) >'" + dir / "out'").c_str()), 0) << command;
    const std::vector<std::string> lines = readLines(dir / "out");
    return {lines.begin(), lines.end()};
}

bool testsupport::waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
    return true;
}
