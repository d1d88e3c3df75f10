#include "run/program.h"

#include <exception>
#include <string>

#include "run/frm_ostrel.h"

namespace ostrel {

namespace {

int RunWindow(Platform& platform) {
  frmOstrel form(platform);
  try {
    platform.CreateForm(frmOstrel::kCaption, frmOstrel::kTimer1IntervalMs, form);
    form.Form_Load();
    // Unless the run already ended during the load's yield.
    if (platform.FormLoaded()) {
      platform.ShowForm();
      platform.RunMessageLoop();
    }
    return 0;
  } catch (const std::exception& failure) {
    form.EndAfterFailure();
    platform.ReportError(failure.what());
  } catch (...) {
    form.EndAfterFailure();
    platform.ReportError("unknown failure");
  }
  return 1;
}

}  // namespace

int RunProgram(Platform& platform) {
  const int status = RunWindow(platform);
  platform.FinishRun(status);
  return status;
}

}  // namespace ostrel
