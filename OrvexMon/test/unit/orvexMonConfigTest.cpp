#include "orvexMonConfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using testsupport::TempDir;

namespace {

class CfgFileMgrTest : public ::testing::Test {
protected:
    // Loads text as a file and returns what the loader printed.
    std::string load(const std::string& text, char sep = '=') {
        testsupport::writeFile(m_dir / "test.conf", text);
        ::testing::internal::CaptureStdout();
        m_nLoad = m_mgr.loadFromFile((m_dir / "test.conf").c_str(), sep);
        return ::testing::internal::GetCapturedStdout();
    }
    std::string value(const char* key) {
        std::string v = "<absent>";
        m_mgr.getValue(key, v);
        return v;
    }

    TempDir m_dir;
    CCfgFileMgr m_mgr;
    int m_nLoad = -2;
};

TEST_F(CfgFileMgrTest, SplitsEntriesAtTheFirstSeparatorAndTrims) {
    EXPECT_EQ(
        load("key = value\na=b=c\n=value\nkey2=\n\tpad\t=\t x y \t\nq=\"quoted\" # not a comment"),
        "");
    EXPECT_EQ(m_nLoad, 0);
    EXPECT_EQ(value("KEY"), "value");
    EXPECT_EQ(value("A"), "b=c");
    EXPECT_EQ(value(""), "value");
    EXPECT_EQ(value("key2"), "");
    EXPECT_EQ(value("PAD"), "x y");
    EXPECT_EQ(value("Q"), "\"quoted\" # not a comment");
}

TEST_F(CfgFileMgrTest, SkipsCommentsAndBlanksAndReportsLinesWithoutSeparator) {
    const std::string out = load("   # note\n \t \n\nkey value\n#x=1\nok=1\n", '=');
    EXPECT_EQ(out, "cfgFile.loadFile: [4] Invalid data [key value] - no separator.\n");
    EXPECT_EQ(value("OK"), "1");
    EXPECT_EQ(value("#X"), "<absent>");
}

TEST_F(CfgFileMgrTest, LaterDuplicateKeyWinsWhateverTheCaseAndASecondLoadMerges) {
    load("Key=1\nINSTALL_DIR=/opt/client\nKEY=2\n");
    EXPECT_EQ(value("key"), "2");
    EXPECT_EQ(value("install_dir"), "/opt/client");
    load("key=3\n");
    EXPECT_EQ(value("KEY"), "3");
    EXPECT_EQ(value("INSTALL_DIR"), "/opt/client");
}

TEST_F(CfgFileMgrTest, LineOf1023IsTakenAndLongerEndsTheReading) {
    const std::string v1021(1021, 'v');  // "a=" + 1021 = 1023 characters
    load("a=" + v1021 + "\nb=" + std::string(1022, 'w') + "\nc=3\n");
    EXPECT_EQ(m_nLoad, 0);
    EXPECT_EQ(value("A"), v1021);
    EXPECT_EQ(value("B"), "<absent>");
    EXPECT_EQ(value("C"), "<absent>") << "no line after an over-long one is read";
}

TEST_F(CfgFileMgrTest, LastLineWithoutLineFeedAnd1023AtEndOfFile) {
    load("a=1\nb=" + std::string(1021, 'x'));
    EXPECT_EQ(value("A"), "1");
    EXPECT_EQ(value("B").size(), 1021u);
}

TEST_F(CfgFileMgrTest, CrLfLineEndsReadAsLineFeedsAndOtherCarriageReturnsStay) {
    struct Case {
        std::string text, key, value, printed;
    } cases[] = {
        {"INSTALL_DIR=/a\r\n\r\nport=50002\r\n", "INSTALL_DIR", "/a", ""},
        {"a=1\r\nkey value\r\n", "A", "1",
         "cfgFile.loadFile: [2] Invalid data [key value] - no separator.\n"},
        {"a=" + std::string(1021, 'v') + "\r\nb=2\r\n", "B", "2", ""},  // 1023 before the CR
        {"a=x\ry\r\n", "A", "x\ry", ""},
        {"a=x\r", "A", "x\r", ""},          // a last line without its line feed keeps the CR
        {"\r\n \r\n", "", "<absent>", ""},  // blank lines
        {"\xEF\xBB\xBFINSTALL_DIR=/a\r\n", "\xEF\xBB\xBFINSTALL_DIR", "/a", ""},
    };
    for (const Case& c : cases) {
        CCfgFileMgr fresh;
        std::swap(m_mgr, fresh);
        EXPECT_EQ(load(c.text), c.printed) << c.text;
        EXPECT_EQ(value(c.key.c_str()), c.value) << c.text;
    }
    int port = 0;
    load("port=50002\r\n");
    EXPECT_EQ(m_mgr.getValue("port", port), 0);
    EXPECT_EQ(port, 50002);
}

TEST_F(CfgFileMgrTest, TextEndsAtTheFirstNulByte) {
    load(std::string("a=1\0junk\nb=2\n", 13));
    EXPECT_EQ(value("A"), "1");
    EXPECT_EQ(value("B"), "2");
}

TEST_F(CfgFileMgrTest, OnlyRegularFilesAreReadAndNothingWaits) {
    // A FIFO without a writer would block a plain open for ever.
    ASSERT_EQ(::mkfifo((m_dir / "fifo.conf").c_str(), 0644), 0);
    ::mkdir((m_dir / "dir.conf").c_str(), 0755);
    const std::string unreadable[] = {m_dir / "none.conf", m_dir / "fifo.conf", "/dev/null",
                                      "/dev/zero", m_dir / "dir.conf"};
    for (const std::string& path : unreadable) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(m_mgr.loadFromFile(path.c_str(), '='), -1) << path;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "cfgFile.loadFile: Fail to open config file " + path + ".\n");
    }
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(m_mgr.write2File((m_dir / "no/such/dir.conf").c_str()), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "cfgFile.wriFile: Fail to open config file " + (m_dir / "no/such/dir.conf") + ".\n");
    // A symbolic link to a regular file is read.
    testsupport::writeFile(m_dir / "real.conf", "a=1\n");
    ASSERT_EQ(::symlink((m_dir / "real.conf").c_str(), (m_dir / "link.conf").c_str()), 0);
    EXPECT_EQ(m_mgr.loadFromFile((m_dir / "link.conf").c_str(), '='), 0);
    EXPECT_EQ(value("A"), "1");
}

