// modelobject: construction, model time, log, directories, registry access, control-file
// readers and release.
#include "core/modelobject.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <initializer_list>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/number_reader.h"
#include "core/output_files.h"
#include "core/string_helpers.h"
#include "core/submodel_setup.h"
#include "core/value_ranges.h"

namespace velorn {
namespace {

void CheckFileNameLength(DiagnosticStream& diag, const char* what, const std::string& name) {
  if (name.size() <= kMaxFileNameLength) return;
  ThrowFatal(diag, 1, "FATAL: ", what, " longer than ",
             static_cast<unsigned long>(kMaxFileNameLength), " characters: ", name);
}

// Local time in the form of ctime(): "Wed Jun 30 21:49:08 1993\n".
std::string CtimeNow() {
  const std::time_t now = std::time(nullptr);
  char text[64] = {};
  if (ctime_r(&now, text) == nullptr) return "\n";
  return text;
}

// Index of the first of `names` that is registered. When none is, the FATAL entry lists them
// all ("a, b or c") and code 33 is thrown.
int RequireOneOf(GridRegistry& registry, DiagnosticStream& diag, const std::string& module_name,
                 std::initializer_list<const std::string*> names) {
  for (const std::string* name : names) {
    if (const int index = registry.FindIdentifier(*name)) return index;
  }
  std::string listed;
  std::size_t position = 0;
  for (const std::string* name : names) {
    if (position > 0) listed += position + 1 == names.size() ? " or " : ", ";
    listed += *name;
    ++position;
  }
  ThrowFatal(diag, kGridMissingCode,
             "FATAL: \n---------------- !!! ERROR !!!  ------------------------------------\n",
             "Wether ", listed, " \nwhere found in memory,\n",
             "One of these data sets has to be present within ", module_name, " \n",
             "If the data are to be interpolated, please specify an interpolatior for\n", listed,
             " in the control file,\n", "or read it as a standard grid \n",
             "-----------------------------------------------------------------------\n");
}

}  // namespace

modelobject::modelobject() = default;

modelobject::modelobject(DiagnosticStream* diag_stream, const std::string& control_file_name_arg,
                         int32_t /*unused*/, bool write_ascii_arg, bool write_double_arg,
                         bool write_netcdf_arg, const std::string& input_directory_arg,
                         const std::string& output_directory_arg, MpiLayout* mpi_arg,
                         int32_t response_unit_switch_arg,
                         std::vector<HruRecord>* response_unit_table_arg)
    : memory_handling(diag_stream),
      write_ascii(write_ascii_arg),
      write_double(write_double_arg),
      write_netcdf(write_netcdf_arg),
      output_directory(output_directory_arg),
      input_directory(input_directory_arg),
      mpi(mpi_arg),
      response_unit_switch(response_unit_switch_arg),
      response_unit_table(response_unit_table_arg) {
  CheckFileNameLength(Diag(), "control file name", control_file_name_arg);
  control_file_name = control_file_name_arg;
  int mpi_ready = 0;
  MPI_Initialized(&mpi_ready);
  if (mpi_ready) {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
  }
}

modelobject::~modelobject() = default;

GridRegistry& modelobject::Registry() {
  if (registry == nullptr)
    throw std::logic_error("model object " + module_name + " without registry");
  return *registry;
}

void modelobject::WriteLog(int32_t /*unused*/, const std::string& text) {
  if (rank != 0) return;
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", rank);
  if (diag == nullptr) throw std::logic_error("model object " + module_name + " without stream");
  AppendChecked(*diag, kWriteErrorCode, name, CtimeNow() + ": " + text + "\n");
}

void modelobject::SetEndDate(int64_t year, int64_t month, int64_t day, int64_t hour) {
  end_date = ModelDate{year, month, day, hour};
  end_key =
      year * key_weights[0] + month * key_weights[1] + day * key_weights[2] + hour * key_weights[3];
}

int modelobject::FindGrid(const std::string& identifier, int flag) {
  return Registry().Find(identifier, flag);
}

int modelobject::RequireGrid(const std::string& identifier) {
  const int index = Registry().FindIdentifier(identifier);
  if (index != 0) return index;
  ThrowFatal(Diag(), kGridMissingCode,
             "FATAL: \n---------------- !!! ERROR !!!  --------------------------\n", identifier,
             " not found in memory,\nThese data are needed within ", module_name,
             " \nif they are interpolated data, please specify an interpolator for\n", identifier,
             " in the control file or read it in as a standardfile,\n"
             "-----------------------------------------------------------\n");
}

int modelobject::RequireOneOfThreeGrids(const std::string& name1, const std::string& name2,
                                        const std::string& name3) {
  return RequireOneOf(Registry(), Diag(), module_name, {&name1, &name2, &name3});
}

int modelobject::RequireOneOfFourGrids(const std::string& name1, const std::string& name2,
                                       const std::string& name3, const std::string& name4) {
  return RequireOneOf(Registry(), Diag(), module_name, {&name1, &name2, &name3, &name4});
}

void modelobject::ReportControlFileError(const std::string& text1, const std::string& text2) {
  // A value that failed to read leaves the cursor on its word. "nan", "inf", "1e999", "40,16"
  // or "2.5" (for a whole number) look like numbers: say what is wrong with them instead of
  // "not found".
  std::string word;
  if (control_file != nullptr && control_file->is_open()) {
    const ControlFileReader::Position at = control_file->Tell();
    control_file->Read(word);
    control_file->Seek(at);
  }
  if (const std::string why = NumberProblem(word); !why.empty())
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, ", text1, "; ", text2,
               text2.empty() ? "\"" : " \"", word, "\" ", why);
  ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, ", text1, "; ", text2,
             "not found!");
}

