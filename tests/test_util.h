// Helpers shared by the tests: scratch directories, files, and running the
// built tool.
#ifndef ENERGY_TOTALS_TEST_UTIL_H
#define ENERGY_TOTALS_TEST_UTIL_H

#include <functional>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds when
// the object goes.
struct scratch_dir {
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

struct tool_result {
    int status = -1; // the exit status as the shell sees it, or -1 if it did not exit
    std::string output; // all it wrote to standard output
    std::string errors; // all it wrote to standard error
};

// Runs the built energy-totals in dir with the given operands; as the user
// "nobody" (65534) when as_nobody is set, which needs root.
tool_result run_tool(const std::string& dir, const std::vector<std::string>& operands,
                     bool as_nobody = false);

constexpr unsigned nobody_id = 65534;

// As run_tool, with prepare called in the child just before the tool starts
// (in dir, its standard output and error already on the pipes).
tool_result run_tool_with(const std::string& dir, const std::vector<std::string>& operands,
                          const std::function<void()>& prepare);

// From now on, in this process and what it starts, makes system call nr
// fail with err; with values given, only where its argument number arg
// (from 0; the second by default) is one of them. Returns false if the
// filter can't be set.
bool fail_syscall(long nr, int err, const std::vector<unsigned>& values = {}, int arg = 1);

// Starts the built tool in dir with standard output to /dev/null, without
// waiting for it; returns its process id.
int start_tool(const std::string& dir, const std::vector<std::string>& operands);

// Waits for a started tool; returns its exit status, or -1 if it did not exit.
int wait_tool(int pid);

struct energy_summary;

// What print_console_summary prints for s.
std::string console_text(const energy_summary& s);

#endif
