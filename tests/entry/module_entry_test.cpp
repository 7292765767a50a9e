// The built DLL's process attach, in child processes: it fails without d3d12.dll, succeeds with the
// graphics modules loaded, and is not disturbed by a dxgi.dll in the current directory.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::wstring windowsPath(const char* unixPath)
{
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p)
        path += static_cast<wchar_t>(*p == '/' ? '\\' : *p);
    return path;
}

// Runs the probe and returns its output line.
std::string runProbe(const std::wstring& preload, const std::wstring& directory,
                     const std::wstring& lookFor = L"")
{
    std::wstring command =
        L"\"" + windowsPath(ENTRY_PROBE) + L"\" \"" + windowsPath(BRIDGE_DLL) + L"\" " + preload;
    if (!lookFor.empty())
        command += L" \"" + lookFor + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return "no pipe";
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        directory.empty() ? nullptr : directory.c_str(), &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return "not started";
    }
    std::string output;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        output.append(buffer, got);
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(readEnd);
    const auto end = output.find_first_of("\r\n");
    return end == std::string::npos ? output : output.substr(0, end);
}

TEST(ModuleEntry, AttachFailsWithoutD3D12AndSucceedsWithIt)
{
    struct Case {
        const wchar_t* preload;
        const char* expected;
    };
    const Case cases[] = {{L"none", "loaded=0 sideloaded=0"}, {L"graphics", "loaded=1 sideloaded=0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.preload, c.preload + std::wcslen(c.preload)));
        EXPECT_EQ(runProbe(c.preload, L""), c.expected);
    }
}

// A dxgi.dll in the current directory that cannot stand in for the system's changes nothing for the attach.
// (That it is loaded cannot be seen from here: a process started from inside Wine answers every dxgi.dll
// load with Wine's built-in module.)
TEST(ModuleEntry, ALocalDxgiChangesNothingElse)
{
    const std::filesystem::path directory = std::filesystem::temp_directory_path() / L"entry_sideload";
    std::filesystem::create_directories(directory);
    const std::filesystem::path local = directory / L"dxgi.dll";
    std::filesystem::copy_file(windowsPath(EMPTY_MODULE), local,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(runProbe(L"graphics", directory.wstring()), "loaded=1 sideloaded=0");
    std::filesystem::remove(local);
    EXPECT_EQ(runProbe(L"graphics", directory.wstring()), "loaded=1 sideloaded=0");
}

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The attach starts the log in the working directory (keeping the last one); a failed attach writes it at
// once, saying why, and leaves no thread behind in the unloaded module.
TEST(ModuleEntry, AnAttachStartsTheLogInTheWorkingDirectory)
{
    const std::filesystem::path directory = std::filesystem::temp_directory_path() / L"entry_log";
    struct Case {
        const wchar_t* preload;
        const char* expected;
        const char* says;
    };
    const Case cases[] = {
        {L"none", "loaded=0 sideloaded=0",
         "] creation hooks not installed: D3D12CreateDevice could not be hooked (MH_ERROR_MODULE_NOT_FOUND: "
         "d3d12.dll is not loaded yet)\r\n"},
        {L"graphics", "loaded=1 sideloaded=0", "] working directory "}};
    SetEnvironmentVariableW(L"ENTRY_PROBE_WAIT_LOG", L"1");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.preload, c.preload + std::wcslen(c.preload)));
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
        std::ofstream(directory / L"fsr2bridge.log", std::ios::binary) << "the run before\r\n";
        EXPECT_EQ(runProbe(c.preload, directory.wstring()), c.expected);
        const std::string log = readText(directory / L"fsr2bridge.log");
        EXPECT_EQ(readText(directory / L"fsr2bridge.previous.log"), "the run before\r\n");
        for (const char* part : {"] fsr2bridge ", " (commit ", "fsr2bridge.dll\r\n", "] process ",
                                 "entry_probe.exe (pid ", "] Windows ", "] working directory ", c.says})
            EXPECT_NE(log.find(part), std::string::npos) << part << " in\n" << log;
    }
    SetEnvironmentVariableW(L"ENTRY_PROBE_WAIT_LOG", nullptr);
    std::filesystem::remove_all(directory);
}

} // namespace
