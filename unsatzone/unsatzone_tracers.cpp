// The second-stage set-up of the soil zone: tracers, river coupling, runoff arrays, and their
// release.
#include "core/error_code.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void unsatzonmodellklasse::SetupTracers(int32_t& error, int32_t count, TracerDefinition*,
                                        ZoneStatisticsRecord*, int32_t) {
  error = 0;
  if (GetFlowControl() == 0) return;
  try {
    SetupRunoff(count);
  } catch (const ErrorCode& e) {
    error = e.code;
  } catch (...) {
    error = 103;
  }
}

void unsatzonmodellklasse::ReleaseTracers() {}

}  // namespace velorn
