// Times whole processes, interleaved: round after round, every command once, so that a machine that
// drifts (frequency, cache, neighbours) drifts for all of them alike. Wall time from fork to reaped
// child by CLOCK_MONOTONIC; peak resident memory from wait4's rusage.
//
//   process_timer ROUNDS JOB_FILE
//
// JOB_FILE has one command per line, fields separated by tabs:
//   label  size  role  every  environment  command [arguments...]
// size is WxH (or "-"); role "floor" makes the line the reference of its size for the "x floor"
// column, role "static-floor" for the "x static" column (any other role: "-"); every N runs the
// command in every N-th round only (slow peers); environment is space-separated NAME=value pairs
// (or "-"), the whole environment apart from PATH. Arguments are separated by spaces.
// Every run must exit 0 and write something to stdout, otherwise the job is reported as failed:
// timing a command that does not work would be worse than useless.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Job {
  std::string label;
  std::string size;
  std::string role;
  int every = 1;
  std::vector<std::string> env;
  std::vector<std::string> argv;
  std::vector<double> millis;
  std::vector<double> cpu_millis;  // user + system time of the child
  long peak_rss_kib = 0;
  std::string failure;
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) parts.push_back(part);
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool ReadJobs(const char* path, std::vector<Job>& jobs) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty() || text[0] == '#') continue;
    std::vector<std::string> fields = Split(text, '\t');
    if (fields.size() != 6) {
      std::fprintf(stderr, "process_timer: bad job line: %s\n", text.c_str());
      std::fclose(file);
      return false;
    }
    Job job;
    job.label = fields[0];
    job.size = fields[1];
    job.role = fields[2];
    job.every = std::max(1, std::atoi(fields[3].c_str()));
    if (fields[4] != "-") job.env = Split(fields[4], ' ');
    job.env.push_back("PATH=/usr/local/bin:/usr/bin:/bin");
    job.argv = Split(fields[5], ' ');
    jobs.push_back(std::move(job));
  }
  std::fclose(file);
  return true;
}

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double Millis(const timeval& time) {
  return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

// Where a run's stdout and stderr go: files in memory, emptied before each run, so that the
// harness adds no file-system work of its own to what it measures.
struct Outputs {
  int out = memfd_create("process-timer-stdout", MFD_CLOEXEC);
  int err = memfd_create("process-timer-stderr", MFD_CLOEXEC);
  Outputs() = default;
  ~Outputs() {
    if (out >= 0) close(out);
    if (err >= 0) close(err);
  }
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;
  bool Reset() const {
    return ftruncate(out, 0) == 0 && lseek(out, 0, SEEK_SET) == 0 && ftruncate(err, 0) == 0 &&
           lseek(err, 0, SEEK_SET) == 0;
  }
  // The failing run's first line of stderr, for the report.
  std::string FirstErrorLine() const {
    char line[256] = {};
    if (pread(err, line, sizeof line - 1, 0) <= 0) return "";
    line[std::strcspn(line, "\n")] = '\0';
    return std::string(": ") + line;
  }
};

// One run of the job, with its stdout and stderr in outputs.
void RunOnce(Job& job, const Outputs& outputs) {
  std::vector<char*> argv;
  for (auto& arg : job.argv) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : job.env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  if (!outputs.Reset()) {
    job.failure = "cannot empty the output files";
    return;
  }

  double start = Now();
  pid_t child = fork();
  if (child == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(outputs.out, STDOUT_FILENO);
    dup2(outputs.err, STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  pid_t reaped = child > 0 ? wait4(child, &status, 0, &usage) : -1;
  double elapsed = Now() - start;

  struct stat out_stat {};
  fstat(outputs.out, &out_stat);
  if (reaped != child) {
    job.failure = "fork or wait failed";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "exit status %d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    job.failure = text;
  } else if (out_stat.st_size == 0) {
    job.failure = "nothing on stdout";
  }
  if (!job.failure.empty()) {
    job.failure += outputs.FirstErrorLine();
  } else {
    job.millis.push_back(elapsed);
    job.cpu_millis.push_back(Millis(usage.ru_utime) + Millis(usage.ru_stime));
    job.peak_rss_kib = std::max(job.peak_rss_kib, usage.ru_maxrss);
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Megapixels(const std::string& size) {
  int width = 0;
  int height = 0;
  if (std::sscanf(size.c_str(), "%dx%d", &width, &height) != 2) return 0;
  return static_cast<double>(width) * height / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[1]) < 1) {
    std::fprintf(stderr, "usage: process_timer ROUNDS JOB_FILE\n");
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  std::vector<Job> jobs;
  if (!ReadJobs(argv[2], jobs) || jobs.empty()) {
    std::fprintf(stderr, "process_timer: cannot read jobs from %s\n", argv[2]);
    return 2;
  }
  const Outputs outputs;
  if (outputs.out < 0 || outputs.err < 0) {
    std::perror("process_timer: memfd_create");
    return 2;
  }

  // One unmeasured round first: page cache, dynamic loader cache, first-run costs.
  for (Job& job : jobs) {
    RunOnce(job, outputs);
    job.millis.clear();
    job.cpu_millis.clear();
    job.peak_rss_kib = 0;
  }
  for (int round = 0; round < rounds; ++round) {
    for (Job& job : jobs) {
      if (!job.failure.empty() || round % job.every != 0) continue;
      RunOnce(job, outputs);
    }
  }

  std::printf("%-34s %5s %9s %13s %8s %8s %8s %8s %9s\n", "command", "runs", "median ms", "min-max ms",
              "x floor", "x static", "ms/MP", "CPU ms", "peak RSS");
  bool all_ran = true;
  for (const Job& job : jobs) {
    if (!job.failure.empty() || job.millis.empty()) {
      std::printf("%-34s FAILED: %s\n", job.label.c_str(),
                  job.failure.empty() ? "no runs" : job.failure.c_str());
      all_ran = false;
      continue;
    }
    const double median = Median(job.millis);
    auto [low, high] = std::minmax_element(job.millis.begin(), job.millis.end());
    char range[32];
    std::snprintf(range, sizeof range, "%.2f-%.2f", *low, *high);
    char to_floor[16] = "";
    char to_static_floor[16] = "";
    for (const Job& other : jobs) {
      if (other.size != job.size || other.millis.empty()) continue;
      if (other.role == "floor")
        std::snprintf(to_floor, sizeof to_floor, "%.2f", median / Median(other.millis));
      if (other.role == "static-floor")
        std::snprintf(to_static_floor, sizeof to_static_floor, "%.2f", median / Median(other.millis));
    }
    char per_megapixel[16] = "";
    if (double megapixels = Megapixels(job.size); megapixels > 0)
      std::snprintf(per_megapixel, sizeof per_megapixel, "%.1f", median / megapixels);
    std::printf("%-34s %5zu %9.2f %13s %8s %8s %8s %8.2f %6.1f MB\n", job.label.c_str(), job.millis.size(),
                median, range, to_floor, to_static_floor, per_megapixel, Median(job.cpu_millis),
                static_cast<double>(job.peak_rss_kib) / 1024.0);
  }
  return all_ran ? 0 : 1;
}
