#include "streamline/interposer_check.h"

#include <windows.h>

#include <atomic>
#include <new>
#include <system_error>

#include "common/log.h"
#include "common/unique_handle.h"
#include "streamline/loader.h"
#include "streamline/startup_phases.h"

namespace fsr2bridge {

namespace {

// The early examination, shared by its thread and the first factory under `lock`. Made once, never freed.
struct EarlyCheck {
    SRWLOCK lock = SRWLOCK_INIT;
    UniqueHandle done;                             // set when the thread has finished
    std::unique_ptr<InterposerExamination> result; // the thread's, until taken or dropped
    bool unwanted = false; // dropped, or taken while it ran: the thread lets go of its result itself
};
std::atomic<EarlyCheck*> earlyCheck{nullptr};

DWORD WINAPI runEarlyCheck(void* parameter)
{
    EarlyCheck& check = *static_cast<EarlyCheck*>(parameter);
    std::unique_ptr<InterposerExamination> result;
    try {
        std::error_code error;
        const std::filesystem::path directory = std::filesystem::current_path(error);
        if (!error) {
            result = examineInterposer(interposerPathIn(directory));
            result->early = true;
        }
    } catch (...) {
        result.reset();
    }
    AcquireSRWLockExclusive(&check.lock);
    if (!check.unwanted)
        check.result = std::move(result);
    ReleaseSRWLockExclusive(&check.lock);
    SetEvent(check.done.get());
    return 0; // an unwanted result (and its hold) goes here
}

} // namespace

std::filesystem::path interposerPathIn(const std::filesystem::path& workingDirectory)
{
    return workingDirectory / L"streamline" / L"sl.interposer.dll";
}

bool InterposerExamination::standsFor(const std::wstring& interposerPath) const
{
    return place == Place::file && path == interposerPath && hold.held() && hold.holds(path.c_str());
}

std::unique_ptr<InterposerExamination> examineInterposer(const std::filesystem::path& path)
{
    const long long start = performanceNow();
    auto result = std::make_unique<InterposerExamination>();
    result->path = path.wstring();
    // The errors that mean absence (file or path not found, bad network path, invalid name) and every other
    // file-system error alike end here; the report says which it was.
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    if (error || !exists) {
        result->place =
            error ? InterposerExamination::Place::cannotExamine : InterposerExamination::Place::missing;
        result->problem = error ? error.message() : std::string();
    } else {
        const std::filesystem::file_status status = std::filesystem::status(path, error);
        if (error || status.type() != std::filesystem::file_type::regular) {
            result->place = InterposerExamination::Place::notAFile;
            result->problem = status.type() == std::filesystem::file_type::directory
                                  ? "a folder has its name"
                                  : "something else has its name";
        } else {
            result->place = InterposerExamination::Place::file;
            result->signature = examineModuleSignature(result->path.c_str(), result->hold);
        }
    }
    result->milliseconds = millisecondsSince(start);
    return result;
}

bool reportExamination(const InterposerExamination& examination) noexcept
{
    try {
        const std::string shown = toUtf8(examination.path);
        switch (examination.place) {
        case InterposerExamination::Place::missing:
            logLine("Streamline: %s does not exist", shown.c_str());
            explainStartFailure(StartFailure::interposerMissing, examination.path);
            return false;
        case InterposerExamination::Place::cannotExamine:
            logLine("Streamline: %s cannot be examined (%s)", shown.c_str(), examination.problem.c_str());
            explainStartFailure(StartFailure::interposerMissing, examination.path);
            return false;
        case InterposerExamination::Place::notAFile:
            logLine("Streamline: %s is not a file (%s)", shown.c_str(), examination.problem.c_str());
            explainStartFailure(StartFailure::interposerNotAFile, examination.path);
            return false;
        case InterposerExamination::Place::file:
            break;
        }
        printSignatureLine(examination.signature, examination.path.c_str());
        logLine("Streamline: %s", signatureLogText(examination.signature, shown).c_str());
        if (!examination.signature.accepted)
            explainStartFailure(StartFailure::interposerRejected, examination.path);
        return examination.signature.accepted;
    } catch (...) {
        return false;
    }
}

bool startEarlyInterposerCheck() noexcept
{
    if (earlyCheck.load() != nullptr)
        return false;
    auto* check = new (std::nothrow) EarlyCheck;
    if (check == nullptr)
        return false;
    check->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!check->done) {
        delete check;
        return false;
    }
    // The thread runs this module's code: it must stay loaded, whatever the game's loader does.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&startEarlyInterposerCheck), &self);
    // Under the loader lock the thread only starts to run once DllMain has returned.
    UniqueHandle thread(CreateThread(nullptr, 0, &runEarlyCheck, check, 0, nullptr));
    if (!thread) {
        delete check;
        return false;
    }
    earlyCheck.store(check);
    return true;
}

std::unique_ptr<InterposerExamination> takeEarlyInterposerCheck(const std::wstring& interposerPath,
                                                                double& waitedMilliseconds) noexcept
{
    waitedMilliseconds = 0;
    EarlyCheck* check = earlyCheck.load();
    if (check == nullptr)
        return nullptr;
    // A factory under the loader lock never comes here (it passes Streamline by). An early check that is
    // still not done after a while (a stalled disk or scanner) is made again on this thread instead.
    constexpr DWORD patienceMilliseconds = 10000;
    const long long start = performanceNow();
    const bool finished = WaitForSingleObject(check->done.get(), patienceMilliseconds) == WAIT_OBJECT_0;
    waitedMilliseconds = millisecondsSince(start);
    if (!finished)
        logLine(
            "Streamline: the early signature check has not finished after %u s: the interposer is examined "
            "again",
            static_cast<unsigned>(patienceMilliseconds / 1000));
    AcquireSRWLockExclusive(&check->lock);
    std::unique_ptr<InterposerExamination> result = std::move(check->result);
    check->unwanted = true;
    ReleaseSRWLockExclusive(&check->lock);
    try {
        if (result && result->standsFor(interposerPath))
            return result;
    } catch (...) {
    }
    return nullptr;
}

bool earlyInterposerCheckFinished() noexcept
{
    const EarlyCheck* check = earlyCheck.load();
    return check != nullptr && WaitForSingleObject(check->done.get(), 0) == WAIT_OBJECT_0;
}

void dropEarlyInterposerCheck() noexcept
{
    EarlyCheck* check = earlyCheck.load();
    if (check == nullptr)
        return;
    AcquireSRWLockExclusive(&check->lock);
    std::unique_ptr<InterposerExamination> result = std::move(check->result);
    check->unwanted = true;
    ReleaseSRWLockExclusive(&check->lock);
}

} // namespace fsr2bridge
