#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvexmon-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp " << tmpl << " failed";
    m_strPath = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}

// Plain reads: a /proc file of a process that ends meanwhile fails its read, which the
// stream library turns into an exception.
std::string readFile(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0;)
        text.append(buf, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    return text;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool pathExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::multiset<std::string> linesOf(const std::string& command) {
    std::multiset<std::string> lines;
    FILE* pPipe = popen(command.c_str(), "r");
    std::string line;
    for (int c; pPipe != nullptr && (c = fgetc(pPipe)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        lines.insert(line);
        line.clear();
    }
    if (!line.empty())
        lines.insert(line);
    EXPECT_EQ(pPipe == nullptr ? -1 : pclose(pPipe), 0) << command;
    return lines;
}

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace testsupport
