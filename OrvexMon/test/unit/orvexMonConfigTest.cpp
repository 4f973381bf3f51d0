#include "orvexMonConfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// text is the file's content, or "<fifo>" (no writer: a plain open would wait for ever),
// "<dir>", or "/dev/..." for that device, none of which is read. nBadLine: the line
// reported as malformed, 0 for none.
TEST(CfgFileMgrTest, LoadRules) {
    const std::string v1021(1021, 'v');  // "a=" + 1021 = 1023 characters, the longest line
    const struct {
        std::string text, key, value;
        int nBadLine;
    } cases[] = {
        {"key = value\n", "KEY", "value", 0},
        {"\tpad\t=\t x=y \t\n", "pad", "x=y", 0},
        {"q=\"quoted\" # not a comment", "Q", "\"quoted\" # not a comment", 0},
        {"=value\nkey2=\n", "", "value", 0},
        {"   # note\n \t \n\nkey value\n#x=1\n", "#X", "<absent>", 4},
        {"Key=1\nINSTALL_DIR=/opt\nkEY=2\n", "key", "2", 0},
        {"a=" + v1021 + "\nb=" + v1021 + "w\nc=3\n", "C", "<absent>", 0},  // reading ended
        {"a=1\nb=" + v1021, "B", v1021, 0},
        {"# c\r\n\r\nport=50002\r\n", "PORT", "50002", 0},
        {"a=1\r\nkey value\r\n", "A", "1", 2},
        {"a=" + v1021 + "\r\nb=2\r\n", "B", "2", 0},
        {"a=x\ry\r\n", "A", "x\ry", 0},
        {"a=x\r", "A", "x\r", 0},
        {std::string("a=1\0junk\nb=2\n", 13), "A", "1", 0},
        {"\xB0\x61=1\nke\xC3=2\n", "\xB0\x41", "<absent>", 0},  // a double-byte pair stays
        {"\xB0\x61=1\nke\xC3=2\n", "KE\xC3", "2", 0},
        {"<fifo>", "A", "<absent>", 0},
        {"<dir>", "A", "<absent>", 0},
        {"/dev/zero", "A", "<absent>", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40) + " / " + c.key);
        TempDir dir;
        std::string path = dir / "c.conf";
        if (c.text == "<fifo>")
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        else if (c.text == "<dir>")
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        else if (c.text.rfind("/dev/", 0) == 0)
            path = c.text;
        else
            writeFile(path, c.text);
        const bool bOpens = c.text[0] != '<' && c.text[0] != '/';
        CCfgFileMgr mgr;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(mgr.loadFromFile(path.c_str(), '='), bOpens ? 0 : -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  !bOpens      ? "cfgFile.loadFile: Fail to open config file " + path + ".\n"
                  : c.nBadLine ? "cfgFile.loadFile: [" + std::to_string(c.nBadLine) +
                                     "] Invalid data [key value] - no separator.\n"
                               : "");
        std::string value = "<absent>";
        mgr.getValue(c.key.c_str(), value);
        EXPECT_EQ(value, c.value);
    }
}

// The file is written with "=" whatever the separator read; a second load merges.
TEST(CfgFileMgrTest, WriteRules) {
    TempDir dir;
    CCfgFileMgr mgr;
    ::testing::internal::CaptureStdout();
    writeFile(dir / "in.conf", "b:2\na:1\nc:\n");
    mgr.loadFromFile((dir / "in.conf").c_str(), ':');
    writeFile(dir / "in.conf", "a:9\n");
    mgr.loadFromFile((dir / "in.conf").c_str(), ':');
    mgr.setValue("d", "x=y");
    EXPECT_EQ(mgr.write2File((dir / "out.conf").c_str()), 0);
    EXPECT_EQ(mgr.write2File((dir / "no/c.conf").c_str()), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "cfgFile.wriFile: Fail to open config file " + dir / "no/c.conf" + ".\n");
    EXPECT_EQ(readFile(dir / "out.conf"), "A=9\nB=2\nC=\nD=x=y\n");
}

// The getters no caller in the system uses, and isDigit; results written as text.
TEST(CfgFileMgrTest, OtherFunctions) {
    CCfgFileMgr mgr;
    for (const char* pszKeyValue : {"big=300", "neg=-1", "word=abc", "lead= 42x"})
        mgr.setValue(std::string(pszKeyValue, strchr(pszKeyValue, '=')).c_str(),
                     strchr(pszKeyValue, '=') + 1);
    const auto get = [&](const char* pszKey) {
        int n = 7;
        unsigned char b = 7;
        const int nResult = mgr.getValue(pszKey, n) + mgr.getValue(pszKey, b);
        return std::to_string(nResult) + ":" + std::to_string(n) + ":" + std::to_string(b);
    };
    const std::pair<std::string, std::string> cases[] = {
        {get("BIG"), "0:300:44"},
        {get("neg"), "0:-1:255"},
        {get("word"), "0:0:0"},
        {get("lead"), "0:42:42"},
        {get("none"), "-2:7:7"},
        {std::to_string(CCfgFileMgr::isDigit("") * 10 + CCfgFileMgr::isDigit("0123")), "11"},
        {std::to_string(CCfgFileMgr::isDigit("-1") * 10 + CCfgFileMgr::isDigit("1\xB1")), "0"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

}  // namespace
