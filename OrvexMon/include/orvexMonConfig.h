// Key-value configuration files: CCfgFileMgr loads "key<sep>value" lines into a
// map with upper-cased keys and writes it back as "KEY=value". Messages go to
// standard output; the module writes no log. Not thread-safe per object.
#ifndef ORVEXMON_CONFIG_H
#define ORVEXMON_CONFIG_H

#include <map>
#include <string>

class CCfgFileMgr {
public:
    /// 0 when the file opened (also when reading stopped at an over-long line), else -1.
    int loadFromFile(const char* pszPath, char cSeparator);
    /// 0 when the file opened for writing, else -1.
    int write2File(const char* pszPath) const;

    // 0 and the value when the key exists; -1 and value untouched otherwise.
    int getValue(const char* pszKey, std::string& strValue) const;
    int getValue(const char* pszKey, int& nValue) const;            ///< atoi of the text
    int getValue(const char* pszKey, unsigned char& cValue) const;  ///< low 8 bits of atoi
    void setValue(const char* pszKey, const std::string& strValue);

    static int isDigit(const char* pszText);  ///< 1 when all bytes are 0-9 (also for "").

private:
    std::map<std::string, std::string> m_mapKey2Value;  // keys folded by upper4Std
};

void joint2String(const std::string& strFirst, const std::string& strSecond,
                  const std::string& strSep, std::string& strOut, bool bKeepSepWhenEmpty);
void trimStr(std::string& strText);  ///< Strips blanks and tabs at both ends.
/// ASCII a-z upper-cased; a byte >= 0x80 starts a pair copied unchanged.
std::string upper4Std(const std::string& strText);
/// Splits at the first (bFirst) or last occurrence of cSep; left = all, right = "" without one.
void divideStringByOneSep(const std::string& strText, std::string& strLeft, std::string& strRight,
                          char cSep, bool bFirst);

#endif
