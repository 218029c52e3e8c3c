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
//
// With VELORN_MPI_TRACE_DIR set as well, each process also writes "<trace folder>/trace_<rank>.txt"
// for bench/mpi_critical_path: one line per MPI call that a phase of the model waits in or posts
// (the blocking calls above and the posted sends and receives of halo exchanges), in the order the
// process made them, with the processor time since the call before, the wall times of its entry
// and return, its peer or root, tag, bytes, whether it was on MPI_COMM_WORLD, the posted requests
// it waits for, and its call site (the model's return addresses, written as offsets into their
// files at the end, so that addr2line names the functions). The i-th world collective of every
// process is then the same one, and messages pair by sender, receiver, tag and order. The
// bookkeeping of a call (its stack walk) is left out of every process's busy time.
#include <dlfcn.h>
#include <execinfo.h>
#include <mpi.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
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

// ---- The trace of calls (VELORN_MPI_TRACE_DIR) ------------------------------------------------

enum class Kind {
  kBarrier,
  kBcast,
  kAllreduce,
  kReduce,
  kGather,
  kGatherv,
  kAllgather,
  kSend,
  kRecv,
  kWaitall,
  kIsend,
  kIrecv,
  kFinalize
};
const char* const kKindNames[] = {"Barrier", "Bcast",     "Allreduce", "Reduce", "Gather",
                                  "Gatherv", "Allgather", "Send",      "Recv",   "Waitall",
                                  "Isend",   "Irecv",     "Finalize"};

struct Call {
  Kind kind;
  double busy;     // processor seconds since the previous call returned
  double entered;  // wall clock
  double left;
  int peer;  // the root of a rooted collective, the peer of a message, -1 otherwise
  int tag;
  int64_t bytes;
  bool world;
  int site;
  int post;          // a posted send or receive: its number on this process
  int first_waited;  // a Waitall: its posts, g_waited_posts[first_waited, + waited_count)
  int waited_count;
};

constexpr int kFrames = 10;
bool g_tracing = false;
std::vector<Call> g_calls;
std::vector<int> g_waited_posts;
std::map<std::vector<void*>, int> g_sites;
std::map<MPI_Request, int> g_open_posts;  // request handle -> post number, until waited for
int g_posts = 0;

int TypeBytes(MPI_Datatype type, int count) {
  int size = 0;
  PMPI_Type_size(type, &size);
  return size * count;
}

int Site() {
  void* frames[kFrames + 2];
  const int n = backtrace(frames, kFrames + 2);
  // Frames 0 and 1 are this library's own (the wrapper and this function).
  std::vector<void*> key(frames + (n > 2 ? 2 : n), frames + n);
  return g_sites.emplace(key, static_cast<int>(g_sites.size())).first->second;
}

void WriteTrace(const char* folder, int rank) {
  const std::string path = std::string(folder) + "/trace_" + std::to_string(rank) + ".txt";
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return;
  std::fprintf(f, "# call busy entered left peer tag bytes world site post waited\n");
  for (const Call& c : g_calls) {
    std::fprintf(f, "C %s %.9f %.6f %.6f %d %d %lld %d %d %d ",
                 kKindNames[static_cast<int>(c.kind)], c.busy, c.entered, c.left, c.peer, c.tag,
                 static_cast<long long>(c.bytes), c.world ? 1 : 0, c.site, c.post);
    if (c.waited_count == 0) std::fprintf(f, "-");
    for (int i = 0; i < c.waited_count; ++i)
      std::fprintf(f, "%s%d", i > 0 ? "," : "", g_waited_posts[c.first_waited + i]);
    std::fprintf(f, "\n");
  }
  // Each site: its return addresses as "file+offset", innermost first.
  for (const auto& [frames, id] : g_sites) {
    std::fprintf(f, "S %d", id);
    for (void* frame : frames) {
      Dl_info info{};
      if (dladdr(frame, &info) != 0 && info.dli_fname != nullptr)
        std::fprintf(f, " %s+0x%llx", info.dli_fname,
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(frame) -
                                                     reinterpret_cast<uintptr_t>(info.dli_fbase)));
      else
        std::fprintf(f, " ?+0x%llx",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(frame)));
    }
    std::fprintf(f, "\n");
  }
  std::fclose(f);
}

