// SPDX-License-Identifier: MIT
// Brindle's socket manager as a TCP echo server beside the event loops people pick instead:
// libuv, Asio (one io_context thread) and a minimal epoll loop as the floor. All four are
// driven on loopback by the same client (net/EchoClient.h), each server running in a child
// process of its own so that its CPU time can be read apart from the client's.
//
// Workloads, named Workload/server:
//   RoundTrip   1-byte ping-pong on one connection: median and 99th percentile of the round
//               trip, the server's CPU time per round trip.
//   Bulk64KiB   64 KiB messages echoed on one connection: MiB/s.
//   Conns32     32 connections doing ping-pong at once: aggregate round trips per second.
//   Conns1000   the same with 1,000 connections.
// The program ends with a table: each server's median over the repetitions, with the lowest
// and highest repetition beneath it, and the manager's ratio to the better of libuv and
// Asio: the ratio of the medians, with beneath it the range of the ratios of repetitions
// paired in the order they ran. The goals beside the ratios are the manager's.
//
// Google Benchmark runs the repetitions, interleaved in random order, and filters them; but
// the program times each repetition itself, as one iteration of a fixed length, because its
// figures come from the whole repetition: percentiles of every round trip in it, the CPU
// time of another process, round trips summed over a thousand connections. An iteration
// count probed by Google Benchmark would also connect the thousand connections anew on
// every probe. The Time column is the repetition's measured time; the CPU column is the
// client's, the server's being in the cpu_us_per_* counters.
//
// Usage: net_bench [--seconds=S] [Google Benchmark flags]
//   --seconds=S                   measured time of each repetition (default 0.5; or the
//                                 environment's NET_BENCH_SECONDS)
//   --benchmark_repetitions=N     repetitions of each workload and server (default 9; or
//                                 BENCHMARK_REPETITIONS)
//   --benchmark_filter=Conns1000  one workload only (or /manager: one server; or
//                                 BENCHMARK_FILTER)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "net/EchoClient.h"
#include "net/EchoServers.h"
#include "net/ServerProcess.h"

