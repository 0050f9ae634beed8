#include "harness/logroute_run.hpp"

#include <signal.h>

#include "harness/files.hpp"

namespace harness {
namespace {

std::vector<std::string> program_argv(const std::string& program,
                                      const std::vector<std::string>& args) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

run_options child_options(const logroute_options& o) {
  return {.input = o.input, .out = o.out, .err = o.err, .in_child = o.in_child};
}

}  // namespace

logroute::logroute(const std::string& program, const logroute_options& options)
    : child(program_argv(program, options.args), child_options(options)), options_(options) {}

logroute::logroute(const std::function<int()>& router, const logroute_options& options)
    : child(router, child_options(options)), options_(options) {}

std::string logroute::out() const { return read_file(options_.out); }

std::string logroute::err() const { return read_file(options_.err); }

void logroute::stop_from_outside(int sig) const {
  pid_t target = pid();
  run([target, sig] { return kill(target, sig) == 0 ? 0 : 1; });
}

run_result logroute::finish(std::chrono::milliseconds limit, bool close_input) {
  return child::finish(limit, close_input);
}

run_result run_logroute(const std::string& program, const std::string& input,
                        const std::vector<std::string>& args) {
  return run(program_argv(program, args), {.input = input});
}

}  // namespace harness
