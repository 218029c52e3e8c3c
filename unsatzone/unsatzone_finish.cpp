// The end of the soil zone's run: buffer flushes and the closing release.
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void unsatzonmodellklasse::FlushBuffers() {}

void unsatzonmodellklasse::FinishRun(bool append) {
  (void)append;
  ReleaseMemory();
}

}  // namespace velorn
