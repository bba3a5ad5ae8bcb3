#pragma once
// A failure that ends a tool with its own exit status: thrown anywhere below its main,
// which prints it and returns the status.

#include <stdexcept>
#include <string>

namespace dorvek::tools {

class Exit : public std::runtime_error {
 public:
  Exit(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

}  // namespace dorvek::tools