namespace {

constexpr int kDefaultRepetitions = 9;
constexpr double kDefaultSeconds = 0.5;
// The server the table compares, and the peers it is compared with.
constexpr const char* kSubject = "manager";
constexpr const char* kPeers[] = {"libuv", "asio"};

struct Server {
    const char* name;
    ServeFunction serve;
};

const Server kServers[] = {
#ifdef NET_BENCH_WITH_LIBUV
    {"libuv", ServeLibuv},
#endif
#ifdef NET_BENCH_WITH_ASIO
    {"asio", ServeAsio},
#endif
    {"epoll", ServeEpoll},
    {"manager", ServeManager},
};

// --- Workloads ---

// The value that a `fraction` of the values do not exceed (nearest rank).
double Percentile(std::vector<double> values, double fraction) {
    auto at = values.begin() + static_cast<ptrdiff_t>(fraction * (values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// The middle value; of an even count, the mean of the middle two.
double Median(std::vector<double> values) {
    size_t half = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + half, values.end());
    double upper = values[half];
    if (values.size() % 2 != 0)
        return upper;
    return (upper + *std::max_element(values.begin(), values.begin() + half)) / 2;
}

void CountRoundTrips(const Measurement& measured, benchmark::State& state) {
    double roundTrips = static_cast<double>(measured.roundTrips);
    state.counters["rt_per_s"] = roundTrips / measured.seconds;
    state.counters["cpu_us_per_rt"] = measured.serverCpuSeconds * 1e6 / roundTrips;
}

void CountRoundTripTimes(const Measurement& measured, benchmark::State& state) {
    state.counters["rtt_median_us"] = Median(measured.roundTripTimes) * 1e6;
    state.counters["rtt_p99_us"] = Percentile(measured.roundTripTimes, 0.99) * 1e6;
    CountRoundTrips(measured, state);
}

void CountBytes(const Measurement& measured, benchmark::State& state) {
    double mebibytes = static_cast<double>(measured.bytesEchoed) / (1024 * 1024);
    state.counters["MiB_per_s"] = mebibytes / measured.seconds;
    state.counters["cpu_us_per_MiB"] = measured.serverCpuSeconds * 1e6 / mebibytes;
}

struct Workload {
    const char* name;
    uint32_t connections;
    Measurement (*measure)(const ServerProcess& server, uint32_t connections, double seconds);
    // Turns what was measured into the repetition's counters.
    void (*count)(const Measurement& measured, benchmark::State& state);
};

constexpr uint32_t kMostConnections = 1000;
// Descriptors a process needs besides one per connection.
constexpr uint32_t kSpareDescriptors = 64;
const Workload kWorkloads[] = {
    {"RoundTrip", 1,
     [](const ServerProcess& server, uint32_t, double seconds) {
         return PingPong(server, seconds);
     },
     CountRoundTripTimes},
    {"Bulk64KiB", 1,
     [](const ServerProcess& server, uint32_t, double seconds) {
         return BulkEcho(server, seconds);
     },
     CountBytes},
    {"Conns32", 32, ManyPingPongs, CountRoundTrips},
    {"Conns1000", kMostConnections, ManyPingPongs, CountRoundTrips},
};

// One repetition, then a wait until the server has closed its side of every connection, so
// that its closing does not overlap the next repetition, which may measure another server.
void RunRepetition(benchmark::State& state, const Workload* workload, const ServerProcess* server,
                   double seconds) {
    Measurement measured;
    for (auto _ : state) {
        measured = workload->measure(*server, workload->connections, seconds);
        if (!measured.error.empty()) {
            state.SkipWithError(measured.error.c_str());
            break;
        }
        state.SetIterationTime(measured.seconds);
    }
    if (measured.error.empty())
        workload->count(measured, state);
    if (!server->WaitUntilClosed())
        fprintf(stderr, "%s kept connections open after the client reset them\n",
                server->Name().c_str());
}

// --- The closing table ---

// One line of the table: a counter of a workload.
struct Row {
    const char* workload;
    const char* counter;
    const char* title;
    bool higherIsBetter;
    const char* goal;
};

const Row kRows[] = {
    {"RoundTrip", "rtt_median_us", "round trip, median (us)", false, "<= 1.2"},
    {"RoundTrip", "rtt_p99_us", "round trip, p99 (us)", false, ""},
    {"RoundTrip", "cpu_us_per_rt", "server CPU per round trip (us)", false, "<= 1.3"},
    {"Bulk64KiB", "MiB_per_s", "64 KiB bulk echo (MiB/s)", true, ">= 0.9"},
    {"Conns32", "rt_per_s", "32 connections (round trips/s)", true, ">= 0.9"},
    {"Conns1000", "rt_per_s", "1,000 connections (round trips/s)", true, ">= 0.9"},
};

// The console's lines for every repetition, without the aggregates (the table replaces
// them), and each repetition's counters and errors kept for the table.
class TableReporter : public benchmark::ConsoleReporter {
  public:
    // One header for all: the counters differ between workloads, and a table header for
    // each change would come with nearly every line of an interleaved run.
    TableReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> repetitions;
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate)
                continue;
            repetitions.push_back(run);
            const std::string& name = run.run_name.function_name;
            if (run.error_occurred) {
                errors_[name] = run.error_message;
                continue;
            }
            for (const auto& counter : run.counters)
                values_[name][counter.first].push_back(counter.second.value);
        }
        ConsoleReporter::ReportRuns(repetitions);
    }

    // Says why a workload was not run against a server.
    void NotRun(const std::string& name, const char* reason) { notRun_[name] = reason; }

    void PrintTable() const;

