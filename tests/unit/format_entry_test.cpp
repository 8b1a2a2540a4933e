// The output template.
#include "src/format/FormatEntry.h"
#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

CEventEntry sampleEntry() {
    CEventEntry entry;
    entry.m_SourceName = "Service Control Manager";
    entry.m_EventID = 7036;
    entry.m_TimeGenerated = 1109667903; // 2005-03-01 09:05:03 UTC
    entry.m_TypeName = "Information";
    entry.m_UserName = "N/A";
    entry.m_DomainName = "N/A";
    return entry;
}

class FormatEntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        savedTz_ = tz ? tz : "";
        hadTz_ = tz != nullptr;
        setZone("UTC0");
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void setZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    TestMachine machine_; // code page 1252 unless a test writes another
    std::string savedTz_;
    bool hadTz_ = false;
};

} // namespace

TEST_F(FormatEntryTest, ExpandsEverySequenceInOrder) {
    CEventEntry entry = sampleEntry();
    EXPECT_EQ("Service Control Manager - The text.\r\n",
              FormatEntry(entry, "The text.\r\n", "%1 - %2"));
    EXPECT_EQ("", FormatEntry(entry, "m", ""));
    EXPECT_EQ("no sequences % \\x", FormatEntry(entry, "m", "no sequences % \\x"));
    EXPECT_EQ("0x00001B7C|01/03/05, 09:05:03|Information|N/A|N/A",
              FormatEntry(entry, "m", "%3|%4|%5|%6|%7"));
    entry.m_EventID = 0xC0000005;
    EXPECT_EQ("0xC0000005", FormatEntry(entry, "", "%3"));
    EXPECT_EQ("Service Control Manager0 %8 %%", FormatEntry(entry, "", "%10 %8 %%"));
    EXPECT_EQ("%Service Control Manager", FormatEntry(entry, "", "%%1"));
    EXPECT_EQ("\\\n \\N \\r a\tb", FormatEntry(entry, "", "\\\\n \\N \\r a\\tb"));
}

TEST_F(FormatEntryTest, DatesComeFromTheLocalTimeZone) {
    CEventEntry entry = sampleEntry();
    setZone("CET-1");
    EXPECT_EQ("01/03/05, 10:05:03", FormatEntry(entry, "", "%4"));
    entry.m_TimeGenerated = -1;
    EXPECT_EQ("[]", FormatEntry(entry, "", "[%4]"));
    entry.m_TimeGenerated = 2147483648LL; // after 2038
    setZone("UTC0");
    EXPECT_EQ("19/01/38, 03:14:08", FormatEntry(entry, "", "%4"));
}

TEST_F(FormatEntryTest, InsertedValuesAreSearchedByLaterStepsOnly) {
    CEventEntry entry = sampleEntry();
    entry.m_SourceName = "src %1 %2";
    entry.m_UserName = "user %7";
    entry.m_DomainName = "DOM";
    EXPECT_EQ("src %1 msg %1 0x00001B7C|user DOM", FormatEntry(entry, "msg %1 %3", "%1|%6"));
    EXPECT_EQ("C:\temp\new", FormatEntry(entry, "C:\\temp\\new", "%2"));
    EXPECT_EQ("0x00001B7C", FormatEntry(entry, "%3", "%2"));
}

TEST_F(FormatEntryTest, NeverMatchesFromATrailByteInADoubleByteCodePage) {
    machine_.writeHive("HKEY_LOCAL_MACHINE",
                       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                       "Nls\\CodePage]\r\n\"ACP\"=\"932\"\r\n");
    // 0x95 0x5C is one Shift-JIS character whose trail byte is a backslash.
    std::string text = "\x95\\n \\n";
    EXPECT_EQ("\x95\\n \n", ReplaceAll(text, "\\n", "\n"));
    machine_.writeHive("HKEY_LOCAL_MACHINE", "REGEDIT4\r\n");
    EXPECT_EQ("\x95\n \n", ReplaceAll(text, "\\n", "\n")) << "in 1252 every byte is a character";
    EXPECT_EQ("%", ReplaceAll("%", "%%1", "x")) << "a text shorter than the pattern";
}

TEST_F(FormatEntryTest, TextsAreBoundedAndCutAtAWholeCharacter) {
    machine_.writeHive("HKEY_LOCAL_MACHINE",
                       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                       "Nls\\CodePage]\r\n\"ACP\"=\"932\"\r\n");
    CEventEntry entry = sampleEntry();
    std::string manyMessages;
    for (int i = 0; i < 511; ++i)
        manyMessages += "%2";
    std::string text = FormatEntry(entry, std::string(60000, 'm') + "%3%4%1", manyMessages);
    EXPECT_EQ(kEntryTextLimit, text.size()) << "not 767 MB";
    // A two-byte character that would end past the bound is left out whole.
    std::string fits(kEntryTextLimit - 1, 'a');
    EXPECT_EQ(fits, FormatEntry(entry, fits + "\x95\x5c", "%2"));
    EXPECT_EQ(fits + "b", FormatEntry(entry, fits + "b\x95\x5c", "%2"));
    EXPECT_EQ(std::string(3, 'a'), CutAtCharacter("aaa\x95\x5c", 4));
    machine_.writeHive("HKEY_LOCAL_MACHINE", "REGEDIT4\r\n");
}