// Starts the record of one call: its busy time up to now and its site.
Call& Record(Kind kind, double entered_processor, int peer, int tag, int64_t bytes, MPI_Comm comm) {
  Call c{};
  c.kind = kind;
  c.busy = entered_processor - g_left_mpi;
  c.entered = Now();
  c.peer = peer;
  c.tag = tag;
  c.bytes = bytes;
  c.world = comm == MPI_COMM_WORLD;
  c.site = Site();
  c.post = -1;
  g_calls.push_back(c);
  return g_calls.back();
}

// Times one blocking call and keeps a sample now and then; when tracing, records it as well.
template <class Call_>
int Timed(Call_&& call, Kind kind = Kind::kBarrier, int peer = -1, int tag = -1, int64_t bytes = 0,
          MPI_Comm comm = MPI_COMM_WORLD) {
  const double entered = Processor();
  g_busy += entered - g_left_mpi;
  std::size_t index = 0;
  if (g_tracing) {
    Record(kind, entered, peer, tag, bytes, comm);
    index = g_calls.size() - 1;
  }
  const double start = Now();
  const int result = call();
  const double end = Now();
  g_left_mpi = Processor();
  g_waited += end - start;
  if (g_tracing) g_calls[index].left = end;
  if (g_samples.empty() || end - g_samples.back().now >= 0.02)
    g_samples.push_back({end, g_waited, g_busy});
  return result;
}

// A posted send or receive (traced only): its time, like its caller's, is busy.
template <class Call_>
int Posted(Call_&& call, Kind kind, int peer, int tag, int64_t bytes, MPI_Comm comm,
           MPI_Request* request) {
  if (!g_tracing) return call();
  const double entered = Processor();
  g_busy += entered - g_left_mpi;
  Call& c = Record(kind, entered, peer, tag, bytes, comm);
  c.left = c.entered;
  c.post = g_posts++;
  const int post = c.post;
  g_left_mpi = Processor();
  const int result = call();
  g_open_posts[*request] = post;
  return result;
}

}  // namespace

