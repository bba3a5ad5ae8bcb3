// Starts and stops the PostgreSQL server that a ctest run shares:
//   pg_test_server start STATE          starts it, writes where it is to STATE
//   pg_test_server stop STATE           stops it and removes STATE
//   pg_test_server sample STATE NAME    adds database NAME: the schema and the sample data
//   pg_test_server up STATE             starts it again, on its port, after its process was
//                                       ended (a fast shutdown keeps its data and guardian)
// (the measuring scripts use the last two for a dispatch database on a real server and
// an outage of it).
// The server's guardian watches the process that ran "start" from its parent (ctest),
// so a run that is killed before "stop" still leaves no server behind.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "support/dispatch_fixture.h"
#include "support/postgres_server.h"

int main(int argc, char** argv) {
  using namespace dorvek::test_support;
  const std::string command = argc > 1 ? argv[1] : "";
  const bool on_state = command == "start" || command == "stop" || command == "up";
  if (!(argc == 3 && on_state) && !(argc == 4 && command == "sample")) {
    std::fprintf(stderr, "usage: %s start|stop|up STATE\n       %s sample STATE NAME\n", argv[0], argv[0]);
    return 2;
  }
  const std::filesystem::path state = argv[2];
  try {
    if (command == "sample") {
      const PostgresAddress address = ReadState(state);
      if (address.port <= 0) throw std::runtime_error("no server in " + state.string());
      CreatePostgresDatabase(address, argv[3]);
      RunPostgresData(address, argv[3], SampleDataScript());
      std::printf("database %s on 127.0.0.1:%d: user %s, password %s\n", argv[3], address.port,
                  std::string(kPostgresUser).c_str(), std::string(kPostgresPassword).c_str());
      return 0;
    }
    if (command == "up") {
      const PostgresAddress address = ReadState(state);
      if (address.port <= 0) throw std::runtime_error("no server in " + state.string());
      StartPostgresAgain(address);
      return 0;
    }
    // A server left by an earlier run that was stopped half-way goes first.
    if (std::filesystem::exists(state)) {
      StopPostgres(ReadState(state));
      std::filesystem::remove(state);
    }
    if (command == "stop") return 0;
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
