#include "support/program.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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
  if (!reader_gone) command += " >" + scratch.root + "/out";
  command += " 2>" + scratch.root + "/err";
  // wait4 tells this run's own peak memory, not that of every child so far.
  Invocation result;
  pid_t child = fork();
  if (child == 0) {
    int output[2];
    if (reader_gone && (pipe(output) != 0 || close(output[0]) != 0 ||
                        dup2(output[1], STDOUT_FILENO) != STDOUT_FILENO)) {
      _exit(126);
    }
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.peak_kib = usage.ru_maxrss;
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
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void CopySample(const std::string& to) {
  std::filesystem::copy(std::string(DOSSETUP_SOURCE_DIR) + "/examples/win95",
                        to, std::filesystem::copy_options::recursive);
}