void modelobject::RefuseNumberLikeWord(std::string_view line, std::size_t pos,
                                       const std::string& text1, int32_t code) {
  const std::string word = NumberLikeWordAt(line, pos);
  if (!word.empty())
    ThrowFatal(Diag(), code != 0 ? code : kControlFileErrorCode, "FATAL: error in control file, ",
               text1, "; ", module_name, " \"", word, "\" ", NumberProblem(word));
}

void modelobject::RequireRange(double value, double low, double high,
                               const std::string& description) {
  RequireControlRange(Diag(), value, low, high, description, module_name);
}

void modelobject::ReportWriteError(const std::string& name, int32_t code,
                                   const std::string& reason) {
  ThrowFatal(Diag(), kWriteErrorCode, "FATAL: write error ", name, " ! (", code, ")", reason);
}

void modelobject::ReportReadError(const std::string& name, int32_t code) {
  ThrowFatal(Diag(), kReadErrorCode, "FATAL: read error ", name, " ! (", code, ")");
}

template <class T>
int modelobject::ReadOneValue(ControlFileReader& file, T& destination,
                              const std::string& description, std::string* rest) {
  if (!file.Read(destination)) {
    // Show the user where reading stopped: the word that could not be converted.
    DiagnosticStream& stream = Diag();
    stream << "--> In ."
           << "\n"
           << "  Next line in Velorn control file: "
           << "[end-entry]";
    std::string word;
    const ControlFileReader::Position at = file.Tell();
    file.Read(word);
    file.Seek(at);
    stream << word << "[end-entry]";
    ReportControlFileError(description, module_name);
  }
  std::string remainder = file.RestOfLine();
  if (rest != nullptr) *rest = std::move(remainder);
  return 1;
}

int modelobject::ReadValue(ControlFileReader& file, int& destination,
                           const std::string& description, std::string* rest) {
  return ReadOneValue(file, destination, description, rest);
}

int modelobject::ReadValue(ControlFileReader& file, long& destination,
                           const std::string& description, std::string* rest) {
  return ReadOneValue(file, destination, description, rest);
}