  private:
    struct Cell {
        std::vector<double> values;
        std::string text;  // when there are no values: why not
    };
    // A server's figures on a row, or why there are none.
    Cell Find(const Row& row, const char* server) const;
    // Whether any server ran the workload.
    bool Ran(const char* workload) const;
    // The manager's ratio to the better peer on the row: of the medians, and of each pair
    // of repetitions in the order they ran. False when the manager or both peers lack
    // figures.
    bool Compare(const Row& row, std::vector<double>* ratios, double* ofMedians) const;

    std::map<std::string, std::map<std::string, std::vector<double>>> values_;
    std::map<std::string, std::string> errors_;
    std::map<std::string, std::string> notRun_;
};

std::string Format(double value) {
    char text[32];
    if (value >= 1e4)
        snprintf(text, sizeof text, "%.0fk", value / 1e3);
    else if (value >= 100)
        snprintf(text, sizeof text, "%.0f", value);
    else if (value >= 10)
        snprintf(text, sizeof text, "%.1f", value);
    else
        snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string Range(const std::vector<double>& values) {
    auto [low, high] = std::minmax_element(values.begin(), values.end());
    return Format(*low) + "-" + Format(*high);
}

bool TableReporter::Ran(const char* workload) const {
    std::string prefix = std::string(workload) + "/";
    auto ranIn = [&](const auto& map) {
        auto at = map.lower_bound(prefix);
        return at != map.end() && at->first.compare(0, prefix.size(), prefix) == 0;
    };
    return ranIn(values_) || ranIn(errors_);
}

TableReporter::Cell TableReporter::Find(const Row& row, const char* server) const {
    std::string name = std::string(row.workload) + "/" + server;
    Cell cell;
    if (auto found = values_.find(name); found != values_.end()) {
        if (auto counter = found->second.find(row.counter); counter != found->second.end())
            cell.values = counter->second;
    }
    if (!cell.values.empty())
        return cell;
    if (auto reason = notRun_.find(name); reason != notRun_.end())
        cell.text = "n/a (" + reason->second + ")";
    else if (errors_.count(name) != 0)
        cell.text = "failed";
    else
        cell.text = "-";
    return cell;
}

bool TableReporter::Compare(const Row& row, std::vector<double>* ratios, double* ofMedians) const {
    auto better = [&](double a, double b) {
        return row.higherIsBetter ? std::max(a, b) : std::min(a, b);
    };
    std::vector<double> best;
    double bestMedian = 0;
    for (const char* peer : kPeers) {
        Cell cell = Find(row, peer);
        if (cell.values.empty())
            continue;
        double median = Median(cell.values);
        if (best.empty()) {
            best = cell.values;
            bestMedian = median;
            continue;
        }
        bestMedian = better(bestMedian, median);
        best.resize(std::min(best.size(), cell.values.size()));
        for (size_t i = 0; i < best.size(); ++i)
            best[i] = better(best[i], cell.values[i]);
    }
    Cell subject = Find(row, kSubject);
    if (subject.values.empty() || best.empty())
        return false;
    ratios->resize(std::min(best.size(), subject.values.size()));
    for (size_t i = 0; i < ratios->size(); ++i)
        (*ratios)[i] = subject.values[i] / best[i];
    *ofMedians = Median(subject.values) / bestMedian;
    return true;
}

// The manager's column is wide enough for why it was not run.
int ColumnWidth(const char* server) {
    return strcmp(server, kSubject) == 0 ? 20 : 12;
}

void TableReporter::PrintTable() const {
    printf(
        "\nMedians of the repetitions, run interleaved in random order; beneath each, the\n"
        "lowest and highest repetition. Ratio: %s / the better of libuv and Asio.\n\n",
        kSubject);
    printf("%-34s", "");
    for (const Server& server : kServers)
        printf("%-*s", ColumnWidth(server.name), server.name);
    printf("%-14s%s\n", "ratio", "goal");
    for (const Row& row : kRows) {
        if (!Ran(row.workload))
            continue;
        std::string medians, ranges;
        auto column = [&](const std::string& top, const std::string& bottom, int width) {
            char text[64];
            snprintf(text, sizeof text, "%-*s", width, top.c_str());
            medians += text;
            snprintf(text, sizeof text, "%-*s", width, bottom.c_str());
            ranges += text;
        };
        for (const Server& server : kServers) {
            Cell cell = Find(row, server.name);
            if (cell.values.empty())
                column(cell.text, "", ColumnWidth(server.name));
            else
                column(Format(Median(cell.values)), Range(cell.values), ColumnWidth(server.name));
        }
        std::vector<double> ratios;
        double ofMedians = 0;
        if (Compare(row, &ratios, &ofMedians))
            column(Format(ofMedians), Range(ratios), 14);
        else
            column("n/a", "", 14);
        printf("%-34s%s%s\n%-34s%s\n", row.title, medians.c_str(), row.goal, "", ranges.c_str());
    }
    for (const auto& error : errors_)
        printf("%s failed: %s\n", error.first.c_str(), error.second.c_str());
}

// --- Setting up ---

// The seconds each repetition measures: --seconds=S, else NET_BENCH_SECONDS, else the
// default. Removes the flag from the arguments. 0 for a value that is not a positive number.
double MeasuredSeconds(int* argc, char** argv) {
    const char* text = getenv("NET_BENCH_SECONDS");
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        if (strncmp(argv[i], "--seconds=", 10) == 0)
            text = argv[i] + 10;
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    if (text == nullptr)
        return kDefaultSeconds;
    char* end = nullptr;
    double seconds = strtod(text, &end);
    return end != text && *end == '\0' && seconds > 0 ? seconds : 0;
}

// Raises the soft limit on open descriptors, within the hard limit, to `wanted`: the client
// and each server process, which inherits the limit, hold a descriptor per connection.
// Returns the soft limit in force.
rlim_t AllowDescriptors(rlim_t wanted) {
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < wanted) {
        rlim_t current = limit.rlim_cur;
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = current;
    }
    if (limit.rlim_cur < wanted) {
        fprintf(stderr,
                "net_bench: the hard limit on open descriptors (RLIMIT_NOFILE) is %llu, below "
                "the %llu that %u connections want: workloads with more connections than it "
                "allows are skipped\n",
                static_cast<unsigned long long>(limit.rlim_max),
                static_cast<unsigned long long>(wanted), kMostConnections);
    }
    return limit.rlim_cur;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = MeasuredSeconds(&argc, argv);
    if (seconds <= 0) {
        fprintf(stderr, "net_bench: --seconds wants a positive number of seconds\n");
        return 2;
    }
    // Repetitions interleaved in random order, unless the environment or the command line
    // (whose later flags win) says otherwise.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=" + std::to_string(kDefaultRepetitions);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    if (getenv("BENCHMARK_REPETITIONS") == nullptr)
        args.insert(args.begin() + 1, repetitions.data());
    if (getenv("BENCHMARK_ENABLE_RANDOM_INTERLEAVING") == nullptr)
        args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;

    const rlim_t descriptors = AllowDescriptors(kMostConnections + kSpareDescriptors);

    // The servers start before any thread does: each is a fork of this process.
    std::vector<std::unique_ptr<ServerProcess>> servers;
    for (const Server& server : kServers)
        servers.push_back(std::make_unique<ServerProcess>(server.name, server.serve));

    TableReporter reporter;
    for (const Workload& workload : kWorkloads) {
        for (const auto& server : servers) {
            std::string name = std::string(workload.name) + "/" + server->Name();
            if (server->Failed()) {
                reporter.NotRun(name, "did not start");
            } else if (workload.connections > server->ConnectionLimit()) {
                reporter.NotRun(name, "socket limit");
            } else if (workload.connections + kSpareDescriptors > descriptors) {
                reporter.NotRun(name, "RLIMIT_NOFILE");
            } else {
                benchmark::RegisterBenchmark(name.c_str(), RunRepetition, &workload, server.get(),
                                             seconds)
                    ->Iterations(1)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    benchmark::Shutdown();
    return 0;
}