extern "C" {

int MPI_Init(int* argc, char*** argv) {
  const int result = PMPI_Init(argc, argv);
  g_samples.reserve(1 << 16);
  g_left_mpi = Processor();
  g_samples.push_back({Now(), 0.0, 0.0});
  g_tracing = std::getenv("VELORN_MPI_TRACE_DIR") != nullptr;
  if (g_tracing) g_calls.reserve(1 << 20);
  return result;
}

int MPI_Finalize() {
  const double last = Processor() - g_left_mpi;
  g_busy += last;
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
  if (const char* trace = std::getenv("VELORN_MPI_TRACE_DIR"); trace != nullptr) {
    // The end of the run as a call without a peer: the busy time after the last call.
    Call c{};
    c.kind = Kind::kFinalize;
    c.busy = last;
    c.entered = c.left = Now();
    c.peer = -1;
    c.site = -1;
    c.post = -1;
    g_calls.push_back(c);
    WriteTrace(trace, rank);
  }
  return PMPI_Finalize();
}

int MPI_Barrier(MPI_Comm comm) {
  return Timed([&] { return PMPI_Barrier(comm); }, Kind::kBarrier, -1, -1, 0, comm);
}

int MPI_Bcast(void* buffer, int count, MPI_Datatype type, int root, MPI_Comm comm) {
  return Timed([&] { return PMPI_Bcast(buffer, count, type, root, comm); }, Kind::kBcast, root, -1,
               TypeBytes(type, count), comm);
}

int MPI_Allreduce(const void* in, void* out, int count, MPI_Datatype type, MPI_Op op,
                  MPI_Comm comm) {
  return Timed([&] { return PMPI_Allreduce(in, out, count, type, op, comm); }, Kind::kAllreduce, -1,
               -1, TypeBytes(type, count), comm);
}

int MPI_Reduce(const void* in, void* out, int count, MPI_Datatype type, MPI_Op op, int root,
               MPI_Comm comm) {
  return Timed([&] { return PMPI_Reduce(in, out, count, type, op, root, comm); }, Kind::kReduce,
               root, -1, TypeBytes(type, count), comm);
}

int MPI_Gather(const void* in, int in_count, MPI_Datatype in_type, void* out, int out_count,
               MPI_Datatype out_type, int root, MPI_Comm comm) {
  return Timed(
      [&] { return PMPI_Gather(in, in_count, in_type, out, out_count, out_type, root, comm); },
      Kind::kGather, root, -1, TypeBytes(in_type, in_count), comm);
}

int MPI_Gatherv(const void* in, int in_count, MPI_Datatype in_type, void* out,
                const int out_counts[], const int displacements[], MPI_Datatype out_type, int root,
                MPI_Comm comm) {
  return Timed(
      [&] {
        return PMPI_Gatherv(in, in_count, in_type, out, out_counts, displacements, out_type, root,
                            comm);
      },
      Kind::kGatherv, root, -1, TypeBytes(in_type, in_count), comm);
}

int MPI_Allgather(const void* in, int in_count, MPI_Datatype in_type, void* out, int out_count,
                  MPI_Datatype out_type, MPI_Comm comm) {
  return Timed(
      [&] { return PMPI_Allgather(in, in_count, in_type, out, out_count, out_type, comm); },
      Kind::kAllgather, -1, -1, TypeBytes(in_type, in_count), comm);
}

int MPI_Send(const void* buffer, int count, MPI_Datatype type, int peer, int tag, MPI_Comm comm) {
  return Timed([&] { return PMPI_Send(buffer, count, type, peer, tag, comm); }, Kind::kSend, peer,
               tag, TypeBytes(type, count), comm);
}

int MPI_Recv(void* buffer, int count, MPI_Datatype type, int peer, int tag, MPI_Comm comm,
             MPI_Status* status) {
  return Timed([&] { return PMPI_Recv(buffer, count, type, peer, tag, comm, status); }, Kind::kRecv,
               peer, tag, TypeBytes(type, count), comm);
}

int MPI_Waitall(int count, MPI_Request requests[], MPI_Status statuses[]) {
  if (g_tracing) {
    // The posts this call completes, taken before MPI resets their handles.
    const int first = static_cast<int>(g_waited_posts.size());
    for (int i = 0; i < count; ++i) {
      const auto open = g_open_posts.find(requests[i]);
      if (open == g_open_posts.end()) continue;
      g_waited_posts.push_back(open->second);
      g_open_posts.erase(open);
    }
    const int waited = static_cast<int>(g_waited_posts.size()) - first;
    const std::size_t index = g_calls.size();
    const int result =
        Timed([&] { return PMPI_Waitall(count, requests, statuses); }, Kind::kWaitall);
    g_calls[index].first_waited = first;
    g_calls[index].waited_count = waited;
    return result;
  }
  return Timed([&] { return PMPI_Waitall(count, requests, statuses); });
}

int MPI_Isend(const void* buffer, int count, MPI_Datatype type, int peer, int tag, MPI_Comm comm,
              MPI_Request* request) {
  return Posted([&] { return PMPI_Isend(buffer, count, type, peer, tag, comm, request); },
                Kind::kIsend, peer, tag, TypeBytes(type, count), comm, request);
}

int MPI_Irecv(void* buffer, int count, MPI_Datatype type, int peer, int tag, MPI_Comm comm,
              MPI_Request* request) {
  return Posted([&] { return PMPI_Irecv(buffer, count, type, peer, tag, comm, request); },
                Kind::kIrecv, peer, tag, TypeBytes(type, count), comm, request);
}

}  // extern "C"
