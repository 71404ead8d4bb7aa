#pragma once
// Runs the qvl tool as a subprocess in a temporary folder of its own, with
// given bytes on standard input, and captures standard output, standard
// error and the exit status exactly.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace qvl::test {

struct TToolRun {
  int Code = -1;  // exit status, or 128 + the signal that ended it
  std::string Out;
  std::string Err;
};

inline std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& Path, const std::string& Data) {
  std::ofstream out(Path, std::ios::binary);
  out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
}

// A temporary folder, removed with everything in it on destruction.
class TToolRunner {
 public:
  TToolRunner() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvl-tool-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FDir = pattern;
  }
  ~TToolRunner() {
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }
  TToolRunner(const TToolRunner&) = delete;
  TToolRunner& operator=(const TToolRunner&) = delete;

  const std::filesystem::path& Dir() const { return FDir; }
  std::filesystem::path File(const std::string& Name, const std::string& Data) const {
    WriteFile(FDir / Name, Data);
    return FDir / Name;
  }

  // Runs `qvl ARGS...` with Input on standard input; throws when it cannot start.
  TToolRun Run(const std::vector<std::string>& Args, const std::string& Input = "") const {
    const std::string in = (FDir / "stdin").string();
    const std::string out = (FDir / "stdout").string();
    const std::string err = (FDir / "stderr").string();
    WriteFile(in, Input);
    std::vector<std::string> argv{QVL_TOOL_PATH};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error(std::string("cannot start ") + raw[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    TToolRun run;
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.Out = ReadFile(out);
    run.Err = ReadFile(err);
    return run;
  }

 private:
  std::filesystem::path FDir;
};

}  // namespace qvl::test
