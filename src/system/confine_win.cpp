#include "system/confine.hpp"

#include "system/cpu_budget_internal.hpp"
#include "system/utf16_win.hpp"

#include <windows.h>

namespace kinra2::system {

namespace detail {

// Files cannot be kept from being written or removed once a Windows process
// runs (that takes a restricted token or an AppContainer at creation), so
// the removable directories need no rule here.
std::string confine_platform(const std::vector<std::string>&, const std::string&) {
  std::string done, missing;
  auto note = [&done](const std::string& item) { done += (done.empty() ? "" : ", ") + item; };

  // A job that admits no second process: CreateProcess fails, and no child
  // may break away from it. A process already in a job gets a nested one
  // (Windows 8 and later), and its CPU budget then reads that outer job's
  // cap as recorded here, since queries answer for the innermost job.
  remember_outer_job();
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit{};
  limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
  limit.BasicLimitInformation.ActiveProcessLimit = 1;
  if (job &&
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limit, sizeof limit) &&
      AssignProcessToJobObject(job, GetCurrentProcess())) {
    note("job of one process");  // the handle stays open as long as the process lives
  } else {
    missing += "; job unavailable (" + win32_message(GetLastError()) + ")";
    if (job) CloseHandle(job);
  }

  // Mitigations a running process may still take without breaking the
  // runtime or a Python interpreter around it. Left out: dynamic code (the
  // runtime's kernels and an interpreter's foreign-function callbacks may
  // generate code), signed images only (the runtime and our own DLLs are
  // not Microsoft-signed), win32k calls (a console interpreter loads
  // user32), strict handle checks (a stale handle in any library would end
  // the process).
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY ext{};
  ext.DisableExtensionPoints = 1;
  if (SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy, &ext, sizeof ext))
    note("no extension points");
  else
    missing += "; extension-point policy unavailable (" + win32_message(GetLastError()) + ")";
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY img{};
  img.NoRemoteImages = 1;
  img.NoLowMandatoryLabelImages = 1;
  if (SetProcessMitigationPolicy(ProcessImageLoadPolicy, &img, sizeof img))
    note("no remote or low-label images");
  else
    missing += "; image-load policy unavailable (" + win32_message(GetLastError()) + ")";
  return "confine: " + (done.empty() ? std::string("nothing") : done) + missing;
}

}  // namespace detail
}  // namespace kinra2::system
