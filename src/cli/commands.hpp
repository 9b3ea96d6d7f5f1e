#pragma once
#include <CLI/CLI.hpp>

#include "kemora/common/process.hpp"

#include <exception>
#include <functional>
#include <string_view>

namespace kemora::motor {
class Motor;
}

/// Each subcommand of the kemora program registers itself on the app and
/// returns the exit status through the callback it installs.
namespace kemora::cli {

/// Registers the subcommand `name` with its one-line description and the
/// text shown at the end of its --help.
CLI::App* add_command(CLI::App& app, const char* name, const char* description, const char* footer);

/// Exit status set by the subcommand that ran (0 when none ran).
int& exit_status();

/// `kemora run`, `kemora step` and `kemora steps`.
void add_run_commands(CLI::App& app);
/// `kemora status` (the plan of a run) and `kemora accept`.
void add_plan_commands(CLI::App& app);
/// `kemora demo`.
void add_demo_command(CLI::App& app);

/// Runs `body` and stores its result as the exit status; the engine's stop
/// (declined data-source question) gives 1, an interrupt 130, each with a
/// message on standard error.
void run_guarded(const std::function<int()>& body);
/// Says on standard error why the command stopped: "kemora: interrupted", or
/// that the output was closed.
void report_interrupt(const common::ProcessInterrupted& e);
/// Runs the body of `command` ("render", "demo", ...) and returns its exit
/// status. An error it throws (a std::exception) is said on standard error as
/// "kemora <command>: <what>", after what standard output still holds, and
/// gives 1; usage errors, the engine's stop and interrupts pass through.
int run_reporting(std::string_view command, const std::function<int()>& body);
/// True when a step of the run ended in HATA or NB YOK.
bool any_failed(const motor::Motor& m);

/// `kemora render` (scoreboard JSON -> dashboard page).
void add_render_command(CLI::App& app);
/// `kemora trending` (trending-lists JSON -> HTML section).
void add_trending_command(CLI::App& app);

}  // namespace kemora::cli
