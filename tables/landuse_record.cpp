// LanduseRecord: construction, bounded accessors and the summary record of the table.
#include "tables/landuse_record.h"

namespace velorn {

LanduseRecord::LanduseRecord() = default;

LanduseRecord::LanduseRecord(int code_arg) : code(code_arg) {}

int LanduseRecord::GetJulDay(int i) const {
  if (i < 0 || i > n || static_cast<std::size_t>(i) >= JulDays.size()) return -1;
  return JulDays[static_cast<std::size_t>(i)];
}

double LanduseRecord::GetAltDep(int i) const {
  if (i < 0 || i > n || static_cast<std::size_t>(i) >= AltDep.size()) return 0.0;
  return AltDep[static_cast<std::size_t>(i)];
}

double LanduseRecord::GetForcingThreshold(int i) const {
  if (method != 5 || i < 0 || i > n || static_cast<std::size_t>(i) >= ForcingThreshold.size())
    return -1.0;
  return ForcingThreshold[static_cast<std::size_t>(i)];
}

const std::vector<double>& LanduseRecord::GetSeries(LanduseSeries series) const {
  switch (series) {
    case LanduseSeries::kRsc:
      return rsc;
    case LanduseSeries::kRsInterception:
      return rs_interception;
    case LanduseSeries::kRsEvaporation:
      return rs_evaporation;
    case LanduseSeries::kAlbedo:
      return Albedo;
    case LanduseSeries::kLAI:
      return LAI;
    case LanduseSeries::kZ0:
      return Z0;
    case LanduseSeries::kVCF:
      return VCF;
    case LanduseSeries::kRootDepth:
      return RootDepth;
    case LanduseSeries::kStemDiameter:
      return SR_StemDiameter;
    case LanduseSeries::kResidueCoverage:
      return SR_ResidCovrg;
    case LanduseSeries::kNFactor:
      return n_factor;
  }
  return rsc;
}

void LanduseRecord::GetSoilTillage(int& count, const int*& days) const {
  count = SoilTillageCount;
  days = SoilTillage.empty() ? nullptr : SoilTillage.data();
}

namespace {

void CoefficientTriple(const std::vector<double>& coefficients, double& c1, double& c2,
                       double& c3) {
  const bool read = coefficients.size() >= 4;
  c1 = read ? coefficients[1] : 0.0;
  c2 = read ? coefficients[2] : 0.0;
  c3 = read ? coefficients[3] : 0.0;
}

}  // namespace

void LanduseRecord::GetRoughCoeff1(double& c1, double& c2, double& c3) const {
  CoefficientTriple(SR_rough_coeff1, c1, c2, c3);
}

void LanduseRecord::GetRoughCoeff2(double& c1, double& c2, double& c3) const {
  CoefficientTriple(SR_rough_coeff2, c1, c2, c3);
}

void SummariseLanduseTable(std::vector<LanduseRecord>& table) {
  if (table.empty()) table.resize(1);
  LanduseRecord& summary = table[0];
  summary.SetCode(static_cast<int>(table.size()) - 1);
  int write_day = 365;
  int reset_day = 1;
  bool write_found = false;
  bool reset_found = false;
  for (std::size_t i = 1; i < table.size(); ++i) {
    const LanduseRecord& record = table[i];
    if (!write_found && record.GetJDVegetationWriteForBalance() >= 1) {
      write_day = record.GetJDVegetationWriteForBalance();
      write_found = true;
    }
    if (!reset_found && record.GetJDVegetationResetForBalance() > 0) {
      reset_day = record.GetJDVegetationResetForBalance();
      reset_found = true;
    }
  }
  summary.SetJDVegetationWriteForBalance(write_day);
  summary.SetJDVegetationResetForBalance(reset_day);
}

}  // namespace velorn
