// Starts and stops the PostgreSQL server that a ctest run shares:
//   pg_test_server start STATE   starts it, writes where it is to STATE
//   pg_test_server stop STATE    stops it and removes STATE
// The server's guardian watches the process that ran "start" from its parent (ctest),
// so a run that is killed before "stop" still leaves no server behind.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "support/postgres_server.h"

int main(int argc, char** argv) {
  using namespace dorvek::test_support;
  if (argc != 3 || (std::string(argv[1]) != "start" && std::string(argv[1]) != "stop")) {
    std::fprintf(stderr, "usage: %s start|stop STATE\n", argv[0]);
    return 2;
  }
  const std::filesystem::path state = argv[2];
  try {
    // A server left by an earlier run that was stopped half-way goes first.
    if (std::filesystem::exists(state)) {
      StopPostgres(ReadState(state));
      std::filesystem::remove(state);
    }
    if (std::string(argv[1]) == "stop") return 0;
    const auto started = std::chrono::steady_clock::now();
    auto server = PostgresServer::Start(getppid());
    const PostgresAddress address = server->Release();
    WriteState(state, address);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::printf("PostgreSQL on 127.0.0.1:%d in %s, ready in %lld ms\n", address.port,
                address.dir.c_str(), static_cast<long long>(ms));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pg_test_server: %s\n", e.what());
    return 1;
  }
}
