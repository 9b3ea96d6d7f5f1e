#include <cstdio>
#include <exception>
#include <iostream>

#include "cli/commands.hpp"
#include "kemora/version.hpp"

namespace kemora::cli {
int& exit_status() {
  static int status = 0;
  return status;
}
}  // namespace kemora::cli

int main(int argc, char** argv) {
  CLI::App app{"kemora — credit-risk pipeline runner and dashboard renderer"};
  app.set_version_flag("--version", std::string("kemora ") + kemora::version);
  app.require_subcommand(0, 1);
  kemora::cli::add_run_commands(app);
  kemora::cli::add_render_command(app);
  kemora::cli::add_trending_command(app);
  kemora::cli::add_demo_command(app);
  app.footer("Run 'kemora <command> --help' for the options of a command.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "kemora: " << e.what() << "\n";
    return 1;
  }
  if (app.get_subcommands().empty()) {
    std::cout << app.help();
    return 0;
  }
  return kemora::cli::exit_status();
}
