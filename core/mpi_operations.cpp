// User MPI datatypes and reduction operations, created once and freed before MPI_Finalize.
#include "core/mpi_operations.h"

#include <algorithm>
#include <filesystem>

#include "core/error_code.h"
#include "core/exact_sum.h"

namespace velorn {
namespace {

MPI_Datatype g_zone_record_type = MPI_DATATYPE_NULL;
MPI_Datatype g_flag_and_two_doubles_type = MPI_DATATYPE_NULL;
MPI_Op g_add_zone_record_sums = MPI_OP_NULL;
MPI_Op g_add_zone_records = MPI_OP_NULL;

// Adds fields 0 and 4 of the records of `in` to those of `inout`; field 1 is summed as well,
// or set to 0.
template <bool kSumFieldOne>
void SumRecordFields(const void* in, void* inout, int count) {
  const double* source = static_cast<const double*>(in);
  double* target = static_cast<double*>(inout);
  for (int i = 0; i < count; ++i) {
    const double* a = source + i * kZoneRecordFields;
    double* b = target + i * kZoneRecordFields;
    b[0] += a[0];
    b[1] = kSumFieldOne ? b[1] + a[1] : 0.0;
    b[4] += a[4];
  }
}

}  // namespace

void AddZoneRecordSums(void* in, void* inout, int* count, MPI_Datatype* /*type*/) {
  SumRecordFields<false>(in, inout, *count);
}

void AddZoneRecords(void* in, void* inout, int* count, MPI_Datatype* /*type*/) {
  SumRecordFields<true>(in, inout, *count);
}

MPI_Datatype ZoneRecordType() {
  if (g_zone_record_type == MPI_DATATYPE_NULL) {
    MPI_Type_contiguous(kZoneRecordFields, MPI_DOUBLE, &g_zone_record_type);
    MPI_Type_commit(&g_zone_record_type);
  }
  return g_zone_record_type;
}

void ReduceExactSumsToRoot(std::vector<ExactSum>& sums, MPI_Comm comm) {
  // One digit range for all sums and processes, so the packed sums line up element-wise.
  int lo = ExactSum::kDigits;
  int hi = -1;
  for (ExactSum& sum : sums) {
    sum.Normalize();
    lo = std::min(lo, sum.lowest_digit());
    hi = std::max(hi, sum.highest_digit());
  }
  std::vector<double> range{-static_cast<double>(lo), static_cast<double>(hi)};
  AllReduceMaximum(range, comm);
  lo = -static_cast<int>(range[0]);
  hi = static_cast<int>(range[1]);
  std::vector<int64_t> packed;
  packed.reserve(sums.size() *
                 static_cast<std::size_t>(std::max(hi - lo + 1, 0) + ExactSum::kSpecials));
  for (const ExactSum& sum : sums) sum.Pack(lo, hi, packed);
  ReduceSumsToRoot(packed, comm);
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  if (rank != 0) return;
  const int64_t* next = packed.data();
  for (ExactSum& sum : sums) {
    sum.Unpack(lo, hi, next);
    next += std::max(hi - lo + 1, 0) + ExactSum::kSpecials;
  }
}

MPI_Datatype FlagAndTwoDoublesType() {
  if (g_flag_and_two_doubles_type == MPI_DATATYPE_NULL) {
    const int lengths[3] = {1, 1, 1};
    const MPI_Aint displacements[3] = {0, 8, 16};
    const MPI_Datatype types[3] = {MPI_C_BOOL, MPI_DOUBLE, MPI_DOUBLE};
    MPI_Datatype packed = MPI_DATATYPE_NULL;
    MPI_Type_create_struct(3, lengths, displacements, types, &packed);
    MPI_Type_create_resized(packed, 0, 24, &g_flag_and_two_doubles_type);
    MPI_Type_free(&packed);
    MPI_Type_commit(&g_flag_and_two_doubles_type);
  }
  return g_flag_and_two_doubles_type;
}

void BroadcastFlagAndTwoDoubles(void* records, int count, MPI_Comm comm) {
  int processes = 1;
  MPI_Comm_size(comm, &processes);
  if (processes == 1 || count <= 0) return;
  MPI_Bcast(records, count, FlagAndTwoDoublesType(), 0, comm);
}

int BroadcastCodeFromRoot(int code, MPI_Comm comm) {
  int processes = 1;
  MPI_Comm_size(comm, &processes);
  if (processes > 1) MPI_Bcast(&code, 1, MPI_INT, 0, comm);
  return code;
}

void BroadcastText(std::string& text, MPI_Comm comm, int root) {
  unsigned long length = text.size();
  MPI_Bcast(&length, 1, MPI_UNSIGNED_LONG, root, comm);
  text.resize(length);
  // In pieces below INT_MAX characters, the largest count of one call.
  constexpr unsigned long kPiece = 1ul << 30;
  for (unsigned long at = 0; at < length; at += kPiece)
    MPI_Bcast(text.data() + at, static_cast<int>(std::min(kPiece, length - at)), MPI_CHAR, root,
              comm);
}

void AgreeOnFailure(DiagnosticStream& diag, const std::function<void()>& work, MPI_Comm comm) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  const int code = CodeOf(work);
  // The lowest rank of a failing process: (0, rank) for a failure sorts before (1, rank).
  int mine[2] = {code != 0 ? 0 : 1, rank};
  int first[2] = {1, 0};
  MPI_Allreduce(mine, first, 1, MPI_2INT, MPI_MINLOC, comm);
  if (first[0] != 0) return;
  const int failing = first[1];
  int shared = code;
  MPI_Bcast(&shared, 1, MPI_INT, failing, comm);
  std::string text = rank == failing ? diag.last_fatal() : std::string();
  BroadcastText(text, comm, failing);
  // The failing process wrote its entry (on its standard error when it is not process 0).
  if (rank == 0 && failing != 0)
    diag << "FATAL: " << text << " (on mpi-rank " << failing << ")[end-entry]";
  throw ErrorCode{shared};
}

