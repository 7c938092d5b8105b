// Whole runs of the four programs on example-size generated data (6000
// records for Orvane, 13217 for the others; the weight files of examples/),
// each run a fresh process in a scratch folder, beside the plain loop of
// plain_loop.cpp on the same files, and the split of a run into its phases.
//
//   Program/<name>    the built program as a whole process
//   PlainLoop/<name>  plain_loop in the same way (its files must equal the
//                     program's byte for byte, else the benchmark fails)
//   Phases/<name>     the same run inside a fresh child process, timed
//                     phase by phase: set_up (wiring up to the weight file),
//                     load (weight file), run (the exemplar loop), teardown,
//                     exit (destroying the objects: closing the files), and,
//                     measured apart at the same sizes, read (the input and
//                     desired files through DataFile) and write (the output
//                     and desired probes); forward = run - read - write.
//
// Every figure is the median of 7 repetitions (see bench/README.md).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "program_networks.h"
#include <kqnet/data/data_file.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ProgramInfo {
  const char* name;
  const char* executable;
  int exemplars;
  int outputs;
};

const ProgramInfo kPrograms[] = {
    {"Orvane", KQ_ORVANE_PATH, 6000, 6},
    {"Belmot", KQ_BELMOT_PATH, 13217, 14},
    {"Quillet", KQ_QUILLET_PATH, 13217, 14},
    {"Dravik", KQ_DRAVIK_PATH, 13217, 14},
};

