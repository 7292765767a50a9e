#pragma once
// A scratch directory per test with helpers to put and read raw file bytes.
#include "settings/config.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace settings_test {

class ScratchDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t base[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, base), 0u);
        static unsigned counter = 0;
        directory = std::wstring(base) + L"fsr2settings_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                    std::to_wstring(++counter);
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        configPath = directory + L"\\config.json";
    }

    void TearDown() override
    {
        for (const auto& name : files()) {
            const std::wstring full = directory + L"\\" + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(full.c_str());
        }
        RemoveDirectoryW(directory.c_str());
    }

    void put(const std::string& bytes) { put(configPath, bytes); }
    static void put(const std::wstring& path, const std::string& bytes)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
        CloseHandle(file);
    }

    // The file's bytes, or nothing when it does not exist.
    std::optional<std::string> bytes() const
    {
        HANDLE file = CreateFileW(configPath.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return std::nullopt;
        std::string content;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
            content.append(buffer, got);
        CloseHandle(file);
        return content;
    }

    // Names of everything in the scratch directory.
    std::vector<std::wstring> files() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }

    // The temporary file a save by this thread writes beside config.json.
    std::wstring temporaryName() const
    {
        return configPath + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
               std::to_wstring(GetCurrentThreadId()) + L".tmp";
    }

    // Keeps a save by this thread from creating its temporary file, as a folder
    // without the right to create files would: the name is taken by a file held
    // open without any sharing. Close the handle and delete the file afterwards.
    HANDLE blockTemporary() const
    {
        return CreateFileW(temporaryName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    // True when nothing but config.json lies in the directory.
    bool onlyConfigLeft() const
    {
        for (const auto& name : files())
            if (name != L"config.json")
                return false;
        return true;
    }

    std::wstring directory;
    std::wstring configPath;
};

} // namespace settings_test
