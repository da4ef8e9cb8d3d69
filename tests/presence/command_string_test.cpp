#include "presence/orv_discord_manager.h"
#include "utility/ustring.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Fields = std::tuple<std::wstring, std::wstring, std::wstring>;

Fields parse(const std::wstring& text)
{
    OrvDiscordManager manager;
    manager.parseCmd(text);
    return {manager.details(), manager.state(), manager.gameIcon()};
}

TEST(CommandString, KeysValuesAndFields)
{
    EXPECT_EQ(parse(L"details=Lobby|state=Waiting"), Fields(L"Lobby", L"Waiting", L""));
    EXPECT_EQ(parse(L" Details = Main menu | STATE=Idle "), Fields(L"Main menu", L"Idle", L""));
    EXPECT_EQ(parse(L"gameicon=https://x/y.png?a=b|details=d"), Fields(L"d", L"", L"https://x/y.png?a=b"));
    EXPECT_EQ(parse(L"details=a=b"), Fields(L"a=b", L"", L""));
    EXPECT_EQ(parse(L"details=x|details=y"), Fields(L"y", L"", L""));
    EXPECT_EQ(parse(L"level=3|details=d"), Fields(L"d", L"", L""));
}

TEST(CommandString, MalformedFieldsAreIgnored)
{
    EXPECT_EQ(parse(L"details"), Fields(L"", L"", L""));
    EXPECT_EQ(parse(L"=x|state=y"), Fields(L"", L"y", L""));
    EXPECT_EQ(parse(L"   =x|state=y"), Fields(L"", L"y", L""));
    EXPECT_EQ(parse(L"|state=s||"), Fields(L"", L"s", L""));
    EXPECT_EQ(parse(L"details="), Fields(L"", L"", L""));
    EXPECT_EQ(parse(L""), Fields(L"", L"", L""));
    EXPECT_EQ(parse(L"|||"), Fields(L"", L"", L""));
}

TEST(CommandString, OnlySpacesAreTrimmedAndOnlyAsciiKeysFold)
{
    EXPECT_EQ(parse(L"details=\tx\t|state=\x00A0y"), Fields(L"\tx\t", L"\x00A0y", L""));
    EXPECT_EQ(parse(L"\tdetails=x"), Fields(L"", L"", L""));  // the tab belongs to the key
    // Full-width Latin letters are not folded, so this key is never "details".
    EXPECT_EQ(parse(L"\xFF24\xFF25\xFF34\xFF21\xFF29\xFF2C\xFF33=x"), Fields(L"", L"", L""));
    EXPECT_EQ(parse(L"DeTaIlS=Case Kept|GAMEICON=Icon"), Fields(L"Case Kept", L"", L"Icon"));
    // A key with a letter that folds to ASCII in other locales stays itself.
    EXPECT_EQ(parse(L"\x0130" L"details=x"), Fields(L"", L"", L""));
}

TEST(CommandString, QuotesAndTrailingNulAreKept)
{
    EXPECT_EQ(parse(L"\"details=x\""), Fields(L"", L"", L""));
    EXPECT_EQ(parse(L"state=\"quoted\""), Fields(L"", L"\"quoted\"", L""));
    const std::wstring withNul(L"details=d|state=s\0", 18);
    EXPECT_EQ(parse(withNul), Fields(L"d", std::wstring(L"s\0", 2), L""));
    EXPECT_EQ(parse(std::wstring(L"details=a\0b", 11)), Fields(std::wstring(L"a\0b", 3), L"", L""));
}

TEST(CommandString, ASecondParseKeepsNothingOfTheFirst)
{
    OrvDiscordManager manager;
    manager.parseCmd(L"details=one|state=two|gameicon=three");
    manager.parseCmd(L"state=new");
    EXPECT_EQ(manager.details(), L"");
    EXPECT_EQ(manager.state(), L"new");
    EXPECT_EQ(manager.gameIcon(), L"");
    manager.parseCmd(L"");
    EXPECT_EQ(manager.state(), L"");
}

TEST(UString, SplitKeepsEveryPieceAndTrimsOnlySpaces)
{
    std::vector<std::wstring> pieces{L"kept"};
    utility::ustring::split(pieces, L" a | b||c ", L"|");
    EXPECT_EQ(pieces, (std::vector<std::wstring>{L"kept", L"a", L"b", L"", L"c"}));
    pieces.clear();
    utility::ustring::split(pieces, L"", L"|");
    utility::ustring::split(pieces, L"x", L"");
    EXPECT_TRUE(pieces.empty());

    std::wstring text = L"    ";
    utility::ustring::trim(text);
    EXPECT_EQ(text, L"");
    text = L"  a b  ";
    utility::ustring::trim(text);
    EXPECT_EQ(text, L"a b");
}

TEST(UString, GetValueLeavesTheOutputAloneForAMissingKey)
{
    const std::map<std::wstring, std::wstring> pairs{{L"k", L"v"}};
    std::wstring out = L"untouched";
    EXPECT_FALSE(utility::ustring::getValue(out, pairs, L"missing"));
    EXPECT_EQ(out, L"untouched");
    EXPECT_TRUE(utility::ustring::getValue(out, pairs, L"k"));
    EXPECT_EQ(out, L"v");
}

}  // namespace