int modelobject::ReadValue(ControlFileReader& file, double& destination,
                           const std::string& description, std::string* rest) {
  return ReadOneValue(file, destination, description, rest);
}

int modelobject::ReadValue(ControlFileReader& file, std::string& destination,
                           const std::string& description, std::string* rest) {
  return ReadOneValue(file, destination, description, rest);
}

int modelobject::FindSection(const std::string& header, int fatal) {
  const bool found =
      control_file != nullptr && control_file->is_open() && control_file->FindHeader(header);
  if (found) return 1;
  if (fatal) ReportControlFileError(header, "(EOF)");
  return 0;
}

void modelobject::GetStatistics(double& count, double& minimum, double& maximum, double& sum,
                                double& mean, double& standard_deviation) {
  count = statistics.count;
  minimum = statistics.minimum;
  maximum = statistics.maximum;
  sum = statistics.sum;
  mean = statistics.Mean();
  standard_deviation = statistics.StandardDeviation();
}

void modelobject::RegisterGrid(int index, const std::string& file_name, double** grid,
                               double*** stack, int32_t level_count, const std::string& identifier,
                               int32_t write_code, int64_t first_row, int64_t last_row) {
  Registry().Register(Diag(), index, file_name, grid, stack, level_count, identifier, write_code,
                      first_row, last_row, ncols, nrows);
  if ((*registry)[index].units_digit == 8) WriteGridOutput(index, 1, false);
}

void modelobject::UnregisterGrid(int index) {
  Registry().Unregister(index);
}

double modelobject::InterpolateLinear(double x0, double y0, double x1, double y1, double x) {
  return velorn::InterpolateLinear(x0, y0, x1, y1, x);
}

void modelobject::ReleaseMemory() {
  if (diag != nullptr) *diag << "DEBUG: deleting module " << module_name << "[end-entry]";
  module_name.clear();
  control_file_name.clear();
  line_buffer1.clear();
  line_buffer2.clear();
  netcdf_writer.reset();
  netcdf_reader.reset();
}

void modelobject::PrefixDirectory(const std::string& directory, std::string& name) {
  if (directory.empty()) return;
  if (!name.empty() && (name[0] == '/' || name[0] == '~')) return;
  std::string prefixed = directory + name;
  CheckFileNameLength(Diag(), "file name", prefixed);
  name = std::move(prefixed);
}

std::string modelobject::FixedGridName(const std::string& stem) const {
  return stem + "." + GridFormExtension(write_ascii, write_double, write_netcdf);
}

std::string modelobject::StateFileToRead(const std::string& name, const std::string& older) {
  if (older.empty() || older == name) return name;
  std::string stored = name;
  PrefixDirectory(input_directory, stored);
  if (ExistsOnRoot(stored)) return name;
  std::string earlier = older;
  PrefixDirectory(input_directory, earlier);
  if (!ExistsOnRoot(earlier)) return name;
  Diag() << "INFO: no grid " << stored << ": the state is read from " << earlier
         << ", the name an earlier version gave it[end-entry]";
  return older;
}

void modelobject::SetInputGridGeometry(double** grid, double x, double y, double cell_size) {
  input_grid = grid;
  input_x = x;
  input_y = y;
  input_cellsize = cell_size;
}

void modelobject::StoreSharedSetup(const SubModelSetup& setup) {
  output_list_count = setup.output_list_count;
  output_list_codes = setup.output_list_codes;
  report_interval = setup.report_interval;
  start_date = setup.start_date;
  min_to_int_end = setup.min_to_int_end;
  time_shift = min_to_int_end / 60.0;
  zone_code_index = setup.zone_code_index;
  zone_table = setup.zone_table;
  column_ranges = setup.column_ranges;
  zone_count = setup.zone_count;
  highest_zone_code = setup.highest_zone_code;
  static_cast<ModelGridGeometry&>(*this) = setup;
  registry = setup.registry;
}

}  // namespace velorn
