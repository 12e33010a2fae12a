#include "support/program.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/scratch_drive.h"

Invocation Invoke(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& names,
                  const std::string& env, bool reader_gone) {
  const char* binary = getenv("DOSSETUP_BINARY");
  EXPECT_NE(binary, nullptr) << "DOSSETUP_BINARY is not set";
  if (!binary) return Invocation();
  ScratchDrive scratch;
  std::string command = "cd / && env " + Fill(env, names) + " '" + binary + "'";
  for (const std::string& arg : args) command += " '" + Fill(arg, names) + "'";
  // Without a reader: descriptor 9, a pipe whose reader has gone.
  command += reader_gone ? " >&9" : " >" + scratch.root + "/out";
  command += " 2>" + scratch.root + "/err";
  std::ofstream(scratch.root + "/run") << command << "\n";
  // The run is timed and measured by the small spawner beside the program:
  // a process forked from this large one would carry its memory as its own.
  std::string measure =
      std::filesystem::path(binary).parent_path() / "dossetup_measure";
  std::string outer = "'" + measure + "' /bin/sh " + scratch.root + "/run >" +
                      scratch.root + "/measured";
  Invocation result;
  pid_t child = fork();
  if (child == 0) {
    int output[2];
    if (reader_gone && (pipe(output) != 0 || close(output[0]) != 0 ||
                        dup2(output[1], 9) != 9)) {
      _exit(126);
    }
    execl("/bin/sh", "sh", "-c", outer.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream(ReadFile(scratch.root + "/measured")) >> result.seconds >>
      result.peak_kib;
  EXPECT_GT(result.peak_kib, 0) << "the run was not measured";
  result.out = ReadFile(scratch.root + "/out");
  result.err = ReadFile(scratch.root + "/err");
  return result;
}

std::string Fill(std::string text,
                 const std::map<std::string, std::string>& names) {
  for (const auto& [name, path] : names) {
    for (size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) {
      text.replace(at, name.size() + 2, path);
    }
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  // One read of the whole file: images are tens of MiB, and a byte-wise
  // read is ten times slower under the sanitizers.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

void CopySample(const std::string& to) {
  std::filesystem::copy(std::string(DOSSETUP_SOURCE_DIR) + "/examples/win95",
                        to, std::filesystem::copy_options::recursive);
}
