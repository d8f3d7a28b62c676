#include "ui/StringTable.h"

#include <gtest/gtest.h>

#include "platform/Text.h"

namespace {

TEST(StringTable, EveryIdHasBothTextsAndTheTableIsSorted) {
    ASSERT_EQ(ResStringCount(), 86u);
    for (std::size_t i = 0; i < ResStringCount(); ++i) {
        DWORD dwId = ResStringIdAt(i);
        if (i > 0) {
            EXPECT_LT(ResStringIdAt(i - 1), dwId);
        }
        EXPECT_FALSE(LoadResString(dwId, UiLanguage::English).empty()) << dwId;
        EXPECT_FALSE(LoadResString(dwId, UiLanguage::Japanese).empty()) << dwId;
        EXPECT_TRUE(Utf8IsValid(LoadResString(dwId, UiLanguage::Japanese))) << dwId;
    }
}

struct TextCase {
    DWORD dwId;
    UiLanguage language;
    const char* pszText;
};

TEST(StringTable, TextsAreExact) {
    const TextCase cases[] = {
        {251, UiLanguage::English, "Bad configuration file format. (line:%d)"},
        {251, UiLanguage::Japanese, "設定ファイルに異常があります(%d行目)"},
        {255, UiLanguage::English, "The value of Type ID specified in configuration file exceeds the maximum. (%d)"},
        {167, UiLanguage::Japanese, "設定(&S)"},
        {170, UiLanguage::English, "\nStop bit: 1 bit"},
        {175, UiLanguage::English, "Specified setting is not supported for this software.\nSet as below.\n%s%s%s"},
        {216, UiLanguage::Japanese, "USB"},
        {262, UiLanguage::Japanese,
         "ファームウェアのアップデートに失敗しました\n再試行します。プリンターの電源を入れなおしてください\n"
         "電源スイッチでオフにできない場合は下記の方法を試してください\n・ACプラグを抜く\n・バッテリを取り外す\n"
         "・USBケーブルを抜く"},
        {265, UiLanguage::English,
         "Wireless LAN model:\n  If the printer is in SimpleAP mode, reconnect and click [OK].\n  If the printer is in "
         "Client mode, wait for the printer to connect\n  wirelessly and click [OK].\nEthernet model:\n  Click [OK]."},
    };
    for (const TextCase& c : cases) EXPECT_EQ(LoadResString(c.dwId, c.language), c.pszText) << c.dwId;
}

TEST(StringTable, UnknownIdGivesEmptyText) {
    EXPECT_EQ(LoadResString(0, UiLanguage::English), "");
    EXPECT_EQ(LoadResString(165, UiLanguage::Japanese), "");
    EXPECT_EQ(LoadResString(266, UiLanguage::English), "");
}

struct LocaleCase {
    const char* pszLcAll;
    const char* pszLcMessages;
    const char* pszLang;
    UiLanguage expected;
};

TEST(StringTable, LanguageFollowsFirstNonEmptyLocaleVariable) {
    const LocaleCase cases[] = {
        {nullptr, nullptr, nullptr, UiLanguage::English},
        {nullptr, nullptr, "ja_JP.UTF-8", UiLanguage::Japanese},
        {"", "", "ja", UiLanguage::Japanese},
        {"C", nullptr, "ja_JP.UTF-8", UiLanguage::English},
        {nullptr, "en_US.UTF-8", "ja_JP.UTF-8", UiLanguage::English},
        {"ja_JP.eucJP", "en_US.UTF-8", nullptr, UiLanguage::Japanese},
        {"", "ja_JP", "en_GB", UiLanguage::Japanese},
        {nullptr, nullptr, "JA_JP", UiLanguage::English},
        {nullptr, nullptr, "j", UiLanguage::English},
    };
    for (const LocaleCase& c : cases) {
        EXPECT_EQ(UiLanguageFromLocale(c.pszLcAll, c.pszLcMessages, c.pszLang), c.expected)
            << (c.pszLcAll ? c.pszLcAll : "-") << "/" << (c.pszLcMessages ? c.pszLcMessages : "-") << "/"
            << (c.pszLang ? c.pszLang : "-");
    }
}

TEST(StringTable, LoadResStringReadsTheEnvironment) {
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(LoadResString(IDS_KIND_SERIAL), "シリアル");
    ::setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(LoadResString(IDS_KIND_SERIAL), "Serial");
    ::unsetenv("LC_ALL");
}

}  // namespace
