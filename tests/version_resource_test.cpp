// Reads the version resource back from the built kestrum.exe, as Explorer does, and checks it
// against the project's version, which the build passes in.
#include "harness/harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring Widen(const char* text) { return std::wstring(text, text + strlen(text)); }

class VersionResourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::wstring path = ExeFolder() + L"\\kestrum.exe";
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(size, 0u) << "no version resource in kestrum.exe, GLE=" << GetLastError();
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block_.data())) << "GLE=" << GetLastError();
    }

    // The string value under the US English, Unicode block, or "<missing>".
    std::wstring StringValue(const wchar_t* name)
    {
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        wchar_t* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block_.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
            value == nullptr) {
            return L"<missing>";
        }
        // The length counts the terminator; the text must end exactly there.
        std::wstring text(value);
        EXPECT_EQ(length, text.size() + 1) << "length of " << testing::PrintToString(std::wstring(name));
        return text;
    }

    std::vector<char> block_;
};

TEST_F(VersionResourceTest, NamesTheProductAndWhatItIs)
{
    EXPECT_EQ(StringValue(L"ProductName"), L"Kestrum");
    EXPECT_EQ(StringValue(L"FileDescription"), L"Kestrum print capture server");
    EXPECT_EQ(StringValue(L"CompanyName"), L"The Kestrum developers");
    EXPECT_EQ(StringValue(L"LegalCopyright"), L"Copyright (c) 2026 The Kestrum developers");
    EXPECT_EQ(StringValue(L"OriginalFilename"), L"kestrum.exe");
    EXPECT_EQ(StringValue(L"InternalName"), L"kestrum");
}

TEST_F(VersionResourceTest, StringVersionsAreTheProjectVersion)
{
    EXPECT_EQ(StringValue(L"FileVersion"), Widen(KESTRUM_VERSION));
    EXPECT_EQ(StringValue(L"ProductVersion"), Widen(KESTRUM_VERSION));
}

TEST_F(VersionResourceTest, NumericVersionsAreTheProjectVersion)
{
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD most = MAKELONG(KESTRUM_VERSION_MINOR, KESTRUM_VERSION_MAJOR);
    const DWORD least = MAKELONG(0, KESTRUM_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, most);
    EXPECT_EQ(fixed->dwFileVersionLS, least);
    EXPECT_EQ(fixed->dwProductVersionMS, most);
    EXPECT_EQ(fixed->dwProductVersionLS, least);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "marked as a debug or pre-release build";
}

TEST_F(VersionResourceTest, TranslationPointsAtTheStringBlock)
{
    struct Translation {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translations), &length));
    ASSERT_EQ(length, sizeof(Translation));
    EXPECT_EQ(translations->language, 0x0409);
    EXPECT_EQ(translations->codePage, 1200);
}

}  // namespace
