#pragma once
#include <stdexcept>
#include <string>

namespace drevik {

// Base of every error the program reports. what() is the one user-facing
// description; the launch driver prints it after "Drevik: ".
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace drevik
