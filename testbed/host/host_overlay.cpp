#include "testbed/host/host_overlay.h"

#include "common/module_export.h"
#include "testbed/overlay/overlay.h"

#include <windows.h>

namespace hostgame {
namespace {
HMODULE overlay = nullptr;
} // namespace

bool loadOverlay(const std::wstring& path, bool attachLater, Report& report)
{
    overlay = LoadLibraryW(path.c_str());
    report.set("overlay_loaded", overlay ? 1 : 0);
    if (!overlay)
        return false;
    if (!attachLater)
        attachOverlay();
    return true;
}

void attachOverlay()
{
    const auto attach =
        fsr2bridge::exportedFunction<testworld::OverlayAttachFunction>(overlay, "OverlayAttach");
    if (attach)
        attach();
}

void awaitOverlayAttach()
{
    const auto read =
        fsr2bridge::exportedFunction<testworld::OverlayReportFunction>(overlay, "OverlayReport");
    testworld::OverlayReport ignored{};
    if (read)
        read(&ignored, 10000);
}

void reportOverlay(Report& report)
{
    const auto read =
        fsr2bridge::exportedFunction<testworld::OverlayReportFunction>(overlay, "OverlayReport");
    testworld::OverlayReport r{};
    if (!read || !read(&r, 10000)) {
        report.set("overlay_reported", 0);
        return;
    }
    report.set("overlay_reported", 1);
    report.set("overlay_attached", r.attached);
    report.set("overlay_on_own_thread", r.onOwnThread);
    report.set("overlay_dllmain_factory", r.dllMainFactory);
    report.set("overlay_presents", r.presents);
    report.set("overlay_copies", r.copies);
    report.set("overlay_resizes", r.resizes);
    report.set("overlay_held_released", r.heldReleased);
    report.set("overlay_cpp_exceptions", r.cppExceptions);
    report.set("overlay_seh_exceptions", r.sehExceptions);
    report.set("overlay_failures", r.failures);
    report.setHex("overlay_first_failure", static_cast<std::uint32_t>(r.firstFailure));
    report.setText("overlay_failed_call", r.failedCall[0] ? r.failedCall : "none");
    report.setText("overlay_patched", r.patchedModule[0] ? r.patchedModule : "none");
}

} // namespace hostgame