TEST_F(CfgFileMgrTest, WritesSortedUpperCaseKeysWithEqualsSign) {
    load("b:2\na:1\nc:\n", ':');
    m_mgr.setValue("d", "x=y");
    ASSERT_EQ(m_mgr.write2File((m_dir / "out.conf").c_str()), 0);
    EXPECT_EQ(testsupport::readFile(m_dir / "out.conf"), "A=1\nB=2\nC=\nD=x=y\n");
}

TEST_F(CfgFileMgrTest, NumericGettersConvertLikeAtoi) {
    load("big=300\nneg=-1\nword=abc\nlead= 42x\n");
    const std::pair<const char*, int> ints[] = {{"big", 300},
                                                {"neg", -1},
                                                {"word", 0},
                                                {"lead", 42}};
    for (const auto& c : ints) {
        int n = 7;
        EXPECT_EQ(m_mgr.getValue(c.first, n), 0);
        EXPECT_EQ(n, c.second) << c.first;
    }
    const std::pair<const char*, int> bytes[] = {{"big", 44}, {"neg", 255}, {"word", 0}};
    for (const auto& c : bytes) {
        unsigned char b = 7;
        EXPECT_EQ(m_mgr.getValue(c.first, b), 0);
        EXPECT_EQ(b, c.second) << c.first;
    }
    int n = 7;
    unsigned char b = 7;
    EXPECT_EQ(m_mgr.getValue("none", n), -1);
    EXPECT_EQ(m_mgr.getValue("none", b), -1);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(b, 7);
}

TEST(CfgStringTest, IsDigit) {
    EXPECT_EQ(CCfgFileMgr::isDigit(""), 1);
    EXPECT_EQ(CCfgFileMgr::isDigit("0123"), 1);
    EXPECT_EQ(CCfgFileMgr::isDigit("12a"), 0);
    EXPECT_EQ(CCfgFileMgr::isDigit("-1"), 0);
    EXPECT_EQ(CCfgFileMgr::isDigit(" 1"), 0);
    EXPECT_EQ(CCfgFileMgr::isDigit("1\xB1"), 0);
}

TEST(CfgStringTest, TrimStr) {
    const std::pair<std::string, std::string> cases[] = {{"\t a b \t", "a b"},
                                                         {"   ", ""},
                                                         {"", ""},
                                                         {"x", "x"},
                                                         {" \n ", "\n"}};
    for (const auto& c : cases) {
        std::string s = c.first;
        trimStr(s);
        EXPECT_EQ(s, c.second);
    }
}

TEST(CfgStringTest, Upper4StdFoldsAsciiAndKeepsDoubleByteCharacters) {
    EXPECT_EQ(upper4Std("abc-Z_9"), "ABC-Z_9");
    EXPECT_EQ(upper4Std("\xB0\x61"), "\xB0\x61");
    EXPECT_EQ(upper4Std("a\xB0\x61z"), "A\xB0\x61Z");
    EXPECT_EQ(upper4Std("ab\xC3"), "AB\xC3") << "a lone lead byte at the end is kept";
}

TEST_F(CfgFileMgrTest, KeyEndingInALeadByteIsFoundAgain) {
    load("ke\xC3=1\n");
    EXPECT_EQ(value("KE\xC3"), "1");
    EXPECT_EQ(value("ke\xC3"), "1");
}

TEST(CfgStringTest, DivideStringByOneSep) {
    std::string l, r;
    divideStringByOneSep("a.b.c", l, r, '.', true);
    EXPECT_EQ(l + "|" + r, "a|b.c");
    divideStringByOneSep("a.b.c", l, r, '.', false);
    EXPECT_EQ(l + "|" + r, "a.b|c");
    divideStringByOneSep("abc", l, r, '.', true);
    EXPECT_EQ(l + "|" + r, "abc|");
    divideStringByOneSep("log_clean,7,9", l, r, ',', true);
    EXPECT_EQ(l + "|" + r, "log_clean|7,9");
}

TEST(CfgStringTest, Joint2String) {
    std::string out = "stale";
    joint2String("K", "v", "=", out, false);
    EXPECT_EQ(out, "K=v");
    joint2String("K", "", "=", out, true);
    EXPECT_EQ(out, "K=");
    joint2String("K", "", "=", out, false);
    EXPECT_EQ(out, "K");
}

}  // namespace
