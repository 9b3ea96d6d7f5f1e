#pragma once
#include <CLI/CLI.hpp>

/// Each subcommand of the kemora program registers itself on the app and
/// returns the exit status through the callback it installs.
namespace kemora::cli {

/// Exit status set by the subcommand that ran (0 when none ran).
int& exit_status();

/// `kemora run` and `kemora step`.
void add_run_commands(CLI::App& app);

/// `kemora render` (scoreboard JSON -> dashboard page).
void add_render_command(CLI::App& app);
/// `kemora trending` (trending-lists JSON -> HTML section).
void add_trending_command(CLI::App& app);

}  // namespace kemora::cli
