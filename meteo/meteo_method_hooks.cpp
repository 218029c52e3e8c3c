// Kernels of the regression (methods 2, 3, 10, 11, 12), bilinear (5, 6) and spline (7, 8)
// interpolation. They are built with those methods; until then the constructor refuses the
// methods (code 53), so none of these is reached in a run. Each still fails with that code
// rather than returning a value.
#include "core/error_code.h"
#include "meteo/meteo_interpolator.h"

namespace velorn {

namespace {

[[noreturn]] void NotAvailable(DiagnosticStream& diag, const std::string& name, int method) {
  ThrowFatal(diag, kMethodCode, "FATAL: interpolation method ", method, " of ", name,
             " is not available in this version of the model");
}

}  // namespace

double meteointerpol::ThiessenElevationGradient(double, double, double, double, double,
                                                double) const {
  NotAvailable(Diag(), name, method);
}

double meteointerpol::EvaluateRegression(int64_t, int64_t, double, double, double) const {
  NotAvailable(Diag(), name, method);
}

double meteointerpol::BilinearAtPoint(int, double, double, int64_t, int64_t) const {
  NotAvailable(Diag(), name, method);
}

void meteointerpol::StationsToMesh(int) {
  NotAvailable(Diag(), name, method);
}

void meteointerpol::ChooseLookupStations(int) {
  NotAvailable(Diag(), name, method);
}

void meteointerpol::ComputeSplines() {
  NotAvailable(Diag(), name, method);
}

void meteointerpol::ComputeStationRegression(int, int) {
  if (method == 10 || method == 11) NotAvailable(Diag(), name, method);
}

}  // namespace velorn