bool ExistsOnRoot(const std::string& path, MPI_Comm comm) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  return BroadcastCodeFromRoot(rank == 0 && std::filesystem::exists(path) ? 1 : 0, comm) != 0;
}

int ProcessesOnNode() {
  MPI_Comm node = MPI_COMM_NULL;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node);
  int processes = 1;
  if (node != MPI_COMM_NULL) {
    MPI_Comm_size(node, &processes);
    MPI_Comm_free(&node);
  }
  return processes > 0 ? processes : 1;
}

MPI_Op AddZoneRecordSumsOp() {
  if (g_add_zone_record_sums == MPI_OP_NULL) {
    MPI_Op_create(&AddZoneRecordSums, /*commute=*/1, &g_add_zone_record_sums);
  }
  return g_add_zone_record_sums;
}

MPI_Op AddZoneRecordsOp() {
  if (g_add_zone_records == MPI_OP_NULL) {
    MPI_Op_create(&AddZoneRecords, /*commute=*/1, &g_add_zone_records);
  }
  return g_add_zone_records;
}

void AllReduceZoneRecordSums(double* records, int count, MPI_Comm comm) {
  if (count <= 0) return;
  MPI_Allreduce(MPI_IN_PLACE, records, count, ZoneRecordType(), AddZoneRecordSumsOp(), comm);
  // MPI skips the operation with one process; zero field 1 here so every process count agrees.
  for (int i = 0; i < count; ++i) records[i * kZoneRecordFields + 1] = 0.0;
}

void ExactSumsToRoot(std::vector<double>& values, MPI_Comm comm) {
  int processes = 1;
  int rank = 0;
  MPI_Comm_size(comm, &processes);
  MPI_Comm_rank(comm, &rank);
  if (processes == 1 || values.empty()) return;
  const int count = static_cast<int>(values.size());
  std::vector<double> gathered(rank == 0 ? values.size() * static_cast<std::size_t>(processes) : 0);
  MPI_Gather(values.data(), count, MPI_DOUBLE, gathered.data(), count, MPI_DOUBLE, 0, comm);
  if (rank != 0) return;
  ExactSum sum;
  for (int i = 0; i < count; ++i) {
    // A value that only one process holds (a subbasin inside one strip) needs no sum.
    int nonzero = 0;
    double single = 0.0;
    for (int p = 0; p < processes; ++p) {
      const double term = gathered[static_cast<std::size_t>(p) * count + i];
      if (term != 0.0) ++nonzero, single = term;
    }
    if (nonzero <= 1) {
      values[static_cast<std::size_t>(i)] = single;
      continue;
    }
    sum.Reset();
    for (int p = 0; p < processes; ++p) sum.Add(gathered[static_cast<std::size_t>(p) * count + i]);
    values[static_cast<std::size_t>(i)] = sum.Value();
  }
}

void ReduceSumsToRoot(std::vector<int64_t>& values, MPI_Comm comm) {
  int processes = 1;
  int rank = 0;
  MPI_Comm_size(comm, &processes);
  MPI_Comm_rank(comm, &rank);
  if (processes == 1) return;
  constexpr std::size_t kPiece = 1u << 26;
  for (std::size_t first = 0; first < values.size(); first += kPiece) {
    const std::size_t count = std::min(kPiece, values.size() - first);
    if (rank == 0) {
      MPI_Reduce(MPI_IN_PLACE, values.data() + first, static_cast<int>(count), MPI_INT64_T, MPI_SUM,
                 0, comm);
    } else {
      MPI_Reduce(values.data() + first, nullptr, static_cast<int>(count), MPI_INT64_T, MPI_SUM, 0,
                 comm);
    }
  }
}

namespace {

void AllReduceDoubles(std::vector<double>& values, MPI_Op operation, MPI_Comm comm) {
  int processes = 1;
  MPI_Comm_size(comm, &processes);
  if (processes == 1) return;
  // In pieces that fit MPI's int count, so that a large table needs no second path.
  constexpr std::size_t kPiece = 1u << 26;
  for (std::size_t first = 0; first < values.size(); first += kPiece) {
    const std::size_t count = std::min(kPiece, values.size() - first);
    MPI_Allreduce(MPI_IN_PLACE, values.data() + first, static_cast<int>(count), MPI_DOUBLE,
                  operation, comm);
  }
}

}  // namespace

void AllReduceMaximum(std::vector<double>& values, MPI_Comm comm) {
  AllReduceDoubles(values, MPI_MAX, comm);
}

void AllReduceSum(std::vector<double>& values, MPI_Comm comm) {
  AllReduceDoubles(values, MPI_SUM, comm);
}

void FreeMpiOperations() {
  if (g_add_zone_record_sums != MPI_OP_NULL) MPI_Op_free(&g_add_zone_record_sums);
  if (g_add_zone_records != MPI_OP_NULL) MPI_Op_free(&g_add_zone_records);
  if (g_zone_record_type != MPI_DATATYPE_NULL) MPI_Type_free(&g_zone_record_type);
  if (g_flag_and_two_doubles_type != MPI_DATATYPE_NULL) MPI_Type_free(&g_flag_and_two_doubles_type);
  g_add_zone_record_sums = MPI_OP_NULL;
  g_add_zone_records = MPI_OP_NULL;
  g_zone_record_type = MPI_DATATYPE_NULL;
  g_flag_and_two_doubles_type = MPI_DATATYPE_NULL;
}

}  // namespace velorn
