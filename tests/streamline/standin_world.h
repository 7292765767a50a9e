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

// Runs this program again with `arguments` in `dir`, its standard output and error into `stdoutFile`;
// returns its exit code (0xFFFFFFFF when it could not be started).
inline DWORD runThisProgram(const std::wstring& arguments, const std::wstring& dir,
                            const std::wstring& stdoutFile)
{
    wchar_t exe[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH * 2);
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" " + arguments;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(stdoutFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    DWORD code = 0xFFFFFFFF;
    if (CreateProcessW(exe, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, 120000);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    return code;
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
