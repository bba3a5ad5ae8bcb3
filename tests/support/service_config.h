#pragma once
// The VmrZOLConfig.xml that end-to-end tests give the service: the template's layout
// and CRLF line ends, with the values a test chooses.

#include <filesystem>
#include <string>

namespace dorvek::test_support {

struct ServiceConfig {
  int http_timer_ms = 500;
  std::string binding = "127.0.0.1";
  int port = 0;
  std::string sql_driver = "sqlite";  // empty leaves the element out (FreeTDS)
  std::string sql_server{};
  std::string sql_user{};
  std::string sql_password{};
  std::string sql_database = "dispatch.db";
  std::string key = "Wexlor";
  int packets_per_tick = 0;  // 0 leaves the element out, as the template does
  int packets_per_send = 0;  // PakkettenPerVerzending; 0 leaves it out
};

std::string ServiceConfigXml(const ServiceConfig& config);
// Writes VmrZOLConfig.xml into the base directory; throws std::runtime_error when it
// cannot.
void WriteServiceConfig(const std::filesystem::path& base_dir, const ServiceConfig& config);

}  // namespace dorvek::test_support
