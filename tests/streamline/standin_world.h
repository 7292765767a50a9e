#pragma once
// Helpers for tests that place the stand-in Streamline under a directory.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fsr2bridge::testing {

// A build-tree path as Wine sees it (the Unix root is drive Z:).
inline std::wstring windowsPath(const std::string& unixPath)
{
    std::wstring out = L"Z:";
    for (char c : unixPath) {
        out += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    return out;
}

// <build>/testbed/streamline/<relative>, e.g. "signed/sl.interposer.dll".
inline std::wstring standinFile(const std::string& relative)
{
    return windowsPath(std::string(FSR2BRIDGE_STANDIN_DIR) + "/" + relative);
}

inline std::wstring currentDirectory()
{
    wchar_t buffer[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, buffer);
    return buffer;
}

// A fresh, empty directory below the current one.
inline std::wstring freshDirectory(const std::wstring& name)
{
    const std::wstring dir = currentDirectory() + L"\\" + name;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

// Places `source` as <dir>\streamline\sl.interposer.dll.
inline bool placeInterposer(const std::wstring& dir, const std::wstring& source)
{
    CreateDirectoryW((dir + L"\\streamline").c_str(), nullptr);
    return CopyFileW(source.c_str(), (dir + L"\\streamline\\sl.interposer.dll").c_str(), FALSE) != FALSE;
}

inline void writeText(const std::wstring& path, const std::string& text)
{
    std::ofstream(std::filesystem::path(path), std::ios::binary) << text;
}

inline std::string narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

} // namespace fsr2bridge::testing
