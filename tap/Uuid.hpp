#pragma once

#include <string>

namespace sonvel::Uuid {

// A fresh random (version 4) UUID in the platform's upper-case text form.
std::string make();

}  // namespace sonvel::Uuid
