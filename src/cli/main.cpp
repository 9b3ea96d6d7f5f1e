#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>

#include "cli/commands.hpp"
#include "kemora/common/process.hpp"
#include "kemora/version.hpp"

namespace kemora::cli {
int& exit_status() {
  static int status = 0;
  return status;
}
}  // namespace kemora::cli

int main(int argc, char** argv) {
  // A write to a pipe that nobody reads (`kemora run | head`) must not kill
  // us while a notebook runs: it fails with EPIPE instead, and the engine
  // ends the run as on an interrupt. The notebook executor starts with
  // SIGPIPE at its default again.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"kemora — credit-risk pipeline runner and dashboard renderer"};
  app.set_version_flag("--version", std::string("kemora ") + kemora::version);
  app.require_subcommand(0, 1);
  kemora::cli::add_run_commands(app);
  kemora::cli::add_plan_commands(app);
  kemora::cli::add_render_command(app);
  kemora::cli::add_trending_command(app);
  kemora::cli::add_demo_command(app);
  app.footer(
      "Run 'kemora <command> --help' for the options of a command.\n\n"
      "Exit status:\n"
      "  0    success (also for --help and --version)\n"
      "  1    an error stopped the command, usage errors included; the message is on standard error\n"
      "  2    a pipeline step ended in HATA or NB YOK (run, step, demo)\n"
      "  130  interrupted: Ctrl-C or SIGTERM, or the output was closed while the pipeline ran");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version come here too, with the success code.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    std::fflush(stdout);
    app.exit(e);  // the message and a hint to --help, on standard error
    return 1;
  } catch (const kemora::common::ProcessInterrupted& e) {
    kemora::cli::report_interrupt(e);
    return 130;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "kemora: " << e.what() << "\n";
    return 1;
  } catch (...) {
    std::fflush(stdout);
    std::cerr << "kemora: unexpected error\n";
    return 1;
  }
  if (app.get_subcommands().empty()) {
    std::cout << app.help();
    return 0;
  }
  return kemora::cli::exit_status();
}