const char* const kWrittenFiles[] = {
    "activeOutputProbe.asc", "activeDesiredProbe.asc",         "activePerformanceProbe.asc",
    "activeROCProbe.asc",    "activeConfusionMatrixProbe.asc", "stdout.txt",
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// records lines of width values "%22.16e " in [low, high], seeded.
void writeData(const fs::path& path, int records, int width, double low, double high,
               unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> values(low, high);
  std::FILE* file = std::fopen(path.c_str(), "w");
  for (int r = 0; r < records; ++r) {
    for (int k = 0; k < width; ++k) std::fprintf(file, "%22.16e ", values(rng));
    std::fputc('\n', file);
  }
  std::fclose(file);
}

// The generated inputs of one program, made once per benchmark process.
const fs::path& dataFolder(const ProgramInfo& p) {
  static std::map<std::string, fs::path> made;
  auto found = made.find(p.name);
  if (found != made.end()) return found->second;
  const fs::path folder = fs::path(KQ_SCRATCH_DIR) / p.name / "data";
  fs::create_directories(folder);
  const std::string weights = std::string(p.name) + ".kqw";
  fs::copy_file(fs::path(KQ_SOURCE_DIR) / "examples" / p.name / weights, folder / weights,
                fs::copy_options::overwrite_existing);
  const unsigned seed = static_cast<unsigned>(std::hash<std::string>{}(p.name) % 100000);
  writeData(folder / "inputFile.asc", p.exemplars, 8, -1.0, 1.0, seed);
  writeData(folder / "desiredFile.asc", p.exemplars, p.outputs, -0.9, 0.9, seed + 1);
  return made[p.name] = folder;
}

// A fresh run folder holding the program's inputs.
fs::path runFolder(const ProgramInfo& p, const char* runner) {
  const fs::path& data = dataFolder(p);
  const fs::path folder = fs::path(KQ_SCRATCH_DIR) / p.name / runner;
  fs::remove_all(folder);
  fs::create_directories(folder);
  for (const auto& entry : fs::directory_iterator(data)) {
    fs::copy_file(entry.path(), folder / entry.path().filename());
  }
  return folder;
}

// Runs argv in folder with its streams in stdout.txt / stderr.txt; returns
// the wall time, or a negative value when it did not exit with 0.
double runProcess(const std::vector<std::string>& argv, const fs::path& folder) {
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double elapsed = seconds(Clock::now() - start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1.0;
}

// The first differing file of two run folders, or "" when all are equal.
std::string firstDifference(const fs::path& a, const fs::path& b) {
  for (const char* name : kWrittenFiles) {
    if (readAll(a / name) != readAll(b / name)) return name;
  }
  return "";
}

const fs::path& programReference(const ProgramInfo& p) {
  static std::map<std::string, fs::path> done;
  auto found = done.find(p.name);
  if (found != done.end()) return found->second;
  const fs::path folder = runFolder(p, "reference");
  if (runProcess({p.executable}, folder) < 0) fs::remove_all(folder);
  return done[p.name] = folder;
}

void wholeRuns(benchmark::State& state, const ProgramInfo& p, std::vector<std::string> argv,
               const char* runner) {
  const fs::path& reference = programReference(p);
  if (!fs::exists(reference / "stdout.txt")) {
    state.SkipWithError("the program failed on the generated files");
    return;
  }
  const fs::path folder = runFolder(p, runner);
  for (auto _ : state) {
    const double t = runProcess(argv, folder);
    if (t < 0) {
      state.SkipWithError((argv[0] + " failed; see " + folder.string()).c_str());
      return;
    }
    state.SetIterationTime(t);
  }
  const std::string differs = firstDifference(reference, folder);
  if (!differs.empty()) state.SkipWithError((differs + " differs from the program's").c_str());
}

void BM_Program(benchmark::State& state, const ProgramInfo& p) {
  wholeRuns(state, p, {p.executable}, "program");
}

void BM_PlainLoop(benchmark::State& state, const ProgramInfo& p) {
  wholeRuns(state, p, {KQ_PLAIN_LOOP_PATH, p.name}, "plain");
}

// Phase times of one run, measured in a child so that every repetition
// starts from freshly constructed objects, as a program does.
enum Phase { kSetUp, kLoad, kRun, kTeardown, kExit, kRead, kWrite, kPhaseCount };
const char* const kPhaseNames[kPhaseCount] = {"set_up", "load", "run",  "teardown",
                                              "exit",   "read", "write"};

// The data files of the run, read as the network reads them.
double timeReading(const ProgramInfo& p) {
  std::vector<double> input(8), desired(static_cast<size_t>(p.outputs));
  const Clock::time_point start = Clock::now();
  kq::DataFile inputFile, desiredFile;
  inputFile.setFileName("inputFile.asc");
  inputFile.setMode(1, kq::kTextFile);
  inputFile.setSize(8, 1);
  desiredFile.setFileName("desiredFile.asc");
  desiredFile.setMode(1, kq::kTextFile);
  desiredFile.setSize(p.outputs, 1);
  inputFile.normalizationOn = desiredFile.normalizationOn = 1;
  for (int e = 0; e < p.exemplars; ++e) {
    inputFile.step();
    desiredFile.step();
  }
  return seconds(Clock::now() - start);
}

// The output and desired probes of the run, with their mapping.
double timeWriting(const ProgramInfo& p) {
  std::vector<double> values(static_cast<size_t>(p.outputs) * 64);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> uniform(-0.9, 0.9);
  for (double& v : values) v = uniform(rng);
  const Clock::time_point start = Clock::now();
  {
    kq::DataFile outputProbe, desiredProbe;
    outputProbe.setFileName("phaseOutputProbe.asc");
    outputProbe.setMode(0, kq::kTextFile);
    outputProbe.setSize(p.outputs, 1);
    desiredProbe.setFileName("phaseDesiredProbe.asc");
    desiredProbe.setMode(0, kq::kTextFile);
    desiredProbe.setSize(p.outputs, 1);
    outputProbe.normalizationOn = desiredProbe.normalizationOn = 1;
    for (int e = 0; e < p.exemplars; ++e) {
      double* record = &values[static_cast<size_t>(e % 64) * p.outputs];
      outputProbe.setDataAndStep(record);
      desiredProbe.setDataAndStep(record);
    }
  }
  return seconds(Clock::now() - start);
}

void runPhases(const ProgramInfo& p, const fs::path& folder, double* times) {
  if (chdir(folder.c_str()) != 0) _exit(127);
  // The console cost line goes to the folder, as a program's would.
  if (std::freopen("stdout.txt", "w", stdout) == nullptr) _exit(127);
  Clock::time_point t = Clock::now();
  auto lap = [&](Phase phase) {
    const Clock::time_point now = Clock::now();
    times[phase] = seconds(now - t);
    t = now;
  };
  std::unique_ptr<kqbench::ProgramNetwork> network = kqbench::makeProgramNetwork(p.name);
  kq::programs::setUpNetwork(network->view, *network->values);
  lap(kSetUp);
  kq::programs::loadNetworkWeights(network->view, *network->values);
  lap(kLoad);
  kq::programs::runEpochs(network->view, *network->values);
  lap(kRun);
  kq::programs::tearDownNetwork(network->view);
  lap(kTeardown);
  network.reset();
  std::fflush(stdout);
  lap(kExit);
  times[kRead] = timeReading(p);
  times[kWrite] = timeWriting(p);
}

// Runs the phases in a child; false when the child failed.
bool childPhases(const ProgramInfo& p, const fs::path& folder, double* times) {
  int channel[2];
  if (pipe(channel) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(channel[0]);
    double measured[kPhaseCount] = {};
    runPhases(p, folder, measured);
    const bool sent = write(channel[1], measured, sizeof measured) == sizeof measured;
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  const bool received = read(channel[0], times, sizeof(double) * kPhaseCount) ==
                        static_cast<ssize_t>(sizeof(double) * kPhaseCount);
  close(channel[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Phases(benchmark::State& state, const ProgramInfo& p) {
  const fs::path& reference = programReference(p);
  const fs::path folder = runFolder(p, "phases");
  double sums[kPhaseCount] = {};
  for (auto _ : state) {
    double times[kPhaseCount];
    if (!childPhases(p, folder, times)) {
      state.SkipWithError("the in-process run failed");
      return;
    }
    double total = 0.0;
    for (int i = kSetUp; i <= kExit; ++i) total += times[i];
    state.SetIterationTime(total);
    for (int i = 0; i < kPhaseCount; ++i) sums[i] += times[i];
  }
  const double n = static_cast<double>(state.iterations());
  for (int i = 0; i < kPhaseCount; ++i)
    state.counters[std::string(kPhaseNames[i]) + "_ms"] = sums[i] / n * 1e3;
  state.counters["forward_ms"] = (sums[kRun] - sums[kRead] - sums[kWrite]) / n * 1e3;
  const std::string differs = firstDifference(reference, folder);
  if (!differs.empty()) state.SkipWithError((differs + " differs from the program's").c_str());
}

void registerAll() {
  for (const ProgramInfo& p : kPrograms) {
    using Runner = void (*)(benchmark::State&, const ProgramInfo&);
    const std::pair<const char*, Runner> runners[] = {
        {"Program/", BM_Program}, {"PlainLoop/", BM_PlainLoop}, {"Phases/", BM_Phases}};
    for (auto [label, function] : runners) {
      benchmark::RegisterBenchmark((std::string(label) + p.name).c_str(), function, p)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1)
          ->Repetitions(7)
          ->ReportAggregatesOnly(true)
          ->ComputeStatistics("min", [](const std::vector<double>& v) {
            return *std::min_element(v.begin(), v.end());
          });
    }
  }
}

const bool registered = (registerAll(), true);

}  // namespace
