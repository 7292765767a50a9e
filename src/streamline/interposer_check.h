#pragma once
// The examination of streamline\sl.interposer.dll before it is loaded: is it there, is it a file, is its
// signature accepted. It can run early, on a thread of its own while the game boots, so that the game's first
// factory only takes its result; the file stays held from its verification until it is loaded.
#include <filesystem>
#include <memory>
#include <string>

#include "streamline/signature.h"

namespace fsr2bridge {

struct InterposerExamination {
    enum class Place : std::uint8_t { file, missing, cannotExamine, notAFile };

    std::wstring path;
    Place place = Place::missing;
    std::string problem; // cannotExamine: the file system's words; notAFile: what has its name
    SignatureCheck signature;
    ModuleFileHold hold; // the file, held from its verification on (also when it was refused)
    double milliseconds = 0;
    bool early = false; // made while the game booted

    // Still the answer for the file at `path`: the same path, and the very file verified still there (no
    // other file or folder put in its place meanwhile). Absence and a refusal without a hold are asked again.
    bool standsFor(const std::wstring& interposerPath) const;
};

// <workingDirectory>\streamline\sl.interposer.dll: where the interposer must be.
std::filesystem::path interposerPathIn(const std::filesystem::path& workingDirectory);

// Looks at `path` as the loader does: exists, is a regular file (links followed), signature. Logs nothing,
// prints nothing, shows nothing.
std::unique_ptr<InterposerExamination> examineInterposer(const std::filesystem::path& path);

// What the player and the log are told about an examination, as the loader always told them: the
// signature line on standard output, the log's line, the start-failure box. True when it was accepted.
bool reportExamination(const InterposerExamination& examination) noexcept;

// The interposer of the current directory examined on a thread of its own. Called from DllMain: returns at
// once and never waits; nothing of Streamline is loaded by it. False when no thread could be made.
bool startEarlyInterposerCheck() noexcept;
// The early examination, when there was one: waits for what is left of it (`waitedMilliseconds`). It is
// given only when it still stands for `interposerPath`; otherwise it is dropped and null comes back.
std::unique_ptr<InterposerExamination> takeEarlyInterposerCheck(const std::wstring& interposerPath,
                                                                double& waitedMilliseconds) noexcept;
// No load will come (pass-through mode): the early examination's file is let go as soon as it is done.
void dropEarlyInterposerCheck() noexcept;
// Whether the early examination has finished (false when none was started). For tests.
bool earlyInterposerCheckFinished() noexcept;

} // namespace fsr2bridge
