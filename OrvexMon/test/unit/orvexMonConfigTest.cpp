#include "orvexMonConfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// text "<fifo>" is a FIFO without a writer (a plain open would wait for ever); "/dev/..." that
// device; neither is read. nBadLine: the line reported as malformed, 0 for none.
TEST(CfgFileMgrTest, LoadRules) {
    const std::string v1021(1021, 'v');  // "a=" + 1021 = 1023 characters, the longest line
    const struct {
        std::string text, key, value;
        int nBadLine;
    } cases[] = {
        // clang-format off
        {"\tKey \t=\t x=y \t\r\n", "key", "x=y", 0},
        {"q=\"quoted\" # not a comment", "Q", "\"quoted\" # not a comment", 0},
        {"   # note\r\n \t \r\n\r\nkey value\r\n#x=1\r\n", "#X", "<absent>", 4},
        {"Key=1\nINSTALL_DIR=/opt\nkEY=2\n", "key", "2", 0},
        {"a=" + v1021 + "\r\nb=" + v1021 + "w\nc=3\n", "C", "<absent>", 0},  // reading ended
        {"a=1\nb=" + v1021, "B", v1021, 0},
        {"a=x\ry\r", "A", "x\ry\r", 0},
        {std::string("a=1\0junk\nb=2\n", 13), "A", "1", 0},
        {"\xB0\x61=1\nke\xC3=2\n", "\xB0\x41", "<absent>", 0},  // a double-byte pair stays
        {"\xB0\x61=1\nke\xC3=2\n", "KE\xC3", "2", 0},
        {"<fifo>", "A", "<absent>", 0},
        {"/dev/zero", "A", "<absent>", 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40) + " / " + c.key);
        TempDir dir;
        const std::string path = c.text[0] == '/' ? c.text : dir / "c.conf";
        if (c.text == "<fifo>")
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        else if (c.text[0] != '/')
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

}  // namespace
