#pragma once

#include <stdexcept>
#include <string>

namespace velmar {

// A failed internal check (a bounds or arithmetic check). The binding layer
// turns it into PanicException, which `except Exception` does not catch.
class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace velmar
