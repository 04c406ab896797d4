// kestro-devserver: the stand-in server, for the demo and the end-to-end tests. The first line
// of standard output is the base URL it listens on (flushed at once, so that a script can read
// it even with --port 0); nothing else is printed unless something goes wrong, or it listens on
// an address other machines can reach, which it warns of on standard error. SIGINT or SIGTERM
// stops it cleanly with exit status 0. Tools/DevServer/DevServer.h documents the routes, the
// admin routes and the fault rules.

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "KestroCore/Platform/Process/StopSignalThread.h"
#include "Tools/DevServer/DevServer.h"

int main(int argc, char** argv) {
  using kestro::devserver::DevServer;
  using kestro::devserver::DevServerOptions;
  using kestro::devserver::FaultRule;

  CLI::App app{
      "kestro-devserver: a stand-in for the Kestro server's /v1 interface, with in-memory state "
      "and scriptable faults. Prints its base URL on the first line of output."};
  app.footer(
      "Exit status:\n"
      "  0  stopped by SIGINT or SIGTERM\n"
      "  1  could not serve (the port is in use, the storage directory cannot be made); the\n"
      "     reason is printed on standard error\n"
      "  2  the command line was wrong");
  DevServerOptions options;
  options.port = 8787;
  std::string storage;
  std::vector<std::string> faults;
  std::int64_t intervalMilliseconds = options.reply.interval.count();
  app.add_option("--port", options.port, "TCP port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--bind", options.bindAddress,
                 "address to listen on; any but a loopback address (127.0.0.1, ::1) opens the "
                 "unauthenticated admin routes and sign-in to the network")
      ->capture_default_str();
  app.add_option("--storage", storage,
                 "directory for uploaded bytes (created if missing, kept); default: a temporary "
                 "directory removed at exit");
  app.add_option("--fault", faults,
                 "a fault rule as JSON, e.g. '{\"route\": \"POST /v1/captures\", \"action\": "
                 "\"status\", \"status\": 503, \"count\": 2}'; repeatable")
      ->take_all();
  app.add_option("--reply-deltas", options.reply.deltas,
                 "delta events per chat reply; 0 gives one per word")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--reply-interval-ms", intervalMilliseconds, "pause before each reply event")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // CLI11's own codes (105, 109, ...) mean nothing to a script: a wrong command line is 2,
    // as for the other programs.
    return app.exit(error) == 0 ? 0 : 2;
  }

  try {
    options.reply.interval = std::chrono::milliseconds(intervalMilliseconds);
    if (!storage.empty()) options.storageDirectory = storage;
    for (const std::string& fault : faults) {
      for (FaultRule& rule : FaultRule::listFromJSON(fault)) {
        options.faults.push_back(std::move(rule));
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "kestro-devserver: " << error.what() << "\n";
    return 2;
  }

  // Blocked before any thread starts, so that every thread inherits the mask and the signals
  // go to the stop signals' thread, which wakes the wait below, instead of killing the process
  // half-way.
  kestro::StopSignalThread stopSignals({SIGINT, SIGTERM});
  stopSignals.start();
  std::signal(SIGPIPE, SIG_IGN);

  try {
    DevServer server(std::move(options));
    if (server.reachableFromNetwork()) {
      std::cerr << "kestro-devserver: warning: listening on " << server.baseURL()
                << ", which is reachable from the network: anyone who can connect may use the "
                   "admin routes and the development sign-in, which ask for no authentication\n";
    }
    std::cout << server.baseURL() << std::endl;
    stopSignals.wait();
    server.stop();
  } catch (const std::exception& error) {
    std::cerr << "kestro-devserver: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
