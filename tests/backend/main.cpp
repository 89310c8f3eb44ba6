// tarnwell-backend: runs the loopback backend emulator until SIGINT or SIGTERM.
// Prints the base URL as the first line on standard output.
#include "BackendEmulator.hpp"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* usage =
    "usage: tarnwell-backend [options]\n"
    "  --port=N                 port on 127.0.0.1 (default 54321; 0 picks a free one)\n"
    "  --anon-key=KEY           public API key every request must carry (default local-anon-key)\n"
    "  --bucket=NAME            storage bucket (default files)\n"
    "  --user=EMAIL:PASSWORD    account to create at start (repeatable)\n"
    "  --worker=MODE            done, error, running or off (default done)\n"
    "  --worker-interval-ms=N   how often the worker takes queued jobs (default 1000; 0: never)\n"
    "  --worker-error=TEXT      error text of failed ingests (default \"Ingest failed\")\n"
    "  --signup=MODE            session or confirm (default session)\n"
    "  --access-token-ttl=S     access token lifetime in seconds (default 3600)\n"
    "  --refresh-reuse-ms=N     grace period for a reused refresh token (default 0)\n"
    "  --threads=N              request threads (default 32)\n"
    "  --keep-object-bytes      keep uploaded bytes in memory (default: sizes only)\n"
    "  --log-requests           keep a log of every request in memory\n"
    "  --enforce-key-owner      storage keys must start with user-<id>/\n";

std::optional<std::string> valueOf(const std::string& arg, const std::string& name) {
  const std::string prefix = "--" + name + "=";
  if (arg.rfind(prefix, 0) != 0) return std::nullopt;
  return arg.substr(prefix.size());
}

int toInt(const std::string& text, const std::string& what) {
  try {
    std::size_t used = 0;
    const int value = std::stoi(text, &used);
    if (used == text.size() && value >= 0) return value;
  } catch (const std::exception&) {
  }
  std::cerr << "tarnwell-backend: bad value for " << what << ": " << text << "\n" << usage;
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnwell::testing;
  BackendOptions options;
  options.port = 54321;
  options.workerInterval = std::chrono::milliseconds(1000);
  options.keepObjectBytes = false;
  options.logRequests = false;
  std::vector<std::pair<std::string, std::string>> users;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      return 0;
    } else if (auto v = valueOf(arg, "port")) {
      options.port = toInt(*v, "--port");
    } else if (auto v = valueOf(arg, "anon-key")) {
      options.anonKey = *v;
    } else if (auto v = valueOf(arg, "bucket")) {
      options.bucket = *v;
    } else if (auto v = valueOf(arg, "user")) {
      const auto colon = v->find(':');
      if (colon == std::string::npos || colon == 0) {
        std::cerr << "tarnwell-backend: --user wants EMAIL:PASSWORD\n";
        return 2;
      }
      users.emplace_back(v->substr(0, colon), v->substr(colon + 1));
    } else if (auto v = valueOf(arg, "worker")) {
      const auto mode = parseWorkerMode(*v);
      if (!mode) {
        std::cerr << "tarnwell-backend: --worker wants done, error, running or off\n";
        return 2;
      }
      options.worker = *mode;
    } else if (auto v = valueOf(arg, "worker-interval-ms")) {
      options.workerInterval = std::chrono::milliseconds(toInt(*v, "--worker-interval-ms"));
    } else if (auto v = valueOf(arg, "worker-error")) {
      options.workerError = *v;
    } else if (auto v = valueOf(arg, "signup")) {
      if (*v == "session") options.signUpMode = SignUpMode::Session;
      else if (*v == "confirm") options.signUpMode = SignUpMode::ConfirmationRequired;
      else {
        std::cerr << "tarnwell-backend: --signup wants session or confirm\n";
        return 2;
      }
    } else if (auto v = valueOf(arg, "access-token-ttl")) {
      options.accessTokenLifetime = std::chrono::seconds(toInt(*v, "--access-token-ttl"));
    } else if (auto v = valueOf(arg, "refresh-reuse-ms")) {
      options.refreshReuseInterval = std::chrono::milliseconds(toInt(*v, "--refresh-reuse-ms"));
    } else if (auto v = valueOf(arg, "threads")) {
      options.threadCount = toInt(*v, "--threads");
    } else if (arg == "--keep-object-bytes") {
      options.keepObjectBytes = true;
    } else if (arg == "--log-requests") {
      options.logRequests = true;
    } else if (arg == "--enforce-key-owner") {
      options.enforceStorageKeyOwner = true;
    } else {
      std::cerr << "tarnwell-backend: unknown option " << arg << "\n" << usage;
      return 2;
    }
  }

  // Every thread started from here on inherits the blocked signals; main waits for them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  BackendEmulator backend(options);
  for (const auto& [email, password] : users) {
    try {
      const auto id = backend.addUser(email, password);
      std::cerr << "account " << email << " id " << id << "\n";
    } catch (const std::exception& error) {
      std::cerr << "tarnwell-backend: " << error.what() << "\n";
      return 2;
    }
  }
  try {
    backend.start();
  } catch (const std::exception& error) {
    std::cerr << "tarnwell-backend: " << error.what() << "\n";
    return 1;
  }
  std::cout << backend.baseURL() << std::endl;
  std::cerr << "anon key " << options.anonKey << ", bucket " << options.bucket << ", worker "
            << toString(options.worker) << " every " << options.workerInterval.count() << " ms\n";

  int received = 0;
  sigwait(&signals, &received);
  std::cerr << "stopping (signal " << received << ")\n";
  backend.stop();
  return 0;
}
