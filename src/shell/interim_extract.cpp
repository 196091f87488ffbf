// INTERIM, removed when the extraction driver lands on main: creates the
// install folder and leaves installPath as the driver does after a run, so
// that the flow around the dialog can be exercised meanwhile.
#include "archive/extract.h"
#include "archive/paths.h"
#include "install_state.h"

ResultCode extractArchive(WindowHandle) {
  stripTrailingSeparators(state.installPath);
  if (!createFolderPath(state.installPath)) return RC_FOLDER_FAILED;
  appendSeparator(state.installPath);
  return RC_OK;
}
