// The user MPI datatypes and reduction operations of the model, created in this one place.
//
// Each type or operation is created on first use and lives until FreeMpiOperations, which
// `main` calls before MPI_Finalize. Callers reduce zone records through the helpers below
// rather than through the raw operation, so that their results do not depend on whether MPI
// called the operation at all (it does not with one process). No call here may be made inside
// an OpenMP region.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/exact_sum.h"

namespace velorn {

// Doubles per zone record: count, weighted sum, zone code, area share, weight sum.
inline constexpr int kZoneRecordFields = 5;

// MPI user operation over zone records: fields 0 and 4 of the output record become the sums of
// both records, field 1 becomes 0, fields 2 and 3 keep the output record's values.
void AddZoneRecordSums(void* in, void* inout, int* count, MPI_Datatype* type);

// MPI user operation of the zone statistics: fields 0, 1 and 4 of the output record become the
// sums of both records, fields 2 and 3 keep the output record's values.
void AddZoneRecords(void* in, void* inout, int* count, MPI_Datatype* type);

// Contiguous type of five doubles (one zone record).
MPI_Datatype ZoneRecordType();
// AddZoneRecordSums registered as a commutative reduction.
MPI_Op AddZoneRecordSumsOp();
// AddZoneRecords registered as a commutative reduction.
MPI_Op AddZoneRecordsOp();

// Sums fields 0 and 4 of `count` zone records over all processes of `comm`; every process
// receives the same records in place: the sums, field 1 set to 0, and fields 2 and 3 (zone
// code and area share, equal on every process) as they were, with one process as with many.
// Collective.
void AllReduceZoneRecordSums(double* records, int count, MPI_Comm comm = MPI_COMM_WORLD);

// Every element of `values` becomes its largest value over all processes of `comm` (in place;
// nothing to do with one process). Collective.
void AllReduceMaximum(std::vector<double>& values, MPI_Comm comm = MPI_COMM_WORLD);

// Every element of `values` becomes its sum over all processes of `comm` (in place; nothing to
// do with one process). The sum of doubles depends on the order MPI adds them in: use it for
// reports, not for results that must not depend on the process count. Collective.
void AllReduceSum(std::vector<double>& values, MPI_Comm comm = MPI_COMM_WORLD);

// Every element of `values` on process 0 of `comm` becomes its sum over all processes (the
// other processes keep theirs; nothing to do with one process). Integer sums do not depend on
// the order MPI combines them in. Collective.
void ReduceSumsToRoot(std::vector<int64_t>& values, MPI_Comm comm = MPI_COMM_WORLD);

// Every exact sum of `sums` on process 0 of `comm` becomes its sum over all processes (the
// other processes keep theirs), exactly: the result does not depend on the number of processes.
// Collective.
void ReduceExactSumsToRoot(std::vector<ExactSum>& sums, MPI_Comm comm = MPI_COMM_WORLD);
// Every element of `values` on process 0 of `comm` becomes the exact sum (rounded once, core/
// exact_sum.h) of that element over all processes, in one message per process; the other
// processes keep theirs. The result does not depend on the number of processes the terms were
// spread over nor on the order MPI delivers them. Collective.
void ExactSumsToRoot(std::vector<double>& values, MPI_Comm comm = MPI_COMM_WORLD);

// Struct type of one record of a one-byte flag (C bool) at byte 0 and two doubles at bytes 8 and
// 16, extent 24 (the snow model's subbasin glacier shares).
MPI_Datatype FlagAndTwoDoublesType();
// Broadcasts `count` such records from process 0 of `comm` (collective; nothing with one
// process).
void BroadcastFlagAndTwoDoubles(void* records, int count, MPI_Comm comm = MPI_COMM_WORLD);

// Process 0's `code` on every process of `comm` (collective): a phase that process 0 runs alone
// ends with the same code everywhere, so no process waits for one that has given up.
int BroadcastCodeFromRoot(int code, MPI_Comm comm = MPI_COMM_WORLD);

// Process `root`'s `text` on every process of `comm` (collective).
void BroadcastText(std::string& text, MPI_Comm comm = MPI_COMM_WORLD, int root = 0);

// Runs `work` (the part of a phase that each process does on its own data, such as reading its
// own state file) on every process of `comm`. When it throws ErrorCode on any process, every
// process throws the code of the first failing process (the lowest rank), and process 0 shows
// that process's FATAL entry, naming the process: a failure on any one process reaches the
// screen and the diagnostics file of process 0, instead of ending the others in the next
// collective call. Collective.
void AgreeOnFailure(DiagnosticStream& diag, const std::function<void()>& work,
                    MPI_Comm comm = MPI_COMM_WORLD);

// True on every process when process 0 finds the file `path` (collective): a state file that is
// optional is then read by all processes or by none.
bool ExistsOnRoot(const std::string& path, MPI_Comm comm = MPI_COMM_WORLD);

// The number of processes of MPI_COMM_WORLD that share this process's node (its memory), at
// least 1 (collective over MPI_COMM_WORLD).
int ProcessesOnNode();

// Frees every type and operation created so far; before MPI_Finalize.
void FreeMpiOperations();

}  // namespace velorn
