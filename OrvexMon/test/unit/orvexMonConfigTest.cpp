#include "orvexMonConfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

// want: the load's result, what it prints, then the key's value. A FIFO without a writer
// (a plain open would wait for ever) is not read, nor is a device or any file not regular.
TEST(CfgFileMgrTest, LoadRules) {
    const std::string v1021(1021, 'v');  // "a=" + 1021 = 1023 characters, the longest line
    const testsupport::TempDir dir;
    const std::string file = dir / "c.conf", fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // clang-format off
    const struct { std::string text, key, want; } cases[] = {
        {"Key=1\r\nINSTALL_DIR=/opt\r\n\tkEY \t=\t x=y \t\r\n", "key", "0 x=y"},
        {"   # note\r\n \t \r\n\r\nkey value\r\n#x=1\r\n", "#X", "0 cfgFile.loadFile: [4] Invalid data [key value] - no separator.\n<absent>"},
        {"a=" + v1021 + "\r\nb=" + v1021 + "w\nc=3\n", "C", "0 <absent>"},  // reading ended
        {"a=1\nb=" + v1021, "B", "0 " + v1021}, {std::string("a=1\0junk\nb=2\n", 13), "A", "0 1"},
        {"\xB0\x61=1\nke\xC3=2\n", "\xB0\x41", "0 <absent>"},  // a double-byte pair stays
        {fifo, "A", "-1 cfgFile.loadFile: Fail to open config file " + fifo + ".\n<absent>"},
    };
    // clang-format on
    for (const auto& c : cases) {
        if (c.text != fifo)
            testsupport::writeFile(file, c.text);
        CCfgFileMgr mgr;
        std::string value = "<absent>";
        ::testing::internal::CaptureStdout();
        const int nLoaded = mgr.loadFromFile((c.text == fifo ? fifo : file).c_str(), '=');
        mgr.getValue(c.key.c_str(), value);
        EXPECT_EQ(std::to_string(nLoaded) + " " + ::testing::internal::GetCapturedStdout() + value,
                  c.want);
    }
}
