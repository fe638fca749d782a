#include "support/run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vantrel::test {
namespace {

struct FileActions {
    posix_spawn_file_actions_t actions{};
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

std::string command_line(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) line += (line.empty() ? "" : " ") + argument;
    return line;
}

}  // namespace

int run_program(const std::vector<std::string>& arguments, const ProgramOutput& output) {
    if (arguments.empty()) throw std::invalid_argument("run_program: no program");
    FileActions files;
    posix_spawn_file_actions_addopen(&files.actions, STDOUT_FILENO, output.path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (output.with_errors) posix_spawn_file_actions_adddup2(&files.actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int error = posix_spawnp(&child, argv[0], &files.actions, nullptr, argv.data(), environ);
    if (error != 0) {
        throw std::runtime_error("cannot start " + command_line(arguments) + ": " + std::strerror(error));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid: " + std::string(std::strerror(errno)));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void run_program_or_throw(const std::vector<std::string>& arguments, const ProgramOutput& output) {
    const int status = run_program(arguments, output);
    if (status != 0) {
        throw std::runtime_error("failed with status " + std::to_string(status) + ": " + command_line(arguments));
    }
}

bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace vantrel::test
