#include "tests/e2e/game_run.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace e2e {
namespace fs = std::filesystem;

std::wstring windowsPath(const std::string& unixPath)
{
    std::wstring out = L"Z:";
    for (char c : unixPath)
        out.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string GameRun::value(const std::string& key) const
{
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

unsigned long long GameRun::number(const std::string& key) const
{
    const std::string text = value(key);
    return text.empty() ? 0 : std::stoull(text, nullptr, 0);
}

std::string GameRun::file(const std::wstring& name) const
{
    std::ifstream in(fs::path(folder) / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void parseReport(const std::string& output, std::map<std::string, std::string>& values,
                 std::vector<std::string>& boxes)
{
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("game: ", 0) == 0) {
            const auto eq = line.find('=');
            if (eq != std::string::npos)
                values[line.substr(6, eq - 6)] = line.substr(eq + 1);
        } else if (line.rfind("box: ", 0) == 0) {
            boxes.push_back(line.substr(5));
        }
    }
}

GameRun runGame(const GameFolder& folder, const std::wstring& game, const std::wstring& arguments,
                DWORD timeoutMs)
{
    GameRun run;
    run.folder = folder.path;
    std::error_code ec;
    if (folder.fresh)
        fs::remove_all(folder.path, ec);
    fs::create_directories(folder.path, ec);
    const auto overwrite = fs::copy_options::overwrite_existing;
    if (!folder.bridge.empty())
        fs::copy_file(folder.bridge, fs::path(folder.path) / L"fsr2bridge.dll", overwrite, ec);
    const fs::path streamline = fs::path(folder.path) / L"streamline";
    if (!folder.streamlineSet.empty()) {
        fs::create_directories(streamline, ec);
        for (const auto& file : fs::directory_iterator(folder.streamlineSet, ec)) {
            const std::wstring name = file.path().filename().wstring();
            if (file.is_regular_file() &&
                std::find(folder.leaveOut.begin(), folder.leaveOut.end(), name) == folder.leaveOut.end())
                fs::copy_file(file.path(), streamline / name, overwrite, ec);
        }
    }
    for (const auto& [name, source] : folder.replace) {
        fs::create_directories(streamline, ec);
        fs::remove(streamline / name, ec); // MinGW's copy_file does not overwrite
        fs::copy_file(source, streamline / name, overwrite, ec);
    }
    if (!folder.interposer.empty()) {
        fs::create_directories(fs::path(folder.path) / L"streamline", ec);
        fs::copy_file(folder.interposer, fs::path(folder.path) / L"streamline" / L"sl.interposer.dll",
                      overwrite, ec);
    }
    if (!folder.configJson.empty()) {
        std::ofstream config(fs::path(folder.path) / L"config.json", std::ios::binary);
        config << folder.configJson;
    }

    // The child inherits this process's environment with the scenario's knobs.
    std::vector<std::pair<std::wstring, std::wstring>> saved;
    for (const auto& [name, value] : folder.environment) {
        wchar_t old[4096];
        const DWORD n = GetEnvironmentVariableW(name.c_str(), old, 4096);
        saved.emplace_back(name, n ? std::wstring(old, n) : std::wstring());
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    }

    const std::wstring outputPath = (fs::path(folder.path) / L"game-output.txt").wstring();
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + game + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    // A loaded Wine (two test programs starting games at once) has been seen to refuse a process start now
    // and then; the game has not run yet, so a start is tried again, and what refused it is kept.
    std::string refusals;
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0)
            Sleep(200);
        started = CreateProcessW(game.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 folder.path.c_str(), &startup, &process);
        if (!started)
            refusals += "CreateProcessW failed with Windows error " + std::to_string(GetLastError()) + "\n";
    }
    CloseHandle(out);
    for (const auto& [name, value] : saved)
        SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    if (!started) {
        run.exitCode = 0xFFFFFFFF;
        run.output = refusals;
        return run;
    }
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.output = refusals + run.file(L"game-output.txt");
    parseReport(run.output, run.values, run.boxes);
    return run;
}

} // namespace e2e
