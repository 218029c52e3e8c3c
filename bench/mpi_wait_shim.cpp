// Busy and waiting time of each process of a model run, for bench/run-scaled-example: a library
// loaded before the MPI library (LD_PRELOAD) that times every blocking MPI call the model makes
// (collectives, blocking sends and receives, waits) through MPI's profiling interface. A process
// that waits for the slowest one spends that time inside such a call; the rest of its time it
// computes (or does I/O of its own).
//
// On a machine that other work loads, wall times also hold the time a process waited for a core;
// the processor time a process spent outside MPI calls does not: that is its busy time, and the
// busiest process's is the time of the loop on free cores.
//
// At MPI_Finalize each process writes "<folder>/wait_<rank>.txt" (folder: VELORN_MPI_WAIT_DIR;
// nothing without it): lines "<seconds since the epoch> <wall seconds in MPI calls so far>
// <processor seconds outside MPI calls so far>", one at MPI_Init, then one whenever 20 ms have
// passed since the last, one at the end. The script takes the part of the run after the first
// step began from them. Built with the benchmarks, never linked into the model.
#include <mpi.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Sample {
  double now;
  double waited;
  double busy;
};

double g_waited = 0.0;
double g_busy = 0.0;
double g_left_mpi = 0.0;  // processor time when the last call returned
std::vector<Sample> g_samples;

double Clock(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
double Now() {
  return Clock(CLOCK_REALTIME);
}
double Processor() {
  return Clock(CLOCK_PROCESS_CPUTIME_ID);
}

// Times one call and keeps a sample now and then.
template <class Call>
int Timed(Call&& call) {
  const double entered = Processor();
  g_busy += entered - g_left_mpi;
  const double start = Now();
  const int result = call();
  const double end = Now();
  g_left_mpi = Processor();
  g_waited += end - start;
  if (g_samples.empty() || end - g_samples.back().now >= 0.02)
    g_samples.push_back({end, g_waited, g_busy});
  return result;
}

}  // namespace

extern "C" {

int MPI_Init(int* argc, char*** argv) {
  const int result = PMPI_Init(argc, argv);
  g_samples.reserve(1 << 16);
  g_left_mpi = Processor();
  g_samples.push_back({Now(), 0.0, 0.0});
  return result;
}

int MPI_Finalize() {
  g_busy += Processor() - g_left_mpi;
  g_samples.push_back({Now(), g_waited, g_busy});
  const char* folder = std::getenv("VELORN_MPI_WAIT_DIR");
  int rank = 0;
  PMPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (folder != nullptr) {
    const std::string path = std::string(folder) + "/wait_" + std::to_string(rank) + ".txt";
    if (std::FILE* f = std::fopen(path.c_str(), "w")) {
      for (const Sample& s : g_samples)
        std::fprintf(f, "%.6f %.6f %.6f\n", s.now, s.waited, s.busy);
      std::fclose(f);
    }
  }
  return PMPI_Finalize();
}

int MPI_Barrier(MPI_Comm comm) {
  return Timed([&] { return PMPI_Barrier(comm); });
}

int MPI_Bcast(void* buffer, int count, MPI_Datatype type, int root, MPI_Comm comm) {
  return Timed([&] { return PMPI_Bcast(buffer, count, type, root, comm); });
}

int MPI_Allreduce(const void* in, void* out, int count, MPI_Datatype type, MPI_Op op,
                  MPI_Comm comm) {
  return Timed([&] { return PMPI_Allreduce(in, out, count, type, op, comm); });
}

int MPI_Reduce(const void* in, void* out, int count, MPI_Datatype type, MPI_Op op, int root,
               MPI_Comm comm) {
  return Timed([&] { return PMPI_Reduce(in, out, count, type, op, root, comm); });
}

int MPI_Gather(const void* in, int in_count, MPI_Datatype in_type, void* out, int out_count,
               MPI_Datatype out_type, int root, MPI_Comm comm) {
  return Timed(
      [&] { return PMPI_Gather(in, in_count, in_type, out, out_count, out_type, root, comm); });
}

int MPI_Gatherv(const void* in, int in_count, MPI_Datatype in_type, void* out,
                const int out_counts[], const int displacements[], MPI_Datatype out_type, int root,
                MPI_Comm comm) {
  return Timed([&] {
    return PMPI_Gatherv(in, in_count, in_type, out, out_counts, displacements, out_type, root,
                        comm);
  });
}

int MPI_Allgather(const void* in, int in_count, MPI_Datatype in_type, void* out, int out_count,
                  MPI_Datatype out_type, MPI_Comm comm) {
  return Timed(
      [&] { return PMPI_Allgather(in, in_count, in_type, out, out_count, out_type, comm); });
}

int MPI_Send(const void* buffer, int count, MPI_Datatype type, int peer, int tag, MPI_Comm comm) {
  return Timed([&] { return PMPI_Send(buffer, count, type, peer, tag, comm); });
}

int MPI_Recv(void* buffer, int count, MPI_Datatype type, int peer, int tag, MPI_Comm comm,
             MPI_Status* status) {
  return Timed([&] { return PMPI_Recv(buffer, count, type, peer, tag, comm, status); });
}

int MPI_Waitall(int count, MPI_Request requests[], MPI_Status statuses[]) {
  return Timed([&] { return PMPI_Waitall(count, requests, statuses); });
}

}  // extern "C"
